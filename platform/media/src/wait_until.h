#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace mpu::internal {

// Waits on `condition` until `ready` holds: for ever when `timeoutMs` is negative, at most `timeoutMs`
// otherwise. True when `ready` holds at the end.
template <class Predicate>
bool WaitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock, std::int32_t timeoutMs,
               Predicate ready) {
    if (timeoutMs < 0) {
        condition.wait(lock, ready);
        return true;
    }
    return condition.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

}  // namespace mpu::internal
