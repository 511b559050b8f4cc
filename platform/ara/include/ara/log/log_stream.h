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

    LogStream& operator<<(const char* text);
    LogStream& operator<<(const std::string& text);
    LogStream& operator<<(std::string_view text);
    LogStream& operator<<(char character);
    LogStream& operator<<(bool value);
    LogStream& operator<<(signed char value);
    LogStream& operator<<(unsigned char value);
    LogStream& operator<<(short value);
    LogStream& operator<<(unsigned short value);
    LogStream& operator<<(int value);
    LogStream& operator<<(unsigned int value);
    LogStream& operator<<(long value);
    LogStream& operator<<(unsigned long value);
    LogStream& operator<<(long long value);
    LogStream& operator<<(unsigned long long value);
    LogStream& operator<<(float value);
    LogStream& operator<<(double value);
    template <typename Unsigned>
    LogStream& operator<<(LogHex<Unsigned> value) {
        AppendUnsigned(value.value, sizeof(Unsigned), LogArgument::Type::kHex);
        return *this;
    }

  private:
    friend class Logger;
    LogStream(const Logger* logger, LogLevel level, const SourceLocation& location) noexcept;

    LogArgument* NextArgument() noexcept;
    void AppendSigned(std::int64_t value, std::uint8_t width) noexcept;
    // kUnsigned or kHex.
    void AppendUnsigned(std::uint64_t value, std::uint8_t width,
                        LogArgument::Type type = LogArgument::Type::kUnsigned) noexcept;
    void AppendText(std::string_view text) noexcept;

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
