#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vrt::cm::someip {

// The network side of one event's SOMEIP transport, from the "network" object of its deployment (keys and
// defaults in platform/com/README.md). Addresses are host-order IPv4. The defaults work on loopback.
struct NetworkDeployment {
    std::uint16_t eventId{0};  // without the event bit; the wire carries eventId | 0x8000
    std::uint16_t eventgroupId{1};
    std::uint16_t instanceId{1};       // the event's instanceId as a number
    std::uint8_t interfaceVersion{1};  // in every message header; also the service's major version
    std::uint32_t minorVersion{0};
    std::uint32_t address{0x7F000001};         // the provider's unicast address (its event and SD sockets)
    std::uint16_t port{30501};                 // the provider's event port
    std::uint16_t sdPort{30490};               // the provider's SD port
    std::optional<std::uint32_t> sdMulticast;  // when set, cyclic offers also go to this group at sdPort
    std::uint32_t clientAddress{0x7F000001};   // the subscriber's unicast address
    std::uint16_t clientPort{0};               // the subscriber's event port; 0 picks a free one
    std::uint32_t offerIntervalMs{1000};
    std::uint32_t offerTtl{3};          // seconds
    std::uint32_t subscribeTtl{3};      // seconds
    std::uint32_t tpSegmentSize{1400};  // payloads above this many bytes are sent as SOME/IP-TP segments
    std::uint32_t maxMessageSize{4U * 1024U * 1024U};  // largest reassembled payload
    std::uint32_t reassemblyTimeoutMs{1000};
    std::uint32_t maxReassemblies{8};  // messages in reassembly at once

    // The settings every event of one offered service instance must share (one socket, one SD state).
    bool SameServiceEndpoint(const NetworkDeployment& other) const noexcept {
        return instanceId == other.instanceId && interfaceVersion == other.interfaceVersion &&
               minorVersion == other.minorVersion && address == other.address && port == other.port &&
               sdPort == other.sdPort && sdMulticast == other.sdMulticast &&
               offerIntervalMs == other.offerIntervalMs && offerTtl == other.offerTtl;
    }
};

}  // namespace vrt::cm::someip
