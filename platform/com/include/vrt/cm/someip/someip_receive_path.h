#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "vrt/cm/someip/someip_message.h"
#include "vrt/cm/someip/someip_tp.h"

namespace vrt::cm::someip {

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

// What arrives on a consumer's event socket, checked and reassembled: every datagram is split into its
// SOME/IP messages, each is checked against the one event this path consumes, TP segments are reassembled,
// and complete notifications are handed on. Anything else is dropped and counted. No sockets; not
// thread-safe (one receiving thread).
class ReceivePath {
  public:
    // Called with each complete notification's header and payload; the payload is valid during the call.
    using Deliver = std::function<void(const Header& header, const std::uint8_t* payload, std::size_t size)>;

    ReceivePath(std::uint16_t serviceId, std::uint16_t eventId, ReassemblyLimits limits, Deliver deliver);

    void OnDatagram(const std::uint8_t* data, std::size_t size, std::uint32_t sourceAddress,
                    std::uint16_t sourcePort, TpReassembler::Clock::time_point now);
    // Drops partial messages past the reassembly time-out.
    void Expire(TpReassembler::Clock::time_point now);

    const DropCounters& Drops() const noexcept { return drops_; }
    DropCounters& Drops() noexcept { return drops_; }
    std::size_t PartialMessages() const noexcept { return reassembler_.InProgress(); }
    std::size_t BufferedBytes() const noexcept { return reassembler_.BufferedBytes(); }
    const TpReassembler& Reassembler() const noexcept { return reassembler_; }

  private:
    void OnMessage(const Header& header, const std::uint8_t* body, std::uint32_t sourceAddress,
                   std::uint16_t sourcePort, TpReassembler::Clock::time_point now);

    std::uint16_t serviceId_;
    std::uint16_t eventId_;
    Deliver deliver_;
    TpReassembler reassembler_;
    DropCounters drops_;
};

}  // namespace vrt::cm::someip
