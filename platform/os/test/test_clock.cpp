#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>

#include "vcu/os/clock.h"

namespace {

TEST(PlatformClockTest, FollowsTheRealTimeClock) {
    timespec before{};
    timespec platform{};
    timespec after{};
    ASSERT_EQ(::clock_gettime(CLOCK_REALTIME, &before), 0);
    ASSERT_EQ(vcu::os::ClockGetTime(vcu::os::kPlatformClock, &platform), 0);
    ASSERT_EQ(::clock_gettime(CLOCK_REALTIME, &after), 0);
    const auto ns = [](const timespec& t) { return t.tv_sec * 1000000000LL + t.tv_nsec; };
    EXPECT_LE(ns(before), ns(platform));
    EXPECT_LE(ns(platform), ns(after));
}

TEST(PlatformClockTest, ReportsBadClocksAndMissingResults) {
    timespec time{};
    errno = 0;
    EXPECT_EQ(vcu::os::ClockGetTime(12345, &time), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(vcu::os::ClockGetTime(vcu::os::kPlatformClock, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(vcu::os::ClockGetTime(CLOCK_MONOTONIC, &time), 0);
}

}  // namespace
