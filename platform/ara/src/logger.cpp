#include "ara/log/logger.h"

#include "ara/core/internal/enum_name.h"

#include "dlt_output.h"
#include "entry_limiter.h"
#include "logging_backend.h"

namespace ara::log {

Logger::Logger(ConstructionKey, std::string contextId, std::string description, LogLevel level)
    : contextId_(std::move(contextId)),
      description_(std::move(description)),
      level_(level),
      limiter_(std::make_unique<internal::EntryLimiter>()) {}

Logger::~Logger() = default;

bool Logger::IsEnabled(LogLevel level) const noexcept {
    return level != LogLevel::kOff && level <= level_.load(std::memory_order_relaxed);
}

bool Logger::LimitedEntry(std::string_view key, std::uint32_t periodMs, std::uint32_t maxCount) const {
    return limiter_->Allow(key, periodMs, maxCount);
}

LogStream Logger::WithLevel(LogLevel level, const SourceLocation& location) const noexcept {
    return LogStream(IsEnabled(level) ? this : nullptr, level, location);
}

LogStream Logger::LogFatal(const SourceLocation& location) const noexcept {
    return WithLevel(LogLevel::kFatal, location);
}

LogStream Logger::LogError(const SourceLocation& location) const noexcept {
    return WithLevel(LogLevel::kError, location);
}

LogStream Logger::LogWarn(const SourceLocation& location) const noexcept {
    return WithLevel(LogLevel::kWarn, location);
}

LogStream Logger::LogInfo(const SourceLocation& location) const noexcept {
    return WithLevel(LogLevel::kInfo, location);
}

LogStream Logger::LogDebug(const SourceLocation& location) const noexcept {
    return WithLevel(LogLevel::kDebug, location);
}

LogStream Logger::LogVerbose(const SourceLocation& location) const noexcept {
    return WithLevel(LogLevel::kVerbose, location);
}

const char* ToString(LogLevel level) noexcept {
    static constexpr core::internal::EnumName<LogLevel> kNames[] = {
        {LogLevel::kOff, "off"},        {LogLevel::kFatal, "fatal"}, {LogLevel::kError, "error"},
        {LogLevel::kWarn, "warn"},      {LogLevel::kInfo, "info"},   {LogLevel::kDebug, "debug"},
        {LogLevel::kVerbose, "verbose"}};
    return core::internal::NameOf(kNames, level, "unknown");
}

}  // namespace ara::log
