#include <gtest/gtest.h>

#include <cmath>

#include "latency_histogram.h"
#include "recording_stats.h"

namespace camera_record {
namespace {

TEST(PercentileTest, IsTheNearestRankValue) {
    std::vector<double> values;
    for (int i = 100; i >= 1; --i) {
        values.push_back(i);
    }
    EXPECT_EQ(Percentile(values, 50.0), 50.0);
    EXPECT_EQ(Percentile(values, 99.0), 99.0);
    EXPECT_EQ(Percentile(values, 100.0), 100.0);
    EXPECT_EQ(Percentile(values, 0.0), 1.0);
    EXPECT_EQ(Percentile({7.0, 1.0, 3.0}, 50.0), 3.0);
    EXPECT_EQ(Percentile({7.0, 1.0, 3.0, 5.0}, 50.0), 3.0);
    EXPECT_EQ(Percentile({2.5}, 99.0), 2.5);
    EXPECT_EQ(Percentile({}, 50.0), 0.0);
}

TEST(CameraStatsTest, RatesComeFromTheFramesAndTheTimeBetweenFirstAndLast) {
    CameraStats sut;
    // 31 frames 1/30 s apart: exactly one second, 30 fps; 10 000 bytes each.
    for (int i = 0; i <= 30; ++i) {
        sut.AddFrame(5000000000LL + i * 1000000000LL / 30, 10000, i % 10 == 0, 1.0 + i);
    }

    const CameraSummary summary = sut.Summary();

    EXPECT_EQ(summary.frames, 31U);
    EXPECT_EQ(summary.keyFrames, 4U);
    EXPECT_EQ(summary.bytes, 310000U);
    EXPECT_NEAR(summary.fps, 30.0, 1e-6);
    EXPECT_NEAR(summary.bitRateKbps, 2400.0, 1e-3);  // 10 000 bytes x 8 x 30 / 1000
    EXPECT_NEAR(summary.latencyP50Ms, 16.0, 16.0 * 0.005);
    EXPECT_NEAR(summary.latencyP99Ms, 31.0, 31.0 * 0.005);
    EXPECT_EQ(summary.latencyMaxMs, 31.0);
}

// The histogram against the exact nearest rank, over values of both signs, zero, and several decades.
TEST(LatencyHistogramTest, PercentilesAreTheNearestRankWithinHalfAPercent) {
    LatencyHistogram sut;
    std::vector<double> values;
    for (int i = 0; i < 5000; ++i) {
        // A spread like real latencies: mostly a few ms, a tail to seconds, some below zero (clock offset).
        const double value =
            i % 97 == 0 ? -0.4 * (i % 7) : 0.05 * std::exp(static_cast<double>(i % 613) / 60.0);
        values.push_back(value);
        sut.Add(value);
    }
    values.push_back(0.0);
    sut.Add(0.0);

    for (const double percent : {0.1, 1.0, 10.0, 50.0, 90.0, 99.0, 99.9, 100.0}) {
        SCOPED_TRACE(percent);
        const double exact = Percentile(values, percent);
        EXPECT_NEAR(sut.Percentile(percent), exact, std::fabs(exact) * 0.005 + 1e-9);
    }
    EXPECT_EQ(sut.Percentile(0.0), Percentile(values, 0.0));
    EXPECT_EQ(sut.Max(), Percentile(values, 100.0));
    EXPECT_EQ(sut.Count(), 5001U);
    EXPECT_EQ(LatencyHistogram().Percentile(50.0), 0.0);
}

TEST(LatencyHistogramTest, ValuesBeyondItsRangeStayWithinTheSmallestAndLargestAdded) {
    LatencyHistogram sut;
    sut.Add(5e9);  // a clock a couple of months off
    sut.Add(7e9);
    sut.Add(std::nan(""));

    EXPECT_EQ(sut.Count(), 2U);
    EXPECT_EQ(sut.Max(), 7e9);
    EXPECT_GE(sut.Percentile(50.0), 5e9);
    EXPECT_LE(sut.Percentile(50.0), 7e9);
}

TEST(CameraStatsTest, OneFrameHasNoRate) {
    CameraStats sut;
    sut.AddFrame(1, 500, true, 2.0);
    EXPECT_EQ(sut.Summary().fps, 0.0);
    EXPECT_EQ(sut.Summary().bitRateKbps, 0.0);
    EXPECT_EQ(CameraStats().Summary().latencyP99Ms, 0.0);
}

TEST(CameraStatsTest, WindowCountsOnlyTheFramesSinceThePreviousWindow) {
    CameraStats sut;
    for (int i = 0; i < 15; ++i) {
        sut.AddFrame(i, 1000, i == 0, 3.0);
    }
    const WindowFigures first = sut.TakeWindow(0.5);
    sut.AddFrame(20, 2000, false, 4.0);
    const WindowFigures second = sut.TakeWindow(1.0);
    const WindowFigures empty = sut.TakeWindow(1.0);

    EXPECT_EQ(first.frames, 15U);
    EXPECT_EQ(first.keyFrames, 1U);
    EXPECT_DOUBLE_EQ(first.fps, 30.0);
    EXPECT_DOUBLE_EQ(first.bitRateKbps, 15 * 1000 * 8 / 1000.0 / 0.5);
    EXPECT_EQ(first.latenciesMs.size(), 15U);
    EXPECT_EQ(second.frames, 1U);
    EXPECT_DOUBLE_EQ(second.bitRateKbps, 16.0);
    EXPECT_EQ(second.latenciesMs, std::vector<double>{4.0});
    EXPECT_EQ(empty.frames, 0U);
    EXPECT_EQ(empty.fps, 0.0);
    EXPECT_EQ(sut.Summary().frames, 16U);
}

TEST(CameraStatsTest, CodesThatSkipAreGapsAndCodesThatRepeatOrGoBackAreDisorder) {
    CameraStats sut;
    for (std::uint32_t code : {10U, 11U, 14U, 15U}) {  // 12 and 13 never arrived
        sut.AddFrameCode(code);
    }
    EXPECT_EQ(sut.Summary().codeGaps, 2U);
    EXPECT_EQ(sut.Summary().codeDisorder, 0U);

    sut.AddFrameCode(15U);  // repeated
    sut.AddFrameCode(13U);  // earlier
    EXPECT_EQ(sut.Summary().codeDisorder, 2U);
    EXPECT_EQ(sut.Summary().framesWithCode, 6U);
}

TEST(CameraStatsTest, FramesWithoutCodeCountAsReceivedBetweenTwoCodes) {
    CameraStats sut;
    sut.AddFrameCode(65534U);
    sut.AddFrameCode(std::nullopt);
    sut.AddFrameCode(0U);  // wrapped: 65535 was the unread frame
    EXPECT_EQ(sut.Summary().codeGaps, 0U);
    EXPECT_EQ(sut.Summary().codeDisorder, 0U);

    sut.AddFrameCode(std::nullopt);
    sut.AddFrameCode(std::nullopt);
    sut.AddFrameCode(2U);  // three frames received, the code advanced by two: one was a repeat
    EXPECT_EQ(sut.Summary().codeDisorder, 1U);
}

}  // namespace
}  // namespace camera_record
