#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "ara/log/common.h"

namespace ara::log::internal {

// Parsers of the ARA_LOG_* environment variables.

// Parses a level name ("info") or number ("4"); nullopt when it is neither.
std::optional<LogLevel> ParseLevel(std::string_view text) noexcept;
// Parses modes such as "console,remote" or "console|file"; nullopt on an unknown word.
std::optional<LogMode> ParseMode(std::string_view text) noexcept;
// Parses a size in bytes with an optional K, M or G suffix (powers of 1024): "16M"; nullopt otherwise.
std::optional<std::uint64_t> ParseSize(std::string_view text) noexcept;

// At most `count` messages per `periodMs` from one place in the code (ARA_LOG_REPEAT_LIMIT="count/ms"),
// for info, debug and verbose messages: the per-frame lines of a long run. Off by default.
struct RepeatLimit {
    std::uint32_t count{0};
    std::uint32_t periodMs{0};
};
std::optional<RepeatLimit> ParseRepeatLimit(std::string_view text) noexcept;

}  // namespace ara::log::internal
