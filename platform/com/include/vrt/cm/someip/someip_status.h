#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// What a SOME/IP event receiver reports about itself: where its subscription stands and what it dropped.
namespace vrt::cm::someip {

// Where a receiver's subscription stands in service discovery.
enum class SubscriptionState : std::uint8_t {
    kStopped,
    kSearching,    // no valid offer: FindService to the server's SD endpoint, cyclically
    kSubscribing,  // offered, subscription sent, no answer yet
    kSubscribed,   // acknowledged and not expired
    kRefused,      // the server answered with a Nack; retried at its next offer
    kConnecting,   // offered over TCP (a reliable subscription): waiting for the connection to subscribe
};

// Why a datagram, a message or a segment was dropped on the receiving side, and what else the receiver
// counts beside its drops.
enum class DropReason : std::uint8_t {
    kTruncated,         // shorter than a header, or a TP segment without its TP header
    kWrongLength,       // the length field disagrees with the datagram
    kWrongProtocol,     // protocol version other than 1, or not a notification
    kUnknownService,    // service or instance this receiver does not consume
    kUnknownMethod,     // event id this receiver does not consume
    kTpBadOffset,       // offset not aligned, past the largest message, or a middle segment not of 16n bytes
    kTpOverlap,         // a segment overlaps one already received with other bounds
    kTpTooLarge,        // the message would exceed the largest message
    kTpTimedOut,        // a message whose segments stopped arriving
    kTpEvicted,         // a partial message pushed out by a newer one of the same sender (its limits reached)
    kTpDuplicate,       // a segment received twice (ignored, not an error of the sender)
    kQueueFull,         // a complete message the consumer had no room for (oldest dropped)
    kTpRefused,         // a sender without room (its message dropped) while the others fill the limits
    kLateSample,        // a notification older than one already delivered (its loss was counted then)
    kDuplicateSample,   // a notification whose session id already arrived
    kPublisherRestart,  // not a drop: the sender's session ids started over (it was restarted)
    kForeignSender,     // a datagram from anywhere but the event endpoint of the offer subscribed to
    kForeignOffer,      // an offer from a host the deployment does not name as a provider
    kCount,
};

const char* ToString(DropReason reason) noexcept;

// Drop counts by reason, and the publisher restarts seen; written by the receiving thread, readable from any
// thread.
class DropCounters {
  public:
    void Count(DropReason reason) noexcept {
        counts_[static_cast<std::size_t>(reason)].fetch_add(1U, std::memory_order_relaxed);
    }
    std::uint64_t Of(DropReason reason) const noexcept {
        return counts_[static_cast<std::size_t>(reason)].load(std::memory_order_relaxed);
    }
    // Every count except repeated TP segments, which cost nothing (a restart included, so that it is logged).
    std::uint64_t Total() const noexcept;
    // "truncated=1 tpOverlap=2" for the reasons counted so far.
    std::string Describe() const;

  private:
    std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(DropReason::kCount)> counts_{};
};

}  // namespace vrt::cm::someip
