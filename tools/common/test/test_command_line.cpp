#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "command_line.h"

namespace camera_tools {
namespace {

struct Settings {
    std::optional<int> count;
    std::string name{"default"};
    bool force{false};
    bool help{false};
};

const std::vector<Option<Settings>> kTable = {
    {{"count", "N", "how many"},
     "a digit",
     [](const std::string& value, Settings& settings) {
         settings.count = value.size() == 1 && value[0] >= '0' && value[0] <= '9' ? value[0] - '0' : -1;
         return *settings.count >= 0;
     }},
    {{"name", "TEXT", "what"},
     "a name",
     [](const std::string& value, Settings& settings) {
         settings.name = value;
         return !value.empty();
     }},
    {{"force", nullptr, "a switch"}, "", [](const std::string& value, Settings& settings) {
         settings.force = true;
         return value.empty();
     }}};

TEST(CommandLineTest, ValuesComeAsTheNextArgumentOrAfterEqualsAndTheLastOfARepeatedOptionWins) {
    const auto sut = ParseOptions(kTable, {"--count", "3", "--name=x", "--name", "y"});
    ASSERT_TRUE(sut.HasValue()) << sut.Error().message;
    EXPECT_EQ(sut.Value().count, 3);
    EXPECT_EQ(sut.Value().name, "y");
    EXPECT_FALSE(sut.Value().help);
    EXPECT_EQ(ParseOptions(kTable, {}).Value().name, "default");
    EXPECT_TRUE(ParseOptions(kTable, {"-h"}).Value().help);
    EXPECT_TRUE(ParseOptions(kTable, {"--help"}).Value().help);
}

TEST(CommandLineTest, ASwitchStandsAloneAndTakesNoValue) {
    EXPECT_FALSE(ParseOptions(kTable, {"--name", "x"}).Value().force);
    const auto sut = ParseOptions(kTable, {"--force", "--name", "x"});
    ASSERT_TRUE(sut.HasValue()) << sut.Error().message;
    EXPECT_TRUE(sut.Value().force);
    EXPECT_EQ(sut.Value().name, "x");

    const auto valued = ParseOptions(kTable, {"--force=yes"});
    ASSERT_FALSE(valued.HasValue());
    EXPECT_EQ(valued.Error().message, "--force takes no value");
    const auto stray = ParseOptions(kTable, {"--force", "yes"});
    ASSERT_FALSE(stray.HasValue());
    EXPECT_EQ(stray.Error().message, "unexpected argument 'yes'");
    EXPECT_NE(UsageText("", DescribeOptions(kTable)).find("--force "), std::string::npos);
}

TEST(CommandLineTest, ErrorsNameTheArgumentAndWhatWasExpected) {
    const struct {
        std::vector<std::string> arguments;
        CommandLineErrc code;
        std::string error;
    } cases[] = {
        {{"--count", "x"}, CommandLineErrc::kBadValue, "--count x: expected a digit"},
        // a negative number is a value, not an option
        {{"--count", "-1"}, CommandLineErrc::kBadValue, "--count -1: expected a digit"},
        {{"--name="}, CommandLineErrc::kBadValue, "--name '': expected a name"},
        {{"--count"}, CommandLineErrc::kMissingValue, "--count needs a value"},
        {{"--colour", "red"}, CommandLineErrc::kUnknownOption, "unknown option --colour"},
        {{"--coun", "1"},
         CommandLineErrc::kUnknownOption,
         "unknown option --coun"},  // no guessing from a prefix
        {{"run"}, CommandLineErrc::kUnexpectedArgument, "unexpected argument 'run'"},
    };
    for (const auto& c : cases) {
        const auto sut = ParseOptions(kTable, c.arguments);
        ASSERT_FALSE(sut.HasValue()) << c.arguments[0];
        EXPECT_EQ(sut.Error().code, c.code) << c.error;
        EXPECT_EQ(sut.Error().message, c.error);
    }
}

TEST(CommandLineTest, UsageListsEveryOptionWithItsValueNameAndHelp) {
    const std::string sut = UsageText("usage: tool [--count N]\n", DescribeOptions(kTable));
    EXPECT_EQ(sut.rfind("usage: tool [--count N]\n", 0), 0U);
    for (const char* line : {"--count N", "how many", "--name TEXT", "what", "--help"}) {
        EXPECT_NE(sut.find(line), std::string::npos) << line;
    }
}

TEST(CommandLineTest, AToolThatThrowsEndsWithStatusSeventyInsteadOfAnAbort) {
    const char* const argv[] = {"tool", "--count", "3"};
    const CommandLine<Settings> commandLine("usage", kTable);
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunTool("tool", 3, argv, commandLine,
                      [](const Settings&) -> int { throw std::runtime_error("disk on fire"); }),
              70);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tool: stopped by an unexpected failure: disk on fire\n");
    EXPECT_EQ(RunTool("tool", 3, argv, commandLine, [](const Settings& settings) { return *settings.count; }),
              3);
}

}  // namespace
}  // namespace camera_tools
