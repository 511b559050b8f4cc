#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "someip_message.h"
#include "vrt/cm/someip/someip_status.h"

// SOME/IP-TP: cutting a payload that is larger than one datagram may carry into segments, and putting the
// segments of a message back together on the receiving side, within fixed limits. No sockets here.
namespace vrt::cm::someip {

// The payload bytes one segment carries for a configured limit: the largest multiple of 16 not above it.
std::size_t SegmentPayloadSize(std::size_t limit) noexcept;

// Limits of reassembly. Those given as 0 take the default named with them.
struct ReassemblyLimits {
    std::size_t maxMessageSize{4U * 1024U * 1024U};
    std::size_t maxMessages{8U};  // messages in reassembly at once, all senders together
    std::chrono::milliseconds timeout{1000};
    std::size_t maxMessagesPerSender{0};  // default: half of maxMessages, at least 1
    std::size_t maxBytesPerSender{0};     // default: twice maxMessageSize (at most maxBufferedBytes)
    std::size_t maxBufferedBytes{0};      // default: maxMessages × maxMessageSize
};

// Reassembles TP messages. A message holds only the bytes that arrived: the part received in order from
// offset 0 in one buffer (which becomes the message), each run received past a gap in a buffer of its own
// until the gap is filled. The bytes held (received bytes plus a fixed cost per run past a gap) are limited
// per sender (address and port) and in total, and so is the number of messages per sender and in total. A
// sender at its limits gives up its own oldest partial message for a new one; a sender without any partial
// message is refused while the others fill the total, so that nobody can push out another sender's message.
// The buffers of finished messages are reused. Not thread-safe.
class TpReassembler {
  public:
    using Clock = std::chrono::steady_clock;

    // The bytes charged for each run of segments received past a gap: its buffer's and its index's
    // bookkeeping.
    static constexpr std::size_t kRunCost = 96;

    // Who sent a segment and which message it belongs to.
    struct Key {
        std::uint32_t sourceAddress{0};
        std::uint16_t sourcePort{0};
        std::uint32_t messageId{0};  // service id << 16 | method id
        std::uint16_t clientId{0};
        std::uint16_t sessionId{0};
        bool SameSender(const Key& other) const noexcept {
            return sourceAddress == other.sourceAddress && sourcePort == other.sourcePort;
        }
        bool operator==(const Key& other) const noexcept {
            return SameSender(other) && messageId == other.messageId && clientId == other.clientId &&
                   sessionId == other.sessionId;
        }
    };

    enum class Outcome : std::uint8_t { kIncomplete, kComplete, kDropped };

    struct Result {
        Outcome outcome{Outcome::kIncomplete};
        DropReason reason{DropReason::kCount};  // for kDropped, and for a duplicate with kIncomplete
        std::size_t evicted{0};  // other partial messages of the sender pushed out (kTpEvicted)
    };

    explicit TpReassembler(ReassemblyLimits limits);

    // Adds one segment's payload. On kComplete, TakeMessage() hands out the whole payload.
    Result Add(const Key& key, const TpHeader& tp, const std::uint8_t* data, std::size_t size,
               Clock::time_point now);
    // The payload completed by the last Add. Hand the buffer back with Recycle once it is used.
    std::vector<std::uint8_t> TakeMessage() { return std::move(completed_); }
    void Recycle(std::vector<std::uint8_t>&& buffer);

    // Drops messages whose last segment is older than the time-out; returns how many.
    std::size_t Expire(Clock::time_point now);
    std::size_t InProgress() const noexcept { return messages_.size(); }
    // The bytes charged to the messages in reassembly (what the limits apply to).
    std::size_t BufferedBytes() const noexcept { return buffered_; }
    std::size_t BufferedBytesOf(std::uint32_t sourceAddress, std::uint16_t sourcePort) const noexcept;
    std::size_t MessagesOf(std::uint32_t sourceAddress, std::uint16_t sourcePort) const noexcept;
    // The heap memory held: the buffers' capacities, the reusable ones included.
    std::size_t HeldBytes() const noexcept;
    // The limits in force, the defaults filled in.
    const ReassemblyLimits& Limits() const noexcept { return limits_; }

  private:
    // Runs received past a gap, by their offset: sorted, disjoint, none touching the prefix.
    using Runs = std::map<std::size_t, std::vector<std::uint8_t>>;
    struct Partial {
        Key key;
        std::vector<std::uint8_t> prefix;  // bytes [0, prefix.size()), in order
        Runs runs;
        std::size_t total{0};  // known once the last segment arrived
        bool lastSeen{false};
        std::size_t charged{0};  // bytes counted against the limits
        Clock::time_point touched;
    };
    enum class Cover : std::uint8_t { kNone, kPart, kAll };
    static constexpr std::size_t kMaxRuns = 4096;
    static constexpr std::size_t kSpareBuffers = 2;

    static Cover Covered(const Partial& partial, std::size_t begin, std::size_t end) noexcept;
    std::size_t Find(const Key& key) const noexcept;
    std::size_t OldestOf(const Key& sender, std::size_t except) const noexcept;
    void Release(std::size_t index);
    void Store(Partial& partial, std::size_t begin, const std::uint8_t* data, std::size_t size);
    void Charge(Partial& partial, std::size_t bytes) noexcept;

    ReassemblyLimits limits_;
    std::vector<Partial> messages_;  // oldest first
    std::size_t buffered_{0};
    std::vector<std::vector<std::uint8_t>> spare_;
    std::vector<std::uint8_t> completed_;
};

}  // namespace vrt::cm::someip
