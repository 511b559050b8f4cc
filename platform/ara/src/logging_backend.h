#pragma once

#include <dlt/dlt.h>

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

namespace ara::log::internal {

// A logger's registration with the DLT library.
struct RemoteContext {
    DltContext context{};
};

// An open log file; closes it when destroyed.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor();

    int Get() const noexcept { return fd_; }
    bool IsValid() const noexcept { return fd_ >= 0; }
    int Release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_{-1};
};

// Renders the arguments of a message as the console shows them; returns the length written (at most
// `capacity`, no terminating zero).
std::size_t RenderMessage(const LogArgument* arguments, std::size_t count, char* out,
                          std::size_t capacity) noexcept;

// Parses a level name ("info") or number ("4"); nullopt when it is neither.
std::optional<LogLevel> ParseLevel(std::string_view text) noexcept;
// Parses modes such as "console,remote" or "console|file"; nullopt on an unknown word.
std::optional<LogMode> ParseMode(std::string_view text) noexcept;
// Parses a size in bytes with an optional K, M or G suffix (powers of 1024): "16M"; nullopt otherwise.
std::optional<std::uint64_t> ParseSize(std::string_view text) noexcept;

// How the log file is kept within bounds: ARA_LOG_FILE_MAX_BYTES (default 16M; 0: no limit) and
// ARA_LOG_FILE_KEEP (earlier files kept, default 3). When the file reaches the limit it becomes
// "<file>.1", the earlier ones move up ("<file>.1" to "<file>.2", ...), the oldest beyond the count is
// removed, and a new file is started. A file may exceed the limit by what other threads write while one of
// them rotates, at most by the limit again.
struct FileRotation {
    static constexpr std::uint64_t kDefaultMaxBytes = 16ULL * 1024 * 1024;
    static constexpr unsigned kDefaultKeep = 3;
    std::uint64_t maxBytes{kDefaultMaxBytes};
    unsigned keep{kDefaultKeep};
};

// At most `count` messages per `periodMs` from one place in the code (ARA_LOG_REPEAT_LIMIT="count/ms"),
// for info, debug and verbose messages: the per-frame lines of a long run. Off by default.
struct RepeatLimit {
    std::uint32_t count{0};
    std::uint32_t periodMs{0};
};
std::optional<RepeatLimit> ParseRepeatLimit(std::string_view text) noexcept;

// The process-wide state behind InitLogging and CreateLogger: the loggers, the outputs and the capture.
class LoggingBackend {
  public:
    static LoggingBackend& Instance();

    void Init(std::string applicationId, std::string description, LogLevel defaultLevel, LogMode mode,
              std::string directoryPath);
    Logger& CreateLogger(std::string contextId, std::string description, std::optional<LogLevel> level);

    void Emit(const Logger& logger, LogLevel level, const SourceLocation& location,
              const LogArgument* arguments, std::size_t count) noexcept;

    // Installs `capture` and returns the one it replaces.
    LogCapture* SwapCapture(LogCapture* capture) noexcept;

  private:
    LoggingBackend();
    ~LoggingBackend() = default;

    void RegisterRemoteContext(Logger& logger);
    void WriteFile(const char* data, std::size_t size) noexcept;
    void RotateFile(bool wait) noexcept;
    void EmitRemote(const Logger& logger, LogLevel level, const SourceLocation& location,
                    const LogArgument* arguments, std::size_t count) noexcept;

    std::mutex mutex_;  // guards everything below but the atomics
    bool initialized_{false};
    std::string applicationId_{"NONE"};
    LogLevel defaultLevel_{LogLevel::kInfo};
    std::optional<LogLevel> levelOverride_;
    std::map<std::string, std::unique_ptr<Logger>, std::less<>> loggers_;

    std::atomic<bool> console_{true};
    std::atomic<bool> remote_{false};
    FileDescriptor file_;
    std::atomic<int> fileFd_{-1};
    std::string filePath_;
    FileRotation rotation_;
    std::atomic<std::uint64_t> fileBytes_{0};
    std::mutex rotateMutex_;
    std::optional<RepeatLimit> repeatLimit_;
    EntryLimiter repeatLimiter_;

    std::mutex captureMutex_;
    std::atomic<bool> captureActive_{false};
    LogCapture* capture_{nullptr};
};

}  // namespace ara::log::internal
