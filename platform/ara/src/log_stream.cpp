#include "ara/log/log_stream.h"

#include <algorithm>

#include "ara/log/logger.h"
#include "logging_backend.h"

namespace ara::log {

namespace {
constexpr std::string_view kEllipsis = "...";
}

LogStream::LogStream(const Logger* logger, LogLevel level, const SourceLocation& location) noexcept
    : logger_(logger), level_(level), location_(location) {}

LogStream::~LogStream() {
    if (logger_ == nullptr) {
        return;
    }
    if (truncated_ && argumentCount_ > 0) {
        // Mark the cut where the reader sees it: the message ends in "...".
        LogArgument& last = arguments_[argumentCount_ - 1];
        if (last.type == LogArgument::Type::kText && textUsed_ + kEllipsis.size() <= text_.size()) {
            char* end = text_.data() + textUsed_;
            std::copy(kEllipsis.begin(), kEllipsis.end(), end);
            last.text = std::string_view(last.text.data(), last.text.size() + kEllipsis.size());
        }
    }
    internal::LoggingBackend::Instance().Emit(*logger_, level_, location_, arguments_.data(), argumentCount_);
}

LogArgument* LogStream::NextArgument() noexcept {
    if (argumentCount_ == arguments_.size()) {
        truncated_ = true;
        return nullptr;
    }
    return &arguments_[argumentCount_++];
}

void LogStream::AppendText(std::string_view text) noexcept {
    if (logger_ == nullptr) {
        return;
    }
    // Keep room for the ellipsis that marks a cut message.
    const std::size_t room =
        text_.size() - kEllipsis.size() - std::min(textUsed_, text_.size() - kEllipsis.size());
    if (text.size() > room) {
        text = text.substr(0, room);
        truncated_ = true;
    }
    LogArgument* argument = NextArgument();
    if (argument == nullptr) {
        return;
    }
    char* begin = text_.data() + textUsed_;
    std::copy(text.begin(), text.end(), begin);
    textUsed_ += text.size();
    argument->type = LogArgument::Type::kText;
    argument->text = std::string_view(begin, text.size());
}

void LogStream::AppendSigned(std::int64_t value, std::uint8_t width) noexcept {
    if (logger_ == nullptr) {
        return;
    }
    if (LogArgument* argument = NextArgument()) {
        argument->type = LogArgument::Type::kSigned;
        argument->width = width;
        argument->signedValue = value;
    }
}

void LogStream::AppendUnsigned(std::uint64_t value, std::uint8_t width, LogArgument::Type type) noexcept {
    if (logger_ == nullptr) {
        return;
    }
    if (LogArgument* argument = NextArgument()) {
        argument->type = type;
        argument->width = width;
        argument->unsignedValue = value;
    }
}

LogStream& LogStream::operator<<(const char* text) {
    AppendText(text == nullptr ? std::string_view("(null)") : std::string_view(text));
    return *this;
}

LogStream& LogStream::operator<<(const std::string& text) {
    AppendText(text);
    return *this;
}

LogStream& LogStream::operator<<(std::string_view text) {
    AppendText(text);
    return *this;
}

LogStream& LogStream::operator<<(char character) {
    AppendText(std::string_view(&character, 1));
    return *this;
}

LogStream& LogStream::operator<<(bool value) {
    if (logger_ != nullptr) {
        if (LogArgument* argument = NextArgument()) {
            argument->type = LogArgument::Type::kBool;
            argument->width = 1;
            argument->unsignedValue = value ? 1U : 0U;
        }
    }
    return *this;
}

LogStream& LogStream::operator<<(signed char value) {
    AppendSigned(value, sizeof(value));
    return *this;
}

LogStream& LogStream::operator<<(unsigned char value) {
    AppendUnsigned(value, sizeof(value));
    return *this;
}

LogStream& LogStream::operator<<(short value) {
    AppendSigned(value, sizeof(value));
    return *this;
}

LogStream& LogStream::operator<<(unsigned short value) {
    AppendUnsigned(value, sizeof(value));
    return *this;
}

LogStream& LogStream::operator<<(int value) {
    AppendSigned(value, sizeof(value));
    return *this;
}

LogStream& LogStream::operator<<(unsigned int value) {
    AppendUnsigned(value, sizeof(value));
    return *this;
}

LogStream& LogStream::operator<<(long value) {
    AppendSigned(value, sizeof(value));
    return *this;
}

LogStream& LogStream::operator<<(unsigned long value) {
    AppendUnsigned(value, sizeof(value));
    return *this;
}

LogStream& LogStream::operator<<(long long value) {
    AppendSigned(value, sizeof(value));
    return *this;
}

LogStream& LogStream::operator<<(unsigned long long value) {
    AppendUnsigned(value, sizeof(value));
    return *this;
}

LogStream& LogStream::operator<<(float value) {
    if (logger_ != nullptr) {
        if (LogArgument* argument = NextArgument()) {
            argument->type = LogArgument::Type::kFloat;
            argument->width = sizeof(value);
            argument->floatValue = value;
        }
    }
    return *this;
}

LogStream& LogStream::operator<<(double value) {
    if (logger_ != nullptr) {
        if (LogArgument* argument = NextArgument()) {
            argument->type = LogArgument::Type::kFloat;
            argument->width = sizeof(value);
            argument->floatValue = value;
        }
    }
    return *this;
}

}  // namespace ara::log
