#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "repeat_limiter.h"

namespace {

using ara::log::LogLevel;
using ffmpeg::internal::RepeatKey;
using ffmpeg::internal::RepeatLimiter;
using std::chrono::milliseconds;

TEST(RepeatKeyTest, IgnoresAddressesAndNumbersButNotWordsOrLevel) {
    const std::string key =
        RepeatKey(LogLevel::kError, "[h264 @ 0x55d0c1f0a2c0] error while decoding MB 12 7");
    EXPECT_EQ(key, RepeatKey(LogLevel::kError, "[h264 @ 0x7f00aa] error while decoding MB 3 44"));
    EXPECT_NE(key,
              RepeatKey(LogLevel::kError, "[h264 @ 0x7f00aa] cabac decode of qscale diff failed at 3 44"));
    EXPECT_NE(key, RepeatKey(LogLevel::kWarn, "[h264 @ 0x55d0c1f0a2c0] error while decoding MB 12 7"));
    EXPECT_NE(RepeatKey(LogLevel::kError, "[hevc @ 0x1]"), RepeatKey(LogLevel::kError, "[h264 @ 0x1]"));
}

class RepeatLimiterTest : public ::testing::Test {
  protected:
    // A window of one second, three lines per key and window, four keys of their own.
    RepeatLimiter sut{RepeatLimiter::Settings{milliseconds(1000), 3, 4}};
    const RepeatLimiter::Clock::time_point start = RepeatLimiter::Clock::now();
    std::vector<RepeatLimiter::Summary> due;

    bool admit(const std::string& text, milliseconds at) {
        return sut.Admit(RepeatKey(LogLevel::kError, text), LogLevel::kError, text, start + at, due);
    }
};

TEST_F(RepeatLimiterTest, LetsAFewThroughPerWindowAndSummarisesTheRestWhenTheNextWindowOpens) {
    int admitted = 0;
    for (int i = 0; i < 10; ++i) {
        admitted += admit("error while decoding MB " + std::to_string(i), milliseconds(i)) ? 1 : 0;
    }
    EXPECT_EQ(admitted, 3);
    EXPECT_TRUE(due.empty());

    EXPECT_TRUE(admit("error while decoding MB 99", milliseconds(1005)));
    ASSERT_EQ(due.size(), 1U);
    EXPECT_EQ(due[0].count, 7U);
    EXPECT_EQ(due[0].text, "error while decoding MB 9");
    EXPECT_EQ(due[0].level, LogLevel::kError);
}

TEST_F(RepeatLimiterTest, AQuietKeysSummaryComesWithAnotherKeysLine) {
    for (int i = 0; i < 5; ++i) {
        admit("left block unavailable", milliseconds(i));
    }
    EXPECT_TRUE(admit("something else", milliseconds(1500)));
    ASSERT_EQ(due.size(), 1U);
    EXPECT_EQ(due[0].text, "left block unavailable");
    EXPECT_EQ(due[0].count, 2U);

    // The window closed with its summary: the key starts afresh, nothing is reported twice.
    due.clear();
    EXPECT_TRUE(admit("left block unavailable", milliseconds(1600)));
    EXPECT_TRUE(due.empty());
}

TEST_F(RepeatLimiterTest, KeysPastTheCapShareOneWindow) {
    for (const char* text : {"a", "b", "c", "d"}) {
        EXPECT_TRUE(admit(text, milliseconds(0)));
    }
    // Ever new messages: limited together instead of each getting a window of its own.
    int admitted = 0;
    for (char c = 'e'; c <= 'z'; ++c) {
        admitted += admit(std::string(1, c), milliseconds(1)) ? 1 : 0;
    }
    EXPECT_EQ(admitted, 3);
    sut.TakeSummaries(due);
    ASSERT_EQ(due.size(), 1U);
    EXPECT_EQ(due[0].count, 19U);
    EXPECT_EQ(due[0].text, "z");
}

}  // namespace
