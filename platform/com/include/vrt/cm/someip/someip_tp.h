#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <vector>

#include "vrt/cm/someip/someip_message.h"

// SOME/IP-TP: cutting a payload that is larger than one datagram may carry into segments, and putting the
// segments of a message back together on the receiving side, within fixed limits. No sockets here.
namespace vrt::cm::someip {

// The payload bytes one segment carries for a configured limit: the largest multiple of 16 not above it.
std::size_t SegmentPayloadSize(std::size_t limit) noexcept;

// Why a datagram, a message or a segment was dropped on the receiving side.
enum class DropReason : std::uint8_t {
    kTruncated,       // shorter than a header, or a TP segment without its TP header
    kWrongLength,     // the length field disagrees with the datagram
    kWrongProtocol,   // protocol version other than 1, or not a notification
    kUnknownService,  // service or instance this receiver does not consume
    kUnknownMethod,   // event id this receiver does not consume
    kTpBadOffset,     // offset not aligned, past the largest message, or a middle segment not of 16n bytes
    kTpOverlap,       // a segment overlaps one already received with other bounds
    kTpTooLarge,      // the message would exceed the largest message
    kTpTimedOut,      // a message whose segments stopped arriving
    kTpEvicted,       // a partial message pushed out by a newer one (too many at once)
    kTpDuplicate,     // a segment received twice (ignored, not an error of the sender)
    kQueueFull,       // a complete message the consumer had no room for (oldest dropped)
    kForeignSender,   // a datagram from anywhere but the event endpoint of the offer subscribed to
    kForeignOffer,    // an offer from a host the deployment does not name as a provider
    kCount,
};

const char* ToString(DropReason reason) noexcept;

struct ReassemblyLimits {
    std::size_t maxMessageSize{4U * 1024U * 1024U};
    std::size_t maxMessages{8U};  // messages in reassembly at once
    std::chrono::milliseconds timeout{1000};
};

// Reassembles TP messages. Memory is bounded by maxMessages × maxMessageSize; a message's buffer grows only
// as far as its segments reach. Not thread-safe.
class TpReassembler {
  public:
    using Clock = std::chrono::steady_clock;

    // Who sent a segment and which message it belongs to.
    struct Key {
        std::uint32_t sourceAddress{0};
        std::uint16_t sourcePort{0};
        std::uint32_t messageId{0};  // service id << 16 | method id
        std::uint16_t clientId{0};
        std::uint16_t sessionId{0};
        bool operator==(const Key& other) const noexcept {
            return sourceAddress == other.sourceAddress && sourcePort == other.sourcePort &&
                   messageId == other.messageId && clientId == other.clientId && sessionId == other.sessionId;
        }
    };

    enum class Outcome : std::uint8_t { kIncomplete, kComplete, kDropped };

    struct Result {
        Outcome outcome{Outcome::kIncomplete};
        DropReason reason{DropReason::kCount};  // for kDropped, and for a duplicate with kIncomplete
        bool alsoDroppedOther{false};           // the segment evicted another partial message (kTpEvicted)
    };

    explicit TpReassembler(ReassemblyLimits limits) : limits_(limits) {}

    // Adds one segment's payload. On kComplete, TakeMessage() hands out the whole payload.
    Result Add(const Key& key, const TpHeader& tp, const std::uint8_t* data, std::size_t size,
               Clock::time_point now);
    // The payload completed by the last Add. The caller may hand back a used buffer to be reused.
    std::vector<std::uint8_t> TakeMessage() { return std::move(completed_); }

    // Drops messages whose last segment is older than the time-out; returns how many.
    std::size_t Expire(Clock::time_point now);
    std::size_t InProgress() const noexcept { return messages_.size(); }
    std::size_t BufferedBytes() const noexcept;

  private:
    struct Range {
        std::size_t begin;
        std::size_t end;
    };
    struct Partial {
        Key key;
        std::vector<std::uint8_t> buffer;
        std::vector<Range> ranges;  // sorted, disjoint
        std::size_t total{0};       // known once the last segment arrived
        bool lastSeen{false};
        Clock::time_point touched;
    };
    static constexpr std::size_t kMaxRanges = 4096;

    ReassemblyLimits limits_;
    std::list<Partial> messages_;  // most recently started last
    std::vector<std::uint8_t> completed_;
};

}  // namespace vrt::cm::someip
