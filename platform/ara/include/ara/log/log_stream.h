#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "ara/log/common.h"

namespace ara::log {

class Logger;

// One typed argument of a message, as the caller streamed it. Text points into the stream's own buffer.
struct LogArgument {
    // kHex: an unsigned bit pattern of `width` bytes shown in hexadecimal digits.
    enum class Type : std::uint8_t { kText, kBool, kSigned, kUnsigned, kFloat, kHex };
    Type type{Type::kText};
    std::uint8_t width{0};  // size in bytes of the caller's type (numbers only)
    union {
        std::int64_t signedValue;
        std::uint64_t unsignedValue;
        double floatValue;
    };
    std::string_view text;

    LogArgument() : signedValue(0) {}
};

// A number to be shown in hexadecimal: lower-case digits without prefix on the console (the message text
// carries any "0x"), a hex-formatted unsigned integer of the same width in remote output. Signed values show
// their two's-complement bit pattern of their own width.
//
//     logger.LogError(ARA_LOG_HERE) << "send failed with result 0x" << HexFormat(status);
template <typename Unsigned>
struct LogHex {
    Unsigned value;
};

template <typename Integer,
          typename = std::enable_if_t<std::is_integral_v<Integer> && !std::is_same_v<Integer, bool>>>
constexpr LogHex<std::make_unsigned_t<Integer>> HexFormat(Integer value) noexcept {
    return {static_cast<std::make_unsigned_t<Integer>>(value)};
}

// A message under construction. Arguments keep their types (an unsigned char is a number, not a character);
// the message is emitted as one record when the stream is destroyed, at the end of the full expression:
//
//     logger.LogInfo(ARA_LOG_HERE) << "frame " << frameId << " done";
//
// A stream of a disabled level ignores its arguments. Building a message does not allocate: arguments and
// text live in fixed buffers, and a message that does not fit is cut and marked with "...".
// Not thread-safe; a stream belongs to the thread that created it.
class LogStream {
  public:
    static constexpr std::size_t kMaxArguments = 32;
    static constexpr std::size_t kTextCapacity = 1024;

    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;
    LogStream(LogStream&&) = delete;
    LogStream& operator=(LogStream&&) = delete;
    ~LogStream();

    LogStream& operator<<(const char* text) {
        return AppendText(text == nullptr ? std::string_view("(null)") : std::string_view(text));
    }
    LogStream& operator<<(const std::string& text) { return AppendText(text); }
    LogStream& operator<<(std::string_view text) { return AppendText(text); }
    LogStream& operator<<(char character) { return AppendText(std::string_view(&character, 1)); }
    LogStream& operator<<(bool value) {
        return Append(LogArgument::Type::kBool, static_cast<std::uint8_t>(value));
    }
    LogStream& operator<<(signed char value) { return Append(LogArgument::Type::kSigned, value); }
    LogStream& operator<<(unsigned char value) { return Append(LogArgument::Type::kUnsigned, value); }
    LogStream& operator<<(short value) { return Append(LogArgument::Type::kSigned, value); }
    LogStream& operator<<(unsigned short value) { return Append(LogArgument::Type::kUnsigned, value); }
    LogStream& operator<<(int value) { return Append(LogArgument::Type::kSigned, value); }
    LogStream& operator<<(unsigned int value) { return Append(LogArgument::Type::kUnsigned, value); }
    LogStream& operator<<(long value) { return Append(LogArgument::Type::kSigned, value); }
    LogStream& operator<<(unsigned long value) { return Append(LogArgument::Type::kUnsigned, value); }
    LogStream& operator<<(long long value) { return Append(LogArgument::Type::kSigned, value); }
    LogStream& operator<<(unsigned long long value) { return Append(LogArgument::Type::kUnsigned, value); }
    LogStream& operator<<(float value) { return Append(LogArgument::Type::kFloat, value); }
    LogStream& operator<<(double value) { return Append(LogArgument::Type::kFloat, value); }
    template <typename Unsigned>
    LogStream& operator<<(LogHex<Unsigned> value) {
        return Append(LogArgument::Type::kHex, value.value);
    }

  private:
    friend class Logger;
    LogStream(const Logger* logger, LogLevel level, const SourceLocation& location) noexcept;

    LogArgument* NextArgument() noexcept;
    // Adds a number or a truth value as an argument of its own width; nothing when the level is disabled.
    template <typename Value>
    LogStream& Append(LogArgument::Type type, Value value) noexcept {
        LogArgument* argument = logger_ == nullptr ? nullptr : NextArgument();
        if (argument != nullptr) {
            argument->type = type;
            argument->width = sizeof(Value);
            if constexpr (std::is_floating_point_v<Value>) {
                argument->floatValue = value;
            } else if constexpr (std::is_signed_v<Value>) {
                argument->signedValue = value;
            } else {
                argument->unsignedValue = value;
            }
        }
        return *this;
    }
    LogStream& AppendText(std::string_view text) noexcept;

    const Logger* logger_;  // null when the level is disabled
    LogLevel level_;
    SourceLocation location_;
    bool truncated_{false};
    std::size_t argumentCount_{0};
    std::size_t textUsed_{0};
    std::array<LogArgument, kMaxArguments> arguments_;
    std::array<char, kTextCapacity> text_;
};

}  // namespace ara::log
