#include "log_render.h"

#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace ara::log::internal {

namespace {

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
    const auto printed = [&number](int n) { return std::string_view(number, static_cast<std::size_t>(n)); };
    switch (argument.type) {
        case LogArgument::Type::kText:
            text = argument.text;
            break;
        case LogArgument::Type::kBool:
            text = argument.unsignedValue != 0 ? "true" : "false";
            break;
        case LogArgument::Type::kSigned:
            text = printed(std::snprintf(number, sizeof(number), "%" PRId64, argument.signedValue));
            break;
        case LogArgument::Type::kUnsigned:
            text = printed(std::snprintf(number, sizeof(number), "%" PRIu64, argument.unsignedValue));
            break;
        case LogArgument::Type::kFloat:
            text = printed(std::snprintf(number, sizeof(number), "%g", argument.floatValue));
            break;
        case LogArgument::Type::kHex:
            text = printed(std::snprintf(number, sizeof(number), "%" PRIx64, argument.unsignedValue));
            break;
    }
    const std::size_t n = std::min(text.size(), capacity);
    std::memcpy(out, text.data(), n);
    return n;
}

}  // namespace

std::string_view BaseName(const char* path) noexcept {
    if (path == nullptr) {
        return "?";
    }
    const char* slash = std::strrchr(path, '/');
    return slash == nullptr ? std::string_view(path) : std::string_view(slash + 1);
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

std::size_t RenderLine(const char* applicationId, const char* contextId, LogLevel level,
                       std::string_view message, const SourceLocation& location, char* out,
                       std::size_t capacity) noexcept {
    LineBuffer line(out, capacity - 1);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    line.Advance(std::strftime(line.End(), line.Room() + 1, "%Y-%m-%d %H:%M:%S", &local));
    line.Formatted(std::snprintf(line.End(), line.Room() + 1, ".%06ld %s %s [%s] ",
                                 static_cast<long>(now.tv_nsec / 1000), applicationId, contextId,
                                 ToString(level)));
    line.Append(message);
    line.Append(" (");
    line.Append(BaseName(location.file));
    line.Formatted(std::snprintf(line.End(), line.Room() + 1, ":%d %s)", location.line,
                                 location.function == nullptr ? "?" : location.function));
    line.Append('\n');
    return line.Size();
}

}  // namespace ara::log::internal
