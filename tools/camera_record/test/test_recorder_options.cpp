#include <gtest/gtest.h>

#include "recorder_options.h"

namespace camera_record {
namespace {

TEST(ParseOptionsTest, DefaultsRecordAllFourCamerasIntoOutRecordUntilStopped) {
    const auto sut = RecorderCommandLine().Parse({});
    ASSERT_TRUE(sut.HasValue());
    EXPECT_FALSE(sut.Value().durationSeconds);
    EXPECT_FALSE(sut.Value().framesPerCamera);
    EXPECT_EQ(sut.Value().outputDirectory, "out/record");
    EXPECT_EQ(sut.Value().cameras, (std::vector<int>{8, 9, 10, 11}));
    EXPECT_TRUE(sut.Value().manifestPath.empty());
    EXPECT_FALSE(sut.Value().codeScale);
    EXPECT_FALSE(sut.Value().someip);
    EXPECT_EQ(sut.Value().silenceTimeoutSeconds, 2.0);
    EXPECT_FALSE(sut.Value().overwrite);
}

TEST(ParseOptionsTest, TakesValuesAsNextArgumentOrAfterEquals) {
    const auto sut =
        RecorderCommandLine().Parse({"--duration", "2.5", "--frames=90", "--output", "/tmp/x",
                                     "--cameras=11,8", "--manifest", "/etc/cm.json", "--code-scale", "0.667",
                                     "--transport", "someip", "--silence-timeout", "0.5", "--overwrite"});
    ASSERT_TRUE(sut.HasValue()) << sut.Error().message;
    EXPECT_EQ(sut.Value().durationSeconds, 2.5);
    EXPECT_EQ(sut.Value().framesPerCamera, 90U);
    EXPECT_EQ(sut.Value().outputDirectory, "/tmp/x");
    EXPECT_EQ(sut.Value().cameras, (std::vector<int>{8, 11}));
    EXPECT_EQ(sut.Value().manifestPath, "/etc/cm.json");
    EXPECT_EQ(sut.Value().codeScale, 0.667);
    EXPECT_TRUE(sut.Value().someip);
    EXPECT_EQ(sut.Value().silenceTimeoutSeconds, 0.5);
    EXPECT_TRUE(sut.Value().overwrite);
    EXPECT_FALSE(sut.Value().dds);
    const auto dds = RecorderCommandLine().Parse({"--transport", "someip", "--transport=dds"});
    ASSERT_TRUE(dds.HasValue()) << dds.Error().message;
    EXPECT_TRUE(dds.Value().dds);
    EXPECT_FALSE(dds.Value().someip) << "the last --transport wins";
    EXPECT_TRUE(RecorderCommandLine().Parse({"--help"}).Value().help);
}

TEST(ParseOptionsTest, BadArgumentsAreRefusedNamingTheOptionAndWhatWasExpected) {
    const struct {
        std::vector<std::string> arguments;
        std::string error;
    } cases[] = {
        {{"--duration", "0"}, "--duration 0: expected a number of seconds greater than 0"},
        {{"--duration", "10s"}, "--duration 10s: expected a number of seconds greater than 0"},
        {{"--duration=nan"}, "--duration nan: expected a number of seconds greater than 0"},
        {{"--frames", "-1"}, "--frames -1: expected a whole number of frames per camera greater than 0"},
        {{"--frames", "1.5"}, "--frames 1.5: expected a whole number of frames per camera greater than 0"},
        {{"--cameras", "7,8"},
         "--cameras 7,8: expected a comma-separated list of distinct camera ids from 8 to 11, e.g. "
         "8,9,10,11"},
        {{"--cameras", "8,8"},
         "--cameras 8,8: expected a comma-separated list of distinct camera ids from 8 to 11, e.g. "
         "8,9,10,11"},
        {{"--cameras", "8,"},
         "--cameras 8,: expected a comma-separated list of distinct camera ids from 8 to 11, e.g. 8,9,10,11"},
        {{"--output="}, "--output '': expected a directory"},
        {{"--code-scale", "-2"}, "--code-scale -2: expected a scale greater than 0, e.g. 0.667"},
        {{"--transport", "udp"}, "--transport udp: expected shm, someip or dds"},
        {{"--silence-timeout", "0"}, "--silence-timeout 0: expected a number of seconds greater than 0"},
        {{"--duration"}, "--duration needs a value"},
        {{"--overwrite=yes"}, "--overwrite takes no value"},
        {{"--fps", "30"}, "unknown option --fps"},
        {{"record"}, "unexpected argument 'record'"},
    };
    for (const auto& c : cases) {
        const auto sut = RecorderCommandLine().Parse(c.arguments);
        ASSERT_FALSE(sut.HasValue()) << c.arguments[0];
        EXPECT_EQ(sut.Error().message, c.error);
    }
}

TEST(ParseOptionsTest, FormatMcapAddsTheMcapFileAndNoOtherFormatIsTaken) {
    EXPECT_FALSE(RecorderCommandLine().Parse({}).Value().mcap);
    EXPECT_FALSE(RecorderCommandLine().Parse({"--format", "files"}).Value().mcap);
    EXPECT_TRUE(RecorderCommandLine().Parse({"--format=mcap"}).Value().mcap);
    const auto refused = RecorderCommandLine().Parse({"--format", "bag"});
    ASSERT_FALSE(refused.HasValue());
    EXPECT_EQ(refused.Error().message, "--format bag: expected files or mcap");
}

}  // namespace
}  // namespace camera_record
