#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "ara/log/common.h"
#include "ara/log/log_stream.h"

namespace ara::log {

namespace internal {
class EntryLimiter;
class LoggingBackend;
struct RemoteContext;
}  // namespace internal

// A log context. Created by CreateLogger and valid until the process ends; all operations are
// thread-safe.
class Logger {
  public:
    LogStream LogFatal(const SourceLocation& location) const noexcept;
    LogStream LogError(const SourceLocation& location) const noexcept;
    LogStream LogWarn(const SourceLocation& location) const noexcept;
    LogStream LogInfo(const SourceLocation& location) const noexcept;
    LogStream LogDebug(const SourceLocation& location) const noexcept;
    LogStream LogVerbose(const SourceLocation& location) const noexcept;
    LogStream WithLevel(LogLevel level, const SourceLocation& location) const noexcept;

    // True when a message of this level would be emitted.
    bool IsEnabled(LogLevel level) const noexcept;

    // The limited entry: true when a message under `key` may be emitted now, at most `maxCount` per window
    // of `periodMs` milliseconds. For a message that a loop would repeat for every frame or sample: log it
    // only when this returns true.
    bool LimitedEntry(std::string_view key, std::uint32_t periodMs, std::uint32_t maxCount) const;

    const std::string& ContextId() const noexcept { return contextId_; }
    const std::string& Description() const noexcept { return description_; }
    LogLevel Level() const noexcept { return level_.load(std::memory_order_relaxed); }

    // Only the logging backend constructs loggers; the key keeps the constructor out of reach.
    class ConstructionKey {
        friend class internal::LoggingBackend;
        ConstructionKey() = default;
    };
    Logger(ConstructionKey, std::string contextId, std::string description, LogLevel level);
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

  private:
    friend class LogStream;
    friend class internal::LoggingBackend;

    std::string contextId_;
    std::string description_;
    std::atomic<LogLevel> level_;
    std::unique_ptr<internal::RemoteContext> remote_;  // registered DLT context, in remote mode
    std::unique_ptr<internal::EntryLimiter> limiter_;
};

}  // namespace ara::log
