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

}  // namespace
