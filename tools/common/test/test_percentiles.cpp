#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "percentiles.h"

namespace {

// The tools' one percentile, on values in any order.
double percentileOfSorted(std::vector<double> values, double percent) {
    return camera_tools::NearestRank(values, percent, std::numeric_limits<double>::quiet_NaN());
}

std::vector<double> oneTo(int n) {
    std::vector<double> values;
    for (int i = 1; i <= n; ++i) {
        values.push_back(i);
    }
    return values;
}

TEST(PercentilesTest, NearestRankOfOneToHundred) {
    const std::vector<double> sut = oneTo(100);
    EXPECT_EQ(percentileOfSorted(sut, 50), 50);
    EXPECT_EQ(percentileOfSorted(sut, 99), 99);
    EXPECT_EQ(percentileOfSorted(sut, 100), 100);
}

TEST(PercentilesTest, RankRoundsUpBetweenValues) {
    const std::vector<double> sut = oneTo(10);
    EXPECT_EQ(percentileOfSorted(sut, 50), 5);
    EXPECT_EQ(percentileOfSorted(sut, 51), 6);
    EXPECT_EQ(percentileOfSorted(sut, 99), 10);
}

TEST(PercentilesTest, DecimalPercentDoesNotSkipARank) {
    // 99.9 * 1000 is 99900.00000000001 in binary floating point; the rank is still 999.
    EXPECT_EQ(percentileOfSorted(oneTo(1000), 99.9), 999);
}

TEST(PercentilesTest, ZeroPercentIsTheMinimumAndOneValueIsEveryPercentile) {
    EXPECT_EQ(percentileOfSorted(oneTo(7), 0), 1);
    EXPECT_EQ(percentileOfSorted({4.5}, 99), 4.5);
}

TEST(PercentilesTest, NoValuesGiveNan) {
    std::vector<double> none;
    EXPECT_TRUE(std::isnan(percentileOfSorted(none, 50)));
    EXPECT_EQ(camera_tools::summarize(none).count, 0u);
    EXPECT_TRUE(std::isnan(camera_tools::summarize(none).p99));
}

TEST(PercentilesTest, SummarizeSortsAndAverages) {
    std::vector<double> sut{3, 1, 2, 10};
    const camera_tools::Distribution result = camera_tools::summarize(sut);
    EXPECT_EQ(result.min, 1);
    EXPECT_EQ(result.max, 10);
    EXPECT_DOUBLE_EQ(result.mean, 4);
    EXPECT_EQ(result.p50, 2);
    EXPECT_EQ(result.p99, 10);
    EXPECT_EQ(camera_tools::median({9, 7, 8}), 8);
}

}  // namespace
