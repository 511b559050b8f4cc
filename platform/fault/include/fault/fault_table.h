#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace fault {

// The armed failures of one test seam, one per value of the enumeration `Operation`, whose last value
// `kCount` counts them. One table per enumeration for the whole process; thread-safe.
//
// A seam declares its enumeration and takes the calls of `fault::seam` into its namespace:
//     namespace mpu::fault {
//     using namespace ::fault::seam;
//     enum class Operation { kSysInit, ..., kCount };
//     }
// so that its users write mpu::fault::FailNext(mpu::fault::Operation::kSysInit, 1, status).
template <typename Operation>
class FaultTable {
  public:
    // The next `count` calls of `operation` fail with `status` (non-zero). Replaces what was armed before
    // for that operation.
    static void FailNext(Operation operation, unsigned int count, std::int32_t status) {
        State& state = Instance();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.faults[Index(operation)] = Armed{count, status};
        state.armed.store(true, std::memory_order_release);
    }

    // Disarms every operation.
    static void ClearAll() {
        State& state = Instance();
        std::lock_guard<std::mutex> lock(state.mutex);
        state.faults.fill(Armed{});
        state.armed.store(false, std::memory_order_release);
    }

    // Called at the entry of each operation: the status to fail with, or 0 to go on. The media calls on the
    // per-frame path come through here, so while nothing is armed (always, outside tests) no lock is taken.
    static std::int32_t Consume(Operation operation) {
        State& state = Instance();
        if (!state.armed.load(std::memory_order_acquire)) {
            return 0;
        }
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
        std::array<Armed, static_cast<std::size_t>(Operation::kCount)> faults{};
        std::atomic<bool> armed{false};  // something was armed since the last ClearAll
    };

    static std::size_t Index(Operation operation) { return static_cast<std::size_t>(operation); }
    static State& Instance();
};

namespace detail {

// The tables in use in the process, so that one call can disarm every seam.
struct Registry {
    std::mutex mutex;
    std::vector<void (*)()> clearers;
};

inline Registry& Tables() {
    static Registry registry;
    return registry;
}

}  // namespace detail

template <typename Operation>
typename FaultTable<Operation>::State& FaultTable<Operation>::Instance() {
    static State& state = []() -> State& {
        static State table;
        detail::Registry& registry = detail::Tables();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.clearers.push_back(&FaultTable::ClearAll);
        return table;
    }();
    return state;
}

namespace seam {

// The next `count` calls of `operation` fail with `status` (non-zero), replacing what was armed before for
// it.
template <typename Operation>
void FailNext(Operation operation, unsigned int count, std::int32_t status) {
    FaultTable<Operation>::FailNext(operation, count, status);
}

// Called by the seam at the entry of each operation: the status to fail with, or 0 to go on.
template <typename Operation>
std::int32_t Consume(Operation operation) {
    return FaultTable<Operation>::Consume(operation);
}

// Disarms every operation of every seam in the process.
inline void ClearAll() {
    detail::Registry& registry = detail::Tables();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (void (*clear)() : registry.clearers) {
        clear();
    }
}

}  // namespace seam

}  // namespace fault
