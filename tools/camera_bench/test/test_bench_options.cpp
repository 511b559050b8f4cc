#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench_options.h"

namespace {

bool parse(const std::vector<std::string>& args, camera_bench::BenchOptions* options, std::string* error) {
    auto parsed = camera_bench::parseBenchOptions(args);
    if (!parsed.HasValue()) {
        *error = parsed.Error();
        return false;
    }
    *options = parsed.Value();
    return true;
}

TEST(BenchOptions, DefaultsWithoutArguments) {
    camera_bench::BenchOptions sut;
    std::string error;
    ASSERT_TRUE(parse({}, &sut, &error));
    EXPECT_EQ(sut.seconds, 60.0);
    EXPECT_EQ(sut.frames, 300);
    EXPECT_FALSE(sut.skipFfmpeg);
}

TEST(BenchOptions, ReadsEveryOption) {
    camera_bench::BenchOptions sut;
    std::string error;
    ASSERT_TRUE(
        parse({"--seconds", "12.5", "--frames", "120", "--skip-ffmpeg", "--rounds", "2"}, &sut, &error));
    EXPECT_EQ(sut.seconds, 12.5);
    EXPECT_EQ(sut.frames, 120);
    EXPECT_EQ(sut.rounds, 2);
    EXPECT_TRUE(sut.skipFfmpeg);
}

TEST(BenchOptions, RefusesBadValuesAndUnknownOptions) {
    camera_bench::BenchOptions sut;
    std::string error;
    EXPECT_FALSE(parse({"--seconds", "0"}, &sut, &error));
    EXPECT_NE(error.find("--seconds"), std::string::npos);
    EXPECT_FALSE(parse({"--frames", "12x"}, &sut, &error));
    EXPECT_FALSE(parse({"--frames"}, &sut, &error));
    EXPECT_FALSE(parse({"--fast"}, &sut, &error));
    EXPECT_NE(error.find("--fast"), std::string::npos);
}

}  // namespace
