#pragma once

#include <cstdint>

namespace ara::log {

// Severity of a message; a context emits messages at or below its level.
enum class LogLevel : std::uint8_t {
    kOff = 0x00,
    kFatal = 0x01,
    kError = 0x02,
    kWarn = 0x03,
    kInfo = 0x04,
    kDebug = 0x05,
    kVerbose = 0x06,
};

// Where messages go; values combine with operator|.
enum class LogMode : std::uint8_t {
    kRemote = 0x01,   // COVESA DLT
    kFile = 0x02,     // "<directory>/<application id>.log"
    kConsole = 0x04,  // standard error
};

constexpr LogMode operator|(LogMode lhs, LogMode rhs) noexcept {
    return static_cast<LogMode>(static_cast<std::uint8_t>(lhs) | static_cast<std::uint8_t>(rhs));
}

constexpr bool operator&(LogMode lhs, LogMode rhs) noexcept {
    return (static_cast<std::uint8_t>(lhs) & static_cast<std::uint8_t>(rhs)) != 0;
}

// Lower-case name of a level ("info", "debug", ...).
const char* ToString(LogLevel level) noexcept;

// Where a message was written: the LogFatal ... LogVerbose calls take one.
struct SourceLocation {
    const char* file;
    const char* function;
    int line;
};

}  // namespace ara::log

// The source location of the line that expands it.
#define ARA_LOG_HERE (::ara::log::SourceLocation{__FILE__, __func__, __LINE__})
