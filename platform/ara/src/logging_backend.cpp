#include "logging_backend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <syslog.h>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ara/log/logging.h"

namespace ara::log {

void InitLogging(std::string applicationId, std::string description, LogLevel defaultLevel, LogMode mode,
                 std::string directoryPath) {
    internal::LoggingBackend::Instance().Init(std::move(applicationId), std::move(description), defaultLevel,
                                              mode, std::move(directoryPath));
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

namespace {

// DLT ids are at most four characters.
std::string DltId(const std::string& id) {
    return id.substr(0, 4);
}

std::string_view BaseName(const char* path) {
    if (path == nullptr) {
        return "?";
    }
    const char* slash = std::strrchr(path, '/');
    return slash == nullptr ? std::string_view(path) : std::string_view(slash + 1);
}

void WriteAll(int fd, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

// Appends to a fixed buffer, silently cutting what does not fit.
class LineBuffer {
  public:
    LineBuffer(char* data, std::size_t capacity) noexcept : data_(data), capacity_(capacity) {}

    void Append(std::string_view text) noexcept {
        const std::size_t n = std::min(text.size(), capacity_ - size_);
        std::memcpy(data_ + size_, text.data(), n);
        size_ += n;
    }
    void Append(char c) noexcept { Append(std::string_view(&c, 1)); }
    // Takes the result of an snprintf into End() with Room() + 1 bytes.
    void Formatted(int n) noexcept {
        if (n > 0) {
            size_ += std::min(static_cast<std::size_t>(n), capacity_ - size_);
        }
    }
    char* End() noexcept { return data_ + size_; }
    std::size_t Room() const noexcept { return capacity_ - size_; }
    void Advance(std::size_t n) noexcept { size_ += std::min(n, capacity_ - size_); }
    std::size_t Size() const noexcept { return size_; }

  private:
    char* data_;
    std::size_t capacity_;  // one byte less than the storage, for snprintf's terminating zero
    std::size_t size_{0};
};

std::size_t RenderArgument(const LogArgument& argument, char* out, std::size_t capacity) noexcept {
    char number[48];
    std::string_view text;
    switch (argument.type) {
        case LogArgument::Type::kText:
            text = argument.text;
            break;
        case LogArgument::Type::kBool:
            text = argument.unsignedValue != 0 ? "true" : "false";
            break;
        case LogArgument::Type::kSigned:
            text = std::string_view(number, static_cast<std::size_t>(std::snprintf(
                                                number, sizeof(number), "%" PRId64, argument.signedValue)));
            break;
        case LogArgument::Type::kUnsigned:
            text = std::string_view(number, static_cast<std::size_t>(std::snprintf(
                                                number, sizeof(number), "%" PRIu64, argument.unsignedValue)));
            break;
        case LogArgument::Type::kFloat:
            text = std::string_view(number, static_cast<std::size_t>(std::snprintf(
                                                number, sizeof(number), "%g", argument.floatValue)));
            break;
        case LogArgument::Type::kHex:
            text = std::string_view(number, static_cast<std::size_t>(std::snprintf(
                                                number, sizeof(number), "%" PRIx64, argument.unsignedValue)));
            break;
    }
    const std::size_t n = std::min(text.size(), capacity);
    std::memcpy(out, text.data(), n);
    return n;
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = other.Release();
    }
    return *this;
}

FileDescriptor::~FileDescriptor() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

// The console shows the arguments one after the other, exactly as streamed: the text carries its own
// blanks ("Camera " << 8 << " ready" reads "Camera 8 ready"). Remote output keeps them as typed arguments.
std::size_t RenderMessage(const LogArgument* arguments, std::size_t count, char* out,
                          std::size_t capacity) noexcept {
    std::size_t size = 0;
    for (std::size_t i = 0; i < count && size < capacity; ++i) {
        size += RenderArgument(arguments[i], out + size, capacity - size);
    }
    return size;
}

std::optional<LogLevel> ParseLevel(std::string_view text) noexcept {
    static constexpr std::string_view kNames[] = {"off",  "fatal", "error",  "warn",
                                                  "info", "debug", "verbose"};
    for (std::size_t i = 0; i < std::size(kNames); ++i) {
        if (text == kNames[i] || (text.size() == 1 && text[0] == static_cast<char>('0' + i))) {
            return static_cast<LogLevel>(i);
        }
    }
    if (text == "warning") {
        return LogLevel::kWarn;
    }
    return std::nullopt;
}

std::optional<LogMode> ParseMode(std::string_view text) noexcept {
    std::uint8_t mode = 0;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of(",|");
        const std::string_view word = text.substr(0, end);
        if (word == "console") {
            mode |= static_cast<std::uint8_t>(LogMode::kConsole);
        } else if (word == "remote") {
            mode |= static_cast<std::uint8_t>(LogMode::kRemote);
        } else if (word == "file") {
            mode |= static_cast<std::uint8_t>(LogMode::kFile);
        } else if (!word.empty()) {
            return std::nullopt;
        }
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return static_cast<LogMode>(mode);
}

std::optional<std::uint64_t> ParseSize(std::string_view text) noexcept {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t unit = 1;
    switch (text.back()) {
        case 'K':
        case 'k':
            unit = 1024ULL;
            break;
        case 'M':
        case 'm':
            unit = 1024ULL * 1024;
            break;
        case 'G':
        case 'g':
            unit = 1024ULL * 1024 * 1024;
            break;
        default:
            break;
    }
    if (unit != 1) {
        text.remove_suffix(1);
    }
    // Digits only (from_chars takes no sign for an unsigned type), few enough not to overflow with the unit.
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || text.size() > 12 || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value * unit;
}

std::optional<RepeatLimit> ParseRepeatLimit(std::string_view text) noexcept {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    const auto count = ParseSize(text.substr(0, slash));
    const auto period = ParseSize(text.substr(slash + 1));
    if (!count || !period || *count == 0 || *period == 0 || *count > UINT32_MAX || *period > UINT32_MAX) {
        return std::nullopt;
    }
    return RepeatLimit{static_cast<std::uint32_t>(*count), static_cast<std::uint32_t>(*period)};
}

LoggingBackend& LoggingBackend::Instance() {
    static LoggingBackend backend;
    return backend;
}

LoggingBackend::LoggingBackend() {
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
            rotation_.maxBytes = *size;
        } else {
            std::fprintf(
                stderr, "ara::log: ignoring ARA_LOG_FILE_MAX_BYTES=\"%s\": expected bytes, e.g. 16M\n", text);
        }
    }
    if (const char* text = std::getenv("ARA_LOG_FILE_KEEP"); text != nullptr && *text != '\0') {
        const auto keep = ParseSize(text);
        if (keep && *keep <= 100) {
            rotation_.keep = static_cast<unsigned>(*keep);
        } else {
            std::fprintf(stderr, "ara::log: ignoring ARA_LOG_FILE_KEEP=\"%s\": expected 0 to 100\n", text);
        }
    }
}

void LoggingBackend::Init(std::string applicationId, std::string description, LogLevel defaultLevel,
                          LogMode mode, std::string directoryPath) {
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
        const std::string path =
            (directoryPath.empty() ? std::string(".") : directoryPath) + "/" + applicationId_ + ".log";
        file_ = FileDescriptor(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (!file_.IsValid()) {
            std::fprintf(stderr, "ara::log: cannot open log file \"%s\": %s\n", path.c_str(),
                         std::strerror(errno));
        }
        struct stat info {};
        if (file_.IsValid() && ::fstat(file_.Get(), &info) == 0) {
            fileBytes_ = static_cast<std::uint64_t>(info.st_size);
        }
        filePath_ = path;
        fileFd_ = file_.Get();
    }

    if (mode & LogMode::kRemote) {
        // The library's own notices go to standard error, which is ours; standard output is reserved.
        dlt_log_init(DLT_LOG_TO_STDERR);
        dlt_log_set_level(LOG_WARNING);
        if (dlt_register_app(DltId(applicationId_).c_str(), description.c_str()) < DLT_RETURN_OK) {
            std::fprintf(stderr, "ara::log: DLT registration of application \"%s\" failed\n",
                         applicationId_.c_str());
        } else {
            // Without a daemon the library would retry buffered messages at exit for ten seconds.
            dlt_set_resend_timeout_atexit(0);
            // The console output is ours; DLT's own local print would go to standard output.
            dlt_disable_local_print();
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
    auto remote = std::make_unique<RemoteContext>();
    const auto level = static_cast<int>(logger.Level());
    if (dlt_register_context_ll_ts(&remote->context, DltId(logger.ContextId()).c_str(),
                                   logger.Description().c_str(), level,
                                   DLT_TRACE_STATUS_OFF) < DLT_RETURN_OK) {
        std::fprintf(stderr, "ara::log: DLT registration of context \"%s\" failed\n",
                     logger.ContextId().c_str());
        return;
    }
    logger.remote_ = std::move(remote);
}

LogCapture* LoggingBackend::SwapCapture(LogCapture* capture) noexcept {
    std::lock_guard<std::mutex> lock(captureMutex_);
    LogCapture* previous = capture_;
    capture_ = capture;
    captureActive_ = capture != nullptr;
    return previous;
}

void LoggingBackend::WriteFile(const char* data, std::size_t size) noexcept {
    WriteAll(fileFd_.load(std::memory_order_relaxed), data, size);
    const std::uint64_t total = fileBytes_.fetch_add(size, std::memory_order_relaxed) + size;
    if (rotation_.maxBytes > 0 && total >= rotation_.maxBytes) {
        // Normally one writer rotates while the others go on writing to the old file; past twice the
        // limit (the rotating thread was preempted) they wait for it, so that no file grows without bound.
        RotateFile(total >= 2 * rotation_.maxBytes);
    }
}

// The new file takes the old one's descriptor number (dup3), so that writers never see a closed or reused
// descriptor and the write path takes no lock; a line written while the files move lands in one of them.
void LoggingBackend::RotateFile(bool wait) noexcept {
    std::unique_lock<std::mutex> lock(rotateMutex_, std::defer_lock);
    if (wait) {
        lock.lock();
    } else if (!lock.try_lock()) {
        return;
    }
    if (fileBytes_.load(std::memory_order_relaxed) < rotation_.maxBytes) {
        return;
    }
    const auto numbered = [this](unsigned n) { return filePath_ + "." + std::to_string(n); };
    if (rotation_.keep == 0) {
        ::unlink(filePath_.c_str());
    } else {
        for (unsigned n = rotation_.keep; n > 1; --n) {
            ::rename(numbered(n - 1).c_str(), numbered(n).c_str());
        }
        ::rename(filePath_.c_str(), numbered(1).c_str());
    }
    const int fresh = ::open(filePath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (fresh < 0) {
        // Keep writing to the file that was renamed rather than lose the lines.
        fileBytes_ = 0;
        return;
    }
    ::dup3(fresh, fileFd_.load(std::memory_order_relaxed), O_CLOEXEC);
    ::close(fresh);
    fileBytes_ = 0;
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

    const int fileFd = fileFd_.load(std::memory_order_relaxed);
    if (console_.load(std::memory_order_relaxed) || fileFd >= 0) {
        // One write per message, so that lines of concurrent threads never interleave.
        char storage[sizeof(message) + 512];
        LineBuffer line(storage, sizeof(storage) - 1);
        timespec now{};
        ::clock_gettime(CLOCK_REALTIME, &now);
        tm local{};
        ::localtime_r(&now.tv_sec, &local);
        line.Advance(std::strftime(line.End(), line.Room() + 1, "%Y-%m-%d %H:%M:%S", &local));
        line.Formatted(std::snprintf(line.End(), line.Room() + 1, ".%06ld %s %s [%s] ",
                                     static_cast<long>(now.tv_nsec / 1000), applicationId_.c_str(),
                                     logger.ContextId().c_str(), ToString(level)));
        line.Append(messageText);
        line.Append(" (");
        line.Append(BaseName(location.file));
        line.Formatted(std::snprintf(line.End(), line.Room() + 1, ":%d %s)", location.line,
                                     location.function == nullptr ? "?" : location.function));
        line.Append('\n');
        if (console_.load(std::memory_order_relaxed)) {
            WriteAll(STDERR_FILENO, storage, line.Size());
        }
        if (fileFd >= 0) {
            WriteFile(storage, line.Size());
        }
    }

    if (remote_.load(std::memory_order_acquire) && logger.remote_) {
        EmitRemote(logger, level, location, arguments, count);
    }

    if (captureActive_.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(captureMutex_);
        if (capture_ != nullptr) {
            capture_->Record(CapturedLog{logger.ContextId(), level, std::string(messageText),
                                         std::string(BaseName(location.file)), location.line});
        }
    }
}

void LoggingBackend::EmitRemote(const Logger& logger, LogLevel level, const SourceLocation& location,
                                const LogArgument* arguments, std::size_t count) noexcept {
    DltContextData data{};
    auto* context = &logger.remote_->context;
    if (dlt_user_log_write_start(context, &data, static_cast<DltLogLevelType>(level)) <= DLT_RETURN_OK) {
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const LogArgument& argument = arguments[i];
        switch (argument.type) {
            case LogArgument::Type::kText:
                dlt_user_log_write_sized_utf8_string(&data, argument.text.data(),
                                                     static_cast<std::uint16_t>(argument.text.size()));
                break;
            case LogArgument::Type::kBool:
                dlt_user_log_write_bool(&data, static_cast<std::uint8_t>(argument.unsignedValue));
                break;
            case LogArgument::Type::kSigned:
                switch (argument.width) {
                    case 1:
                        dlt_user_log_write_int8(&data, static_cast<std::int8_t>(argument.signedValue));
                        break;
                    case 2:
                        dlt_user_log_write_int16(&data, static_cast<std::int16_t>(argument.signedValue));
                        break;
                    case 4:
                        dlt_user_log_write_int32(&data, static_cast<std::int32_t>(argument.signedValue));
                        break;
                    default:
                        dlt_user_log_write_int64(&data, argument.signedValue);
                        break;
                }
                break;
            case LogArgument::Type::kUnsigned:
                switch (argument.width) {
                    case 1:
                        dlt_user_log_write_uint8(&data, static_cast<std::uint8_t>(argument.unsignedValue));
                        break;
                    case 2:
                        dlt_user_log_write_uint16(&data, static_cast<std::uint16_t>(argument.unsignedValue));
                        break;
                    case 4:
                        dlt_user_log_write_uint32(&data, static_cast<std::uint32_t>(argument.unsignedValue));
                        break;
                    default:
                        dlt_user_log_write_uint64(&data, argument.unsignedValue);
                        break;
                }
                break;
            case LogArgument::Type::kHex:
                switch (argument.width) {
                    case 1:
                        dlt_user_log_write_uint8_formatted(
                            &data, static_cast<std::uint8_t>(argument.unsignedValue), DLT_FORMAT_HEX8);
                        break;
                    case 2:
                        dlt_user_log_write_uint16_formatted(
                            &data, static_cast<std::uint16_t>(argument.unsignedValue), DLT_FORMAT_HEX16);
                        break;
                    case 4:
                        dlt_user_log_write_uint32_formatted(
                            &data, static_cast<std::uint32_t>(argument.unsignedValue), DLT_FORMAT_HEX32);
                        break;
                    default:
                        dlt_user_log_write_uint64_formatted(&data, argument.unsignedValue, DLT_FORMAT_HEX64);
                        break;
                }
                break;
            case LogArgument::Type::kFloat:
                if (argument.width == sizeof(float)) {
                    dlt_user_log_write_float32(&data, static_cast<float>(argument.floatValue));
                } else {
                    dlt_user_log_write_float64(&data, argument.floatValue);
                }
                break;
        }
    }
    char where[256];
    const int n =
        std::snprintf(where, sizeof(where), "(%.*s:%d %s)", static_cast<int>(BaseName(location.file).size()),
                      BaseName(location.file).data(), location.line,
                      location.function == nullptr ? "?" : location.function);
    if (n > 0) {
        dlt_user_log_write_sized_utf8_string(&data, where,
                                             static_cast<std::uint16_t>(std::min<int>(n, sizeof(where) - 1)));
    }
    dlt_user_log_write_finish(&data);
}

}  // namespace ara::log::internal
