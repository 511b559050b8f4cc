#include "vcu/os/clock.h"

#include <cerrno>

namespace vcu::os {

int ClockGetTime(clockid_t clock, timespec* time) noexcept {
    if (time == nullptr) {
        errno = EFAULT;
        return -1;
    }
    return ::clock_gettime(clock == kPlatformClock ? CLOCK_REALTIME : clock, time);
}

}  // namespace vcu::os
