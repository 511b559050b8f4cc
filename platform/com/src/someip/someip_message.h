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

// Turns the 16-bit session ids of one sender into a running sequence and sorts each message: the next one
// (after the ids skipped, which were lost), a late one (a newer one went out before it), a repeated one, or
// the first of a sender that started over. A late or repeated message is not to be delivered: its successor
// already was, and a late one's loss was counted when that successor arrived. Not thread-safe.
class SessionTracker {
  public:
    // How far behind the newest id a message may arrive and still count as late rather than as a restart.
    static constexpr std::uint32_t kReorderWindow = 32;

    enum class Order : std::uint8_t { kNext, kLate, kDuplicate, kRestart };
    struct Step {
        Order order{Order::kNext};
        std::uint64_t lost{0};  // ids skipped before this one
        bool Deliver() const noexcept { return order == Order::kNext || order == Order::kRestart; }
    };

    // Session 1 after any id but 0xFFFF, or an id more than kReorderWindow behind the newest, is a restart
    // (unless it fills a gap left within the window). Id 0 means "no session handling": always the next.
    Step Advance(std::uint16_t session) noexcept;
    // The sequence of the newest message to deliver: 0 for the first, then advanced by the distance between
    // ids (so that a gap shows), and back to 0 at a restart, as a restarted publisher's own numbering does.
    std::uint64_t Sequence() const noexcept { return sequence_; }

  private:
    void StartOver(std::uint16_t session) noexcept;

    bool started_{false};
    bool numbered_{false};  // newest_ is a session id (not 0)
    std::uint16_t newest_{0};
    std::uint64_t arrived_{0};  // bit k: the id k places before newest_ arrived
    std::uint64_t span_{0};     // places since the numbering began; older ones are unknown
    std::uint64_t sequence_{0};
};

std::uint16_t Load16(const std::uint8_t* data) noexcept;
std::uint32_t Load32(const std::uint8_t* data) noexcept;
void Store16(std::uint8_t* out, std::uint16_t value) noexcept;
void Store32(std::uint8_t* out, std::uint32_t value) noexcept;

}  // namespace vrt::cm::someip
