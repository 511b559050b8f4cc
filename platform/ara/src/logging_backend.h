#pragma once

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "ara/log/common.h"
#include "ara/log/log_capture.h"
#include "ara/log/log_stream.h"
#include "ara/log/logger.h"
#include "entry_limiter.h"
#include "log_file.h"
#include "log_settings.h"

namespace ara::log::internal {

// The process-wide state behind InitLogging and CreateLogger: the loggers, the outputs and the capture.
class LoggingBackend {
  public:
    static LoggingBackend& Instance();

    void Init(std::string applicationId, const std::string& description, LogLevel defaultLevel, LogMode mode,
              const std::string& directoryPath);
    Logger& CreateLogger(std::string contextId, std::string description, std::optional<LogLevel> level);

    void Emit(const Logger& logger, LogLevel level, const SourceLocation& location,
              const LogArgument* arguments, std::size_t count) noexcept;

    // Installs `capture` and returns the one it replaces.
    LogCapture* SwapCapture(LogCapture* capture) noexcept;

  private:
    LoggingBackend();
    ~LoggingBackend() = default;

    void RegisterRemoteContext(Logger& logger);

    std::mutex mutex_;  // guards everything below but the atomics
    bool initialized_{false};
    std::string applicationId_{"NONE"};
    LogLevel defaultLevel_{LogLevel::kInfo};
    std::optional<LogLevel> levelOverride_;
    std::map<std::string, std::unique_ptr<Logger>, std::less<>> loggers_;

    std::atomic<bool> console_{true};
    std::atomic<bool> remote_{false};
    LogFile file_;
    std::optional<RepeatLimit> repeatLimit_;
    EntryLimiter repeatLimiter_;

    std::mutex captureMutex_;
    std::atomic<bool> captureActive_{false};
    LogCapture* capture_{nullptr};
};

}  // namespace ara::log::internal
