#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "ara/log/log_capture.h"
#include "ara/log/logging.h"

namespace {

using ara::log::LogCapture;
using ara::log::LogLevel;

class LogStreamTest : public ::testing::Test {
  protected:
    ara::log::Logger& logger_ = ara::log::CreateLogger("TSTR", "log stream tests", LogLevel::kDebug);
    LogCapture capture_;

    std::string LastMessage() const {
        const auto messages = capture_.Messages();
        return messages.empty() ? std::string() : messages.back().message;
    }
};

TEST_F(LogStreamTest, NumbersAreTypedArgumentsNotCharacters) {
    logger_.LogInfo(ARA_LOG_HERE) << "index " << static_cast<unsigned char>(65) << " status 0x"
                                  << static_cast<unsigned char>(1);
    EXPECT_EQ(LastMessage(), "index 65 status 0x1");

    logger_.LogInfo(ARA_LOG_HERE) << "int " << -42 << " unsigned " << 4294967295U << " float " << 2.5F;
    EXPECT_EQ(LastMessage(), "int -42 unsigned 4294967295 float 2.5");

    logger_.LogInfo(ARA_LOG_HERE) << std::string("text") << true << static_cast<signed char>(-3) << 'x';
    EXPECT_EQ(LastMessage(), "texttrue-3x");
}

TEST_F(LogStreamTest, HexFormatShowsTheBitPatternOfItsWidth) {
    logger_.LogError(ARA_LOG_HERE) << "status 0x" << ara::log::HexFormat(42) << " byte 0x"
                                   << ara::log::HexFormat(static_cast<unsigned char>(0xAB));
    EXPECT_EQ(LastMessage(), "status 0x2a byte 0xab");

    logger_.LogError(ARA_LOG_HERE) << ara::log::HexFormat(-1) << " " << ara::log::HexFormat(std::int16_t{-2})
                                   << " " << ara::log::HexFormat(std::int8_t{-1}) << " "
                                   << ara::log::HexFormat(std::uint64_t{0x1234567890}) << " "
                                   << ara::log::HexFormat(0U);
    EXPECT_EQ(LastMessage(), "ffffffff fffe ff 1234567890 0");
}

TEST_F(LogStreamTest, ArgumentsAreShownAsStreamed) {
    logger_.LogDebug(ARA_LOG_HERE) << "Camera " << 8U << " Image successfully pushed to the vector";
    EXPECT_EQ(LastMessage(), "Camera 8 Image successfully pushed to the vector");
    logger_.LogError(ARA_LOG_HERE) << "Camera" << 9U << "failed to get data with error " << 3;
    EXPECT_EQ(LastMessage(), "Camera9failed to get data with error 3");
}

TEST_F(LogStreamTest, RecordsLevelContextAndSourceLocation) {
    const int line = __LINE__ + 1;
    logger_.LogError(ARA_LOG_HERE) << "failed";
    const auto messages = capture_.Messages();
    ASSERT_EQ(messages.size(), 1U);
    EXPECT_EQ(messages[0].contextId, "TSTR");
    EXPECT_EQ(messages[0].level, LogLevel::kError);
    EXPECT_EQ(messages[0].file, "test_log_stream.cpp");
    EXPECT_EQ(messages[0].line, line);
}

TEST_F(LogStreamTest, LongMessagesAreCutAndMarked) {
    const std::string chunk(300, 'a');
    logger_.LogInfo(ARA_LOG_HERE) << chunk << chunk << chunk << chunk << "tail";
    const std::string message = LastMessage();
    EXPECT_LT(message.size(), ara::log::LogStream::kTextCapacity + 64);
    EXPECT_EQ(message.substr(message.size() - 3), "...");
    EXPECT_EQ(message.find("tail"), std::string::npos);

    ara::log::LogStream stream = logger_.LogInfo(ARA_LOG_HERE);
    for (std::size_t i = 0; i < ara::log::LogStream::kMaxArguments + 5; ++i) {
        stream << static_cast<int>(i);
    }
}

TEST_F(LogStreamTest, LevelsAboveTheContextLevelAreDropped) {
    ara::log::Logger& quiet = ara::log::CreateLogger("TQUI", "quiet context", LogLevel::kWarn);
    quiet.LogInfo(ARA_LOG_HERE) << "dropped";
    quiet.LogDebug(ARA_LOG_HERE) << "dropped";
    quiet.LogWarn(ARA_LOG_HERE) << "kept";
    quiet.LogFatal(ARA_LOG_HERE) << "kept";
    EXPECT_EQ(capture_.Count("TQUI", "dropped"), 0U);
    EXPECT_EQ(capture_.Count("TQUI", "kept"), 2U);
    EXPECT_FALSE(quiet.IsEnabled(LogLevel::kInfo));
    EXPECT_TRUE(quiet.IsEnabled(LogLevel::kError));
}

TEST_F(LogStreamTest, SameContextIdGivesTheSameLogger) {
    ara::log::Logger& first = ara::log::CreateLogger("TSAM", "first", LogLevel::kDebug);
    ara::log::Logger& second = ara::log::CreateLogger("TSAM", "second", LogLevel::kInfo);
    EXPECT_EQ(&first, &second);
}

TEST_F(LogStreamTest, LimitedEntryCountsEachKeyInItsOwnWindow) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(logger_.LimitedEntry("frame", 60000, 2), i < 2) << i;
    }
    EXPECT_TRUE(logger_.LimitedEntry("other", 60000, 2)) << "another key has its own count";
    EXPECT_TRUE(logger_.LimitedEntry("short", 1, 1));
    EXPECT_FALSE(logger_.LimitedEntry("short", 1000000, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_TRUE(logger_.LimitedEntry("short", 1, 1)) << "a new window starts once the period has passed";
}

}  // namespace
