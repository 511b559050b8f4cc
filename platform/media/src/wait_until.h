#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace mpu::internal {

using WaitClock = std::chrono::steady_clock;

// How soon after handing a channel its work a caller that only waits for the result comes to wait: a
// channel whose callers come this soon leaves them their work instead of waking its own thread.
inline constexpr WaitClock::duration kPromptCaller = std::chrono::milliseconds(1);

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
