#include "mpu/fault_injection.h"

#include <array>
#include <cstddef>
#include <mutex>

namespace mpu::fault {
namespace {

struct ArmedFault {
    unsigned int remaining{0};
    std::int32_t status{0};
};

struct FaultTable {
    std::mutex mutex;
    std::array<ArmedFault, static_cast<std::size_t>(Operation::kCount)> faults{};
};

FaultTable& table() {
    static FaultTable instance;
    return instance;
}

}  // namespace

void FailNext(Operation operation, unsigned int count, std::int32_t status) {
    FaultTable& faults = table();
    std::lock_guard<std::mutex> lock(faults.mutex);
    faults.faults[static_cast<std::size_t>(operation)] = ArmedFault{count, status};
}

void ClearAll() {
    FaultTable& faults = table();
    std::lock_guard<std::mutex> lock(faults.mutex);
    faults.faults.fill(ArmedFault{});
}

std::int32_t Consume(Operation operation) {
    FaultTable& faults = table();
    std::lock_guard<std::mutex> lock(faults.mutex);
    ArmedFault& fault = faults.faults[static_cast<std::size_t>(operation)];
    if (fault.remaining == 0) {
        return 0;
    }
    --fault.remaining;
    return fault.status;
}

}  // namespace mpu::fault
