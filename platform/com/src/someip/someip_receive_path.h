#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "someip_message.h"
#include "someip_tp.h"
#include "vrt/cm/someip/someip_status.h"

namespace vrt::cm::someip {

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
