#include "hal_buff/fault_injection.h"

#include <array>
#include <cstddef>
#include <mutex>

namespace hal_buff::fault {
namespace {

struct ArmedFault {
    unsigned int remaining{0};
    std::int32_t status{0};
};

constexpr std::size_t kOperationCount = static_cast<std::size_t>(Operation::kFree) + 1;

struct FaultTable {
    std::mutex mutex;
    std::array<ArmedFault, kOperationCount> faults{};
};

FaultTable& Table() {
    static FaultTable table;
    return table;
}

}  // namespace

void FailNext(Operation operation, unsigned int count, std::int32_t status) {
    FaultTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.faults[static_cast<std::size_t>(operation)] = ArmedFault{count, status};
}

void ClearAll() {
    FaultTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    table.faults.fill(ArmedFault{});
}

std::int32_t Consume(Operation operation) {
    FaultTable& table = Table();
    std::lock_guard<std::mutex> lock(table.mutex);
    ArmedFault& fault = table.faults[static_cast<std::size_t>(operation)];
    if (fault.remaining == 0) {
        return 0;
    }
    --fault.remaining;
    return fault.status;
}

}  // namespace hal_buff::fault
