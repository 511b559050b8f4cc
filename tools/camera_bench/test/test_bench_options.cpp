#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench_options.h"

namespace {

using camera_bench::parseBenchOptions;

TEST(BenchOptionsTest, DefaultsWithoutArguments) {
    const auto sut = parseBenchOptions({});
    ASSERT_TRUE(sut.HasValue()) << sut.Error().message;
    EXPECT_EQ(sut.Value().seconds, 60.0);
    EXPECT_EQ(sut.Value().frames, 300);
    EXPECT_FALSE(sut.Value().skipFfmpeg);
}

TEST(BenchOptionsTest, ReadsEveryOption) {
    const auto sut =
        parseBenchOptions({"--seconds", "12.5", "--frames", "120", "--skip-ffmpeg", "--rounds", "2"});
    ASSERT_TRUE(sut.HasValue()) << sut.Error().message;
    EXPECT_EQ(sut.Value().seconds, 12.5);
    EXPECT_EQ(sut.Value().frames, 120);
    EXPECT_EQ(sut.Value().rounds, 2);
    EXPECT_TRUE(sut.Value().skipFfmpeg);
}

TEST(BenchOptionsTest, RefusesValuesOutOfRangeOrNotNumbers) {
    EXPECT_EQ(parseBenchOptions({"--seconds", "0"}).Error().message,
              "--seconds 0: expected seconds from 1 to 86400");
    EXPECT_EQ(parseBenchOptions({"--rounds", "21"}).Error().message,
              "--rounds 21: expected a whole number from 1 to 20");
    EXPECT_NE(parseBenchOptions({"--frames", "12x"}).Error().message.find("--frames"), std::string::npos);
    EXPECT_EQ(parseBenchOptions({"--fast"}).Error().message, "unknown option --fast");
}

}  // namespace
