#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench_options.h"

namespace {

using camera_bench::parseBenchOptions;

TEST(BenchOptions, DefaultsWithoutArguments) {
    const auto sut = parseBenchOptions({});
    ASSERT_TRUE(sut.HasValue()) << sut.Error();
    EXPECT_EQ(sut.Value().seconds, 60.0);
    EXPECT_EQ(sut.Value().frames, 300);
    EXPECT_FALSE(sut.Value().skipFfmpeg);
}

TEST(BenchOptions, ReadsEveryOption) {
    const auto sut =
        parseBenchOptions({"--seconds", "12.5", "--frames", "120", "--skip-ffmpeg", "--rounds", "2"});
    ASSERT_TRUE(sut.HasValue()) << sut.Error();
    EXPECT_EQ(sut.Value().seconds, 12.5);
    EXPECT_EQ(sut.Value().frames, 120);
    EXPECT_EQ(sut.Value().rounds, 2);
    EXPECT_TRUE(sut.Value().skipFfmpeg);
}

TEST(BenchOptions, RefusesBadValuesAndUnknownOptions) {
    for (const auto& [arguments, fragment] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"--seconds", "0"}, "--seconds 0: expected"},
             {{"--rounds", "21"}, "--rounds 21: expected"},
             {{"--frames", "12x"}, "--frames"},
             {{"--frames"}, "--frames needs a value"},
             {{"--fast"}, "unknown option --fast"}}) {
        const auto sut = parseBenchOptions(arguments);
        ASSERT_FALSE(sut.HasValue()) << arguments[0];
        EXPECT_NE(sut.Error().find(fragment), std::string::npos) << sut.Error();
    }
}

}  // namespace
