#include "logging_backend.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "ara/log/logging.h"
#include "dlt_output.h"
#include "log_render.h"

namespace ara::log {

void InitLogging(std::string applicationId, const std::string& description, LogLevel defaultLevel,
                 LogMode mode, const std::string& directoryPath) {
    internal::LoggingBackend::Instance().Init(std::move(applicationId), description, defaultLevel, mode,
                                              directoryPath);
}

Logger& CreateLogger(std::string contextId, std::string description, LogLevel defaultLevel) {
    return internal::LoggingBackend::Instance().CreateLogger(std::move(contextId), std::move(description),
                                                             defaultLevel);
}

Logger& CreateLogger(std::string contextId, std::string description) {
    return internal::LoggingBackend::Instance().CreateLogger(std::move(contextId), std::move(description),
                                                             std::nullopt);
}

}  // namespace ara::log

namespace ara::log::internal {

LoggingBackend& LoggingBackend::Instance() {
    static LoggingBackend backend;
    return backend;
}

LoggingBackend::LoggingBackend() {
    FileRotation rotation;
    if (const char* level = std::getenv("ARA_LOG_LEVEL"); level != nullptr && *level != '\0') {
        levelOverride_ = ParseLevel(level);
        if (!levelOverride_) {
            std::fprintf(
                stderr,
                "ara::log: ignoring ARA_LOG_LEVEL=\"%s\": expected off, fatal, error, warn, info, debug, "
                "verbose or 0..6\n",
                level);
        }
    }
    if (const char* text = std::getenv("ARA_LOG_REPEAT_LIMIT"); text != nullptr && *text != '\0') {
        repeatLimit_ = ParseRepeatLimit(text);
        if (!repeatLimit_) {
            std::fprintf(stderr,
                         "ara::log: ignoring ARA_LOG_REPEAT_LIMIT=\"%s\": expected <count>/<milliseconds>\n",
                         text);
        }
    }
    if (const char* text = std::getenv("ARA_LOG_FILE_MAX_BYTES"); text != nullptr && *text != '\0') {
        if (auto size = ParseSize(text)) {
            rotation.maxBytes = *size;
        } else {
            std::fprintf(
                stderr, "ara::log: ignoring ARA_LOG_FILE_MAX_BYTES=\"%s\": expected bytes, e.g. 16M\n", text);
        }
    }
    if (const char* text = std::getenv("ARA_LOG_FILE_KEEP"); text != nullptr && *text != '\0') {
        const auto keep = ParseSize(text);
        if (keep && *keep <= 100) {
            rotation.keep = static_cast<unsigned>(*keep);
        } else {
            std::fprintf(stderr, "ara::log: ignoring ARA_LOG_FILE_KEEP=\"%s\": expected 0 to 100\n", text);
        }
    }
    file_.SetRotation(rotation);
}

void LoggingBackend::Init(std::string applicationId, const std::string& description, LogLevel defaultLevel,
                          LogMode mode, const std::string& directoryPath) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (initialized_) {
        return;
    }
    initialized_ = true;
    applicationId_ = std::move(applicationId);
    defaultLevel_ = defaultLevel;

    if (const char* text = std::getenv("ARA_LOG_MODE"); text != nullptr && *text != '\0') {
        if (auto parsed = ParseMode(text)) {
            mode = *parsed;
        } else {
            std::fprintf(
                stderr,
                "ara::log: ignoring ARA_LOG_MODE=\"%s\": expected console, remote and file joined with "
                "',' or '|'\n",
                text);
        }
    }
    console_ = mode & LogMode::kConsole;

    if (mode & LogMode::kFile) {
        file_.Open((directoryPath.empty() ? std::string(".") : directoryPath) + "/" + applicationId_ +
                   ".log");
    }

    if (mode & LogMode::kRemote) {
        if (RegisterRemoteApplication(applicationId_, description)) {
            for (auto& entry : loggers_) {
                RegisterRemoteContext(*entry.second);
            }
            remote_.store(true, std::memory_order_release);
        }
    }
}

Logger& LoggingBackend::CreateLogger(std::string contextId, std::string description,
                                     std::optional<LogLevel> level) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = loggers_.find(contextId);
    if (found != loggers_.end()) {
        return *found->second;
    }
    const LogLevel effective = levelOverride_.value_or(level.value_or(defaultLevel_));
    auto logger =
        std::make_unique<Logger>(Logger::ConstructionKey{}, contextId, std::move(description), effective);
    Logger& result = *logger;
    loggers_.emplace(std::move(contextId), std::move(logger));
    if (remote_) {
        RegisterRemoteContext(result);
    }
    return result;
}

void LoggingBackend::RegisterRemoteContext(Logger& logger) {
    if (logger.remote_) {
        return;
    }
    logger.remote_ =
        internal::RegisterRemoteContext(logger.ContextId(), logger.Description(), logger.Level());
}

LogCapture* LoggingBackend::SwapCapture(LogCapture* capture) noexcept {
    std::lock_guard<std::mutex> lock(captureMutex_);
    LogCapture* previous = capture_;
    capture_ = capture;
    captureActive_ = capture != nullptr;
    return previous;
}

void LoggingBackend::Emit(const Logger& logger, LogLevel level, const SourceLocation& location,
                          const LogArgument* arguments, std::size_t count) noexcept {
    if (repeatLimit_ && level >= LogLevel::kInfo) {
        // One key per place in the code: the same message from the same line.
        char key[64];
        const int n =
            std::snprintf(key, sizeof(key), "%p:%d", static_cast<const void*>(location.file), location.line);
        if (n > 0 && !repeatLimiter_.Allow(std::string_view(key, static_cast<std::size_t>(n)),
                                           repeatLimit_->periodMs, repeatLimit_->count)) {
            return;
        }
    }
    char message[LogStream::kTextCapacity + 512];
    const std::size_t messageSize = RenderMessage(arguments, count, message, sizeof(message));
    const std::string_view messageText(message, messageSize);

    const bool toFile = file_.IsOpen();
    if (console_.load(std::memory_order_relaxed) || toFile) {
        // One write per message, so that lines of concurrent threads never interleave.
        char line[sizeof(message) + 512];
        const std::size_t lineSize = RenderLine(applicationId_.c_str(), logger.ContextId().c_str(), level,
                                                messageText, location, line, sizeof(line));
        if (console_.load(std::memory_order_relaxed)) {
            WriteAll(STDERR_FILENO, line, lineSize);
        }
        if (toFile) {
            file_.Write(line, lineSize);
        }
    }

    if (remote_.load(std::memory_order_acquire) && logger.remote_) {
        EmitRemote(*logger.remote_, level, location, arguments, count);
    }

    if (captureActive_.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(captureMutex_);
        if (capture_ != nullptr) {
            capture_->Record(CapturedLog{logger.ContextId(), level, std::string(messageText),
                                         std::string(BaseName(location.file)), location.line});
        }
    }
}

}  // namespace ara::log::internal
