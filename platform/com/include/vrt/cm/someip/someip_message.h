#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

// The SOME/IP message header and the SOME/IP-TP segment header: encoding and checked decoding, without any
// socket. All multi-byte fields are big-endian on the wire.
namespace vrt::cm::someip {

inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::size_t kTpHeaderSize = 4;
// The part of the header that the length field counts: client id, session id, versions, type, return code.
inline constexpr std::uint32_t kLengthCoveredHeader = 8;
inline constexpr std::uint8_t kProtocolVersion = 1;
inline constexpr std::uint16_t kEventBit = 0x8000;

enum class MessageType : std::uint8_t {
    kRequest = 0x00,
    kRequestNoReturn = 0x01,
    kNotification = 0x02,
    kResponse = 0x80,
    kError = 0x81,
};
inline constexpr std::uint8_t kTpFlag = 0x20;

struct Header {
    std::uint16_t serviceId{0};
    std::uint16_t methodId{0};
    std::uint32_t length{kLengthCoveredHeader};  // bytes after the length field
    std::uint16_t clientId{0};
    std::uint16_t sessionId{0};
    std::uint8_t protocolVersion{kProtocolVersion};
    std::uint8_t interfaceVersion{1};
    std::uint8_t messageType{static_cast<std::uint8_t>(MessageType::kNotification)};
    std::uint8_t returnCode{0};

    bool IsTp() const noexcept { return (messageType & kTpFlag) != 0; }
    MessageType BaseType() const noexcept { return static_cast<MessageType>(messageType & ~kTpFlag); }
    // Bytes of the message after the 16-byte header (a TP segment's includes its TP header).
    std::size_t BodySize() const noexcept { return length - kLengthCoveredHeader; }
};

void EncodeHeader(const Header& header, std::uint8_t* out) noexcept;

enum class HeaderError : std::uint8_t {
    kTruncated,    // fewer than 16 bytes
    kWrongLength,  // the length field is below 8 or runs past the datagram
    kWrongProtocolVersion,
};

struct DecodedHeader {
    std::optional<Header> header;
    HeaderError error{HeaderError::kTruncated};
};

// Reads the header at the start of `data`. The message it describes must fit in `size`.
DecodedHeader DecodeHeader(const std::uint8_t* data, std::size_t size) noexcept;

// The TP header: the segment's offset (a multiple of 16) and whether more segments follow.
struct TpHeader {
    std::uint32_t offset{0};
    bool moreSegments{false};
};

void EncodeTpHeader(const TpHeader& header, std::uint8_t* out) noexcept;
TpHeader DecodeTpHeader(const std::uint8_t* data) noexcept;

// Session ids of one sender and message id: 1, 2, ... 0xFFFF, then 1 again (0 means "no session handling"
// and is never sent). Not thread-safe.
class SessionCounter {
  public:
    std::uint16_t Next() noexcept {
        const std::uint16_t session = next_;
        next_ = next_ == 0xFFFFU ? 1U : static_cast<std::uint16_t>(next_ + 1U);
        return session;
    }
    std::uint16_t Peek() const noexcept { return next_; }

  private:
    std::uint16_t next_{1};
};

// Turns the 16-bit session ids of one sender into a running count, so that gaps can be counted: the
// distance from the previous id, skipping 0 across the wrap.
class SessionTracker {
  public:
    // The number of messages lost between the previous id and `session` (0 for the first).
    std::uint64_t Advance(std::uint16_t session) noexcept;
    std::uint64_t Sequence() const noexcept { return sequence_; }

  private:
    std::optional<std::uint16_t> last_;
    std::uint64_t sequence_{0};
};

std::uint16_t Load16(const std::uint8_t* data) noexcept;
std::uint32_t Load32(const std::uint8_t* data) noexcept;
void Store16(std::uint8_t* out, std::uint16_t value) noexcept;
void Store32(std::uint8_t* out, std::uint32_t value) noexcept;

}  // namespace vrt::cm::someip
