#include <gtest/gtest.h>

#include "process_usage.h"

namespace {

TEST(ProcessUsageTest, ParsesAThreadStatLineWithSpacesInTheName) {
    const auto sut = camera_tools::parseThreadStat(
        "4242 (enc (x) 1) S 1 4242 4242 0 -1 4194560 100 0 0 0 250 31 0 0 20 0 9 0 1000");
    ASSERT_TRUE(sut);
    EXPECT_EQ(sut->tid, 4242);
    EXPECT_EQ(sut->name, "enc (x) 1");
    EXPECT_EQ(sut->ticks, 281u);
}

TEST(ProcessUsageTest, RefusesATruncatedStatLine) {
    EXPECT_FALSE(camera_tools::parseThreadStat("4242 (vcam_8) S 1 4242"));
}

TEST(ProcessUsageTest, ReadsBothSwitchCountersOfAThreadStatus) {
    const auto sut = camera_tools::parseContextSwitches(
        "Name:\tmpu_venc\nState:\tS (sleeping)\nvoluntary_ctxt_switches:\t1207\n"
        "nonvoluntary_ctxt_switches:\t33\n");
    ASSERT_TRUE(sut);
    EXPECT_EQ(sut->voluntary, 1207u);
    EXPECT_EQ(sut->involuntary, 33u);
    EXPECT_FALSE(camera_tools::parseContextSwitches("Name:\tx\nvoluntary_ctxt_switches:\t5\n"));
    EXPECT_FALSE(camera_tools::parseContextSwitches(
        "voluntary_ctxt_switches:\tmany\nnonvoluntary_ctxt_switches:\t2\n"));
}

TEST(ProcessUsageTest, SumsTheMachineTicksByKind) {
    const auto sut = camera_tools::parseMachineTicks("cpu  100 2 30 500 7 1 4 9 0 0");
    ASSERT_TRUE(sut);
    EXPECT_EQ(sut->busy, 137u);
    EXPECT_EQ(sut->steal, 9u);
    EXPECT_EQ(sut->all, 653u);
    EXPECT_FALSE(camera_tools::parseMachineTicks("cpu0 1 2 3 4 5 6 7 8"));
}

}  // namespace
