#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ara/log/common.h"

namespace ffmpeg::internal {

// The repeat key of a line: its level and its text with every address and number replaced by '#', so that
// "[h264 @ 0x55d0c1] error while decoding MB 12 7" and the same error at another block count as one message.
std::string RepeatKey(ara::log::LogLevel level, std::string_view text);

// Lets through at most `maxPerWindow` lines of one key per window of time and counts the rest. What it
// held back comes out as a summary: the last line held back and how many were, once the window is over
// (given to the next Admit of any key) or on TakeSummaries. Thread-safe.
//
// The number of keys is capped: past `maxKeys` new keys share one window, so that a stream of ever
// different messages costs bounded memory and is still limited.
class RepeatLimiter {
  public:
    using Clock = std::chrono::steady_clock;

    struct Settings {
        std::chrono::milliseconds window{1000};
        std::uint32_t maxPerWindow{3};
        std::size_t maxKeys{256};
    };

    struct Summary {
        ara::log::LogLevel level;
        std::string text;  // the last line held back
        std::uint64_t count;
    };

    explicit RepeatLimiter(Settings settings) : settings_(settings) {}

    // True when the line may be emitted now. Summaries due are appended to `due`; they belong before the
    // line.
    bool Admit(std::string_view key, ara::log::LogLevel level, std::string_view text, Clock::time_point now,
               std::vector<Summary>& due);

    // Appends every pending summary, due or not, and forgets the windows.
    void TakeSummaries(std::vector<Summary>& due);

  private:
    struct Window {
        Clock::time_point start;
        std::uint32_t admitted{0};
        std::uint64_t heldBack{0};
        ara::log::LogLevel level{ara::log::LogLevel::kError};
        std::string lastHeldBack;
    };

    static void TakeSummary(Window& window, std::vector<Summary>& due);
    // Closes the windows that are over: their summaries are due, and idle ones are dropped.
    void Sweep(Clock::time_point now, std::vector<Summary>& due);

    const Settings settings_;
    std::mutex mutex_;
    std::unordered_map<std::string, Window> windows_;
    Window overflow_;  // shared by the keys past maxKeys
    bool overflowUsed_{false};
    Clock::time_point lastSweep_{};
};

}  // namespace ffmpeg::internal
