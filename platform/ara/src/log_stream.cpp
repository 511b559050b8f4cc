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

LogStream& LogStream::AppendText(std::string_view text) noexcept {
    if (logger_ == nullptr) {
        return *this;
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
        return *this;
    }
    char* begin = text_.data() + textUsed_;
    std::copy(text.begin(), text.end(), begin);
    textUsed_ += text.size();
    argument->type = LogArgument::Type::kText;
    argument->text = std::string_view(begin, text.size());
    return *this;
}

}  // namespace ara::log
