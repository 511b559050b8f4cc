#include "log_settings.h"

#include <charconv>
#include <cstdint>

#include "ara/core/internal/enum_name.h"

namespace ara::log::internal {

std::optional<LogLevel> ParseLevel(std::string_view text) noexcept {
    for (auto i = static_cast<int>(LogLevel::kOff); i <= static_cast<int>(LogLevel::kVerbose); ++i) {
        const auto level = static_cast<LogLevel>(i);
        if (text == ToString(level) || (text.size() == 1 && text[0] == static_cast<char>('0' + i))) {
            return level;
        }
    }
    if (text == "warning") {
        return LogLevel::kWarn;
    }
    return std::nullopt;
}

std::optional<LogMode> ParseMode(std::string_view text) noexcept {
    static constexpr core::internal::EnumName<LogMode> kModeNames[] = {
        {LogMode::kConsole, "console"}, {LogMode::kRemote, "remote"}, {LogMode::kFile, "file"}};
    std::uint8_t mode = 0;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of(",|");
        const std::string_view word = text.substr(0, end);
        if (const auto value = core::internal::ValueOf(kModeNames, word)) {
            mode |= static_cast<std::uint8_t>(*value);
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

}  // namespace ara::log::internal
