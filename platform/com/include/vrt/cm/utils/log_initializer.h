#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "ara/log/logger.h"

namespace vrt::cm::utils {

// The middleware's log context ("CM") with rate-limited entries for messages that a busy event would
// otherwise repeat for every sample. Thread-safe.
class CmLogger {
  public:
    static constexpr const char* kContextId = "CM";

    explicit CmLogger(ara::log::Logger& logger) noexcept : logger_(logger) {}

    ara::log::Logger& Get() const noexcept { return logger_; }

    // True when a message under `key` may be emitted now: at most `maxCount` per window of `periodMs`
    // milliseconds (the logger's limited entry). Callers log only when it returns true.
    bool LimitedEntry(const std::string& key, std::uint32_t periodMs, std::uint32_t maxCount) {
        return logger_.LimitedEntry(key, periodMs, maxCount);
    }

  private:
    ara::log::Logger& logger_;
};

class LogInitializer {
  public:
    // The process-wide middleware logger, created on first use; never null.
    static std::shared_ptr<CmLogger> GetLogger();
};

}  // namespace vrt::cm::utils
