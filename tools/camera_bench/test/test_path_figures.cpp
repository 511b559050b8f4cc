#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "path_figures.h"

namespace {

TEST(PathFiguresTest, PsnrOfKnownErrors) {
    EXPECT_TRUE(std::isinf(camera_bench::psnrOf(0.0)));
    // An error of one code value everywhere: 20 log10(255).
    EXPECT_NEAR(camera_bench::psnrOf(1.0), 48.13, 0.01);
    EXPECT_NEAR(camera_bench::psnrOf(255.0 * 255.0), 0.0, 1e-9);
}

TEST(PathFiguresTest, PeakRateIsTheBusiestWindow) {
    // 30 frames a second: a window of 3 frames is a tenth of a second.
    const std::vector<std::size_t> bytes = {1000, 1000, 1000, 4000, 4000, 1000, 1000};
    EXPECT_DOUBLE_EQ(camera_bench::peakRateKbps(bytes, 3, 30.0), 9000.0 * 8.0 / 1000.0 * 10.0);
    // A window longer than the run is the whole run.
    EXPECT_DOUBLE_EQ(camera_bench::peakRateKbps({500, 1500}, 30, 30.0), 2000.0 * 8.0 / 1000.0 * 15.0);
    EXPECT_EQ(camera_bench::peakRateKbps({}, 30, 30.0), 0.0);
}

TEST(PathFiguresTest, TheReferenceWithinTheCapIsTheBestThatHeldIt) {
    using camera_bench::X264Outcome;
    // The sharpest stream passed the cap in its busiest second: it is no reference for a stream that holds
    // it.
    const std::vector<X264Outcome> outcomes = {{{0, 3500000, 500000}, 41.0, 3900, 4100},
                                               {{3500000, 3500000, 500000}, 38.6, 3400, 3550},
                                               {{0, 3000000, 1000000}, 37.1, 3100, 4000},
                                               {{3000000, 3000000, 1000000}, 38.2, 3000, 3400}};
    const auto best = camera_bench::bestHoldingCap(outcomes, 4000.0);
    ASSERT_TRUE(best.has_value());
    EXPECT_EQ(best->rate.meanBitRate, 3500000);
    EXPECT_DOUBLE_EQ(best->psnrDb, 38.6);
    // A second exactly at the cap holds it; none within it leaves no reference.
    EXPECT_DOUBLE_EQ(camera_bench::bestHoldingCap(outcomes, 3400.0)->psnrDb, 38.2);
    EXPECT_FALSE(camera_bench::bestHoldingCap(outcomes, 3000.0).has_value());
    EXPECT_FALSE(camera_bench::bestHoldingCap({}, 4000.0).has_value());
}

}  // namespace
