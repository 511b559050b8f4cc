#include "ara/log/log_capture.h"

#include <algorithm>

#include "logging_backend.h"

namespace ara::log {

LogCapture::LogCapture() : previous_(internal::LoggingBackend::Instance().SwapCapture(this)) {}

LogCapture::~LogCapture() {
    internal::LoggingBackend::Instance().SwapCapture(previous_);
}

std::vector<CapturedLog> LogCapture::Messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::size_t LogCapture::Count(std::string_view contextId, std::string_view fragment) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(messages_.begin(), messages_.end(), [&](const CapturedLog& log) {
            return log.contextId == contextId && log.message.find(fragment) != std::string::npos;
        }));
}

std::size_t LogCapture::Count(std::string_view contextId, LogLevel level, std::string_view fragment) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(messages_.begin(), messages_.end(), [&](const CapturedLog& log) {
            return log.contextId == contextId && log.level == level &&
                   log.message.find(fragment) != std::string::npos;
        }));
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
}

void LogCapture::Record(CapturedLog log) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(std::move(log));
}

}  // namespace ara::log
