#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace fault {

// The armed failures of one test seam, one per value of the enumeration `Operation`, whose last value
// `kCount` counts them. One table per enumeration for the whole process; thread-safe.
//
// A seam publishes the three calls under its own names, for example
//     using Faults = fault::FaultTable<Operation, Operation::kCount>;
//     inline constexpr auto FailNext = &Faults::FailNext;
template <typename Operation, Operation kCount>
class FaultTable {
  public:
    // The next `count` calls of `operation` fail with `status` (non-zero). Replaces what was armed before
    // for that operation.
    static void FailNext(Operation operation, unsigned int count, std::int32_t status) {
        State& state = Instance();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.faults[Index(operation)] = Armed{count, status};
    }

    // Disarms every operation.
    static void ClearAll() {
        State& state = Instance();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.faults.fill(Armed{});
    }

    // Called at the entry of each operation: the status to fail with, or 0 to go on.
    static std::int32_t Consume(Operation operation) {
        State& state = Instance();
        std::lock_guard<std::mutex> lock(state.mutex);
        Armed& fault = state.faults[Index(operation)];
        if (fault.remaining == 0) {
            return 0;
        }
        --fault.remaining;
        return fault.status;
    }

  private:
    struct Armed {
        unsigned int remaining{0};
        std::int32_t status{0};
    };
    struct State {
        std::mutex mutex;
        std::array<Armed, static_cast<std::size_t>(kCount)> faults{};
    };

    static std::size_t Index(Operation operation) { return static_cast<std::size_t>(operation); }
    static State& Instance() {
        static State state;
        return state;
    }
};

}  // namespace fault
