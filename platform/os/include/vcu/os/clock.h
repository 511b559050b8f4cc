#pragma once

#include <time.h>

namespace vcu::os {

// The vehicle's platform clock: the time base shared by the vehicle's computers. On this platform it is
// the system's real-time clock.
constexpr clockid_t kPlatformClock = 100;

// clock_gettime that also knows the platform clock; other ids go to the system unchanged. Returns 0, or -1
// with errno set (EINVAL for an unknown clock, EFAULT for a null `time`).
int ClockGetTime(clockid_t clock, timespec* time) noexcept;

}  // namespace vcu::os
