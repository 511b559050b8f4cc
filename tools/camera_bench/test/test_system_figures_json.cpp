#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "system_run.h"

namespace {

using camera_bench::SystemFigures;

TEST(SystemFiguresJsonTest, RoundTripKeepsTextListsAndUnmeasuredFigures) {
    SystemFigures sent;
    sent.ok = true;
    sent.cameras[3].published = 1799;
    sent.latencyMs.p99 = 41.5;
    sent.keyFrameLatencyMs.p50 = std::numeric_limits<double>::quiet_NaN();
    sent.sliceP99Ms = {40.0, 42.5};
    sent.sliceSkipped = {0, 3};
    sent.threads.push_back({"vcam_8", "capture", 1234, 12.5});
    sent.memoryEnd.highWater = 210.0;
    sent.stageCpuSeconds[3] = 12.25;
    sent.stageRuns[0] = 7200;
    sent.applicationSwitches = {5400, 4800};

    const auto received = camera_bench::systemFiguresFromJson(camera_bench::systemFiguresToJson(sent));
    ASSERT_TRUE(received.HasValue()) << received.Error().message;
    const SystemFigures& sut = received.Value();
    EXPECT_TRUE(sut.ok);
    EXPECT_EQ(sut.cameras[3].published, 1799u);
    EXPECT_EQ(sut.latencyMs.p99, 41.5);
    EXPECT_TRUE(std::isnan(sut.keyFrameLatencyMs.p50));
    EXPECT_EQ(sut.sliceP99Ms, sent.sliceP99Ms);
    EXPECT_EQ(sut.sliceSkipped, sent.sliceSkipped);
    ASSERT_EQ(sut.threads.size(), 1u);
    EXPECT_EQ(sut.threads[0].name, "vcam_8");
    EXPECT_EQ(sut.threads[0].tid, 1234);
    EXPECT_EQ(sut.memoryEnd.highWater, 210.0);
    EXPECT_EQ(sut.stageCpuSeconds[3], 12.25);
    EXPECT_EQ(sut.stageRuns[0], 7200u);
    EXPECT_EQ(sut.applicationSwitches.voluntary, 5400u);
    EXPECT_EQ(sut.applicationSwitches.involuntary, 4800u);
}

TEST(SystemFiguresJsonTest, CutOrForeignTextIsRefused) {
    SystemFigures sent;
    sent.error = "the camera system ended before the measured window was over";
    const std::string text = camera_bench::systemFiguresToJson(sent);

    EXPECT_FALSE(camera_bench::systemFiguresFromJson(text.substr(0, text.size() / 2)).HasValue());
    EXPECT_FALSE(camera_bench::systemFiguresFromJson("{\"ok\": \"yes\"}").HasValue());
    const auto sut = camera_bench::systemFiguresFromJson(text);
    ASSERT_TRUE(sut.HasValue()) << sut.Error().message;
    EXPECT_EQ(sut.Value().error, sent.error);
}

}  // namespace
