#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace ara::log::internal {

// Counts entries per key in windows of time: at most `maxCount` per `periodMs` milliseconds. Thread-safe.
class EntryLimiter {
  public:
    bool Allow(std::string_view key, std::uint32_t periodMs, std::uint32_t maxCount);

  private:
    struct Window {
        std::chrono::steady_clock::time_point start;
        std::uint32_t count{0};
    };

    std::mutex mutex_;
    std::unordered_map<std::string, Window> windows_;
};

}  // namespace ara::log::internal
