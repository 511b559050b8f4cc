#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ara/log/log_capture.h"
#include "ffmpeg/handles.h"
#include "ffmpeg/log_route.h"

namespace {

using ara::log::LogLevel;

// Any object libav logs about starts with its class; the class names the "[fake @ 0x…]" prefix.
struct FakeContext {
    const AVClass* avClass;
};

const AVClass& FakeClass() {
    static const AVClass fake = [] {
        AVClass avClass{};
        avClass.class_name = "fake";
        avClass.item_name = av_default_item_name;
        avClass.version = LIBAVUTIL_VERSION_INT;
        return avClass;
    }();
    return fake;
}

std::string PrefixOf(const void* context) {
    char prefix[64];
    std::snprintf(prefix, sizeof(prefix), "[fake @ %p] ", context);
    return prefix;
}

std::vector<ara::log::CapturedLog> RoutedMessages(const ara::log::LogCapture& capture) {
    std::vector<ara::log::CapturedLog> routed;
    for (auto& message : capture.Messages()) {
        if (message.contextId == ffmpeg::kLogContextId) {
            routed.push_back(message);
        }
    }
    return routed;
}

class LogRouteTest : public ::testing::Test {
  protected:
    void SetUp() override { ffmpeg::RouteLogToAra(); }

    ara::log::LogCapture capture;
};

TEST_F(LogRouteTest, LinesOfConcurrentThreadsArriveWholeWithTheirPrefix) {
    // Words, not numbers: lines that differ only in numbers count as repeats.
    const std::vector<std::string> threadNames{"alpha", "bravo", "charlie", "delta"};
    const std::vector<std::string> lineNames{"one", "two", "three"};
    std::vector<FakeContext> contexts(threadNames.size(), FakeContext{&FakeClass()});
    std::atomic<std::size_t> waiting{threadNames.size()};
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < threadNames.size(); ++t) {
        threads.emplace_back([&, t] {
            // All start together, so that their pieces interleave.
            waiting.fetch_sub(1);
            while (waiting.load() > 0) {
                std::this_thread::yield();
            }
            for (const std::string& lineName : lineNames) {
                // libav writes many lines in pieces; only the first piece carries the prefix.
                av_log(&contexts[t], AV_LOG_ERROR, "line %s", threadNames[t].c_str());
                av_log(&contexts[t], AV_LOG_ERROR, " of %s", lineName.c_str());
                av_log(&contexts[t], AV_LOG_ERROR, " ends\n");
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    const auto routed = RoutedMessages(capture);
    ASSERT_EQ(routed.size(), threadNames.size() * lineNames.size());
    for (std::size_t t = 0; t < threadNames.size(); ++t) {
        for (const std::string& lineName : lineNames) {
            const std::string expected =
                PrefixOf(&contexts[t]) + "line " + threadNames[t] + " of " + lineName + " ends";
            EXPECT_EQ(capture.Count(ffmpeg::kLogContextId, LogLevel::kError, expected), 1U) << expected;
        }
    }
    for (const auto& message : routed) {
        EXPECT_EQ(message.message.find('\n'), std::string::npos) << message.message;
    }
}

TEST_F(LogRouteTest, LevelsMapOntoTheContextsAndInfoStaysOutByDefault) {
    FakeContext context{&FakeClass()};
    av_log(&context, AV_LOG_PANIC, "the panic\n");
    av_log(&context, AV_LOG_FATAL, "the fatal\n");
    av_log(&context, AV_LOG_ERROR, "the error\n");
    av_log(&context, AV_LOG_WARNING, "the warning\n");
    av_log(&context, AV_LOG_INFO, "the info\n");
    av_log(&context, AV_LOG_VERBOSE, "the verbose\n");
    av_log(&context, AV_LOG_DEBUG, "the debug\n");

    const std::string prefix = PrefixOf(&context);
    EXPECT_EQ(capture.Count(ffmpeg::kLogContextId, LogLevel::kError, prefix + "the panic"), 1U);
    EXPECT_EQ(capture.Count(ffmpeg::kLogContextId, LogLevel::kError, prefix + "the fatal"), 1U);
    EXPECT_EQ(capture.Count(ffmpeg::kLogContextId, LogLevel::kError, prefix + "the error"), 1U);
    EXPECT_EQ(capture.Count(ffmpeg::kLogContextId, LogLevel::kWarn, prefix + "the warning"), 1U);
    EXPECT_EQ(RoutedMessages(capture).size(), 4U);

    // A line begun at a shown level and ended at a skipped one: the part shown is a line of its own, and the
    // next line has its prefix again.
    av_log(&context, AV_LOG_WARNING, "begun");
    av_log(&context, AV_LOG_INFO, " and ended\n");
    av_log(&context, AV_LOG_ERROR, "after the skipped\n");
    const auto routed = RoutedMessages(capture);
    ASSERT_EQ(routed.size(), 6U);
    EXPECT_EQ(routed[4].message, prefix + "begun");
    EXPECT_EQ(routed[5].message, prefix + "after the skipped");
}

TEST_F(LogRouteTest, RepeatsAreLimitedAndTheirNumberReported) {
    constexpr int kRepeats = 40;
    FakeContext first{&FakeClass()};
    FakeContext second{&FakeClass()};
    for (int i = 0; i < kRepeats; ++i) {
        av_log(i % 2 == 0 ? &first : &second, AV_LOG_ERROR, "error while decoding MB %d %d\n", i, i / 2);
    }
    ffmpeg::FlushLogRepeats();

    std::size_t shown = 0;
    std::size_t held = 0;
    for (const auto& message : RoutedMessages(capture)) {
        ASSERT_NE(message.message.find("error while decoding MB"), std::string::npos) << message.message;
        unsigned long count = 0;
        if (const auto at = message.message.find(" (repeated "); at != std::string::npos) {
            ASSERT_EQ(std::sscanf(message.message.c_str() + at, " (repeated %lu times)", &count), 1)
                << message.message;
            held += count;
        } else {
            ++shown;
        }
    }
    // A few per second; a slow machine may open a second window in between.
    EXPECT_LT(shown, 10U);
    EXPECT_GT(held, 0U);
    EXPECT_EQ(shown + held, static_cast<std::size_t>(kRepeats));
}

TEST_F(LogRouteTest, ConcealmentReportsCountForTheDecoderTheyCameFrom) {
    ffmpeg::ConcealmentWatch watch;  // outlives the context it watches
    const ffmpeg::CodecContextPtr watched(avcodec_alloc_context3(nullptr));
    const ffmpeg::CodecContextPtr other(avcodec_alloc_context3(nullptr));
    ASSERT_TRUE(watched && other);
    watch.Attach(watched.get());
    int notAWatch = 0;
    other->opaque = &notAWatch;  // someone else's opaque is never followed

    // The decoder's own words.
#define CONCEALMENT_REPORT "concealing %d DC, %d AC, %d MV errors in %c frame\n"
    av_log(watched.get(), AV_LOG_INFO, CONCEALMENT_REPORT, 5, 6, 7, 'P');
    av_log(watched.get(), AV_LOG_INFO, CONCEALMENT_REPORT, 1, 1, 1, 'I');
    av_log(other.get(), AV_LOG_INFO, CONCEALMENT_REPORT, 100, 100, 100, 'P');
#undef CONCEALMENT_REPORT
    av_log(watched.get(), AV_LOG_ERROR, "error while decoding MB 1 2, bytestream -5\n");

    EXPECT_EQ(watch.Pictures(), 2U);
    EXPECT_EQ(watch.Errors(), 21U);
    EXPECT_EQ(notAWatch, 0);
    // Info: counted, not shown at the context's default level.
    EXPECT_EQ(capture.Count(ffmpeg::kLogContextId, "concealing"), 0U);
    EXPECT_EQ(capture.Count(ffmpeg::kLogContextId, LogLevel::kError, "error while decoding MB 1 2"), 1U);
}

}  // namespace
