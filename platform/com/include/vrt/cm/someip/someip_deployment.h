#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vrt/cm/someip/someip_endpoint.h"

namespace vrt::cm::someip {

// The SD multicast group offers go to unless a deployment says otherwise.
inline constexpr std::uint32_t kDefaultSdMulticast = 0xE0E0E0F5;  // 224.224.224.245

// The network side of one event's SOMEIP transport, from the "network" object of its deployment (keys and
// defaults in platform/com/README.md). Addresses are host-order IPv4. The defaults work on loopback.
struct NetworkDeployment {
    std::uint16_t eventId{0};  // without the event bit; the wire carries eventId | 0x8000
    std::uint16_t eventgroupId{1};
    std::uint16_t instanceId{1};       // the event's instanceId as a number
    std::uint8_t interfaceVersion{1};  // in every message header; also the service's major version
    std::uint32_t minorVersion{0};
    std::uint32_t address{0x7F000001};  // the provider's unicast address (its event and SD sockets)
    std::uint16_t port{30501};          // the provider's event port
    std::uint16_t sdPort{30490};        // the provider's SD port
    // Cyclic offers also go to this group at sdPort, and subscribers listen there; unset: offers go only
    // to the peers that searched or subscribed.
    std::optional<std::uint32_t> sdMulticast{kDefaultSdMulticast};
    std::uint32_t clientAddress{0x7F000001};  // the subscriber's unicast address
    std::uint16_t clientPort{0};              // the subscriber's event port; 0 picks a free one
    std::uint32_t offerIntervalMs{1000};
    std::uint32_t offerTtl{3};          // seconds
    std::uint32_t subscribeTtl{3};      // seconds
    std::uint32_t tpSegmentSize{1400};  // payloads above this many bytes are sent as SOME/IP-TP segments
    std::uint32_t maxMessageSize{4U * 1024U * 1024U};  // largest reassembled payload
    std::uint32_t reassemblyTimeoutMs{1000};
    std::uint32_t maxReassemblies{8};  // messages in reassembly at once

    // Whom the provider serves. Senders of FindService and SubscribeEventgroup (empty: any address); the
    // addresses a subscription may name as its event endpoint besides its sender's own (empty: none).
    std::vector<Ipv4Range> allowedSubscribers;
    std::vector<Ipv4Range> subscriberEndpoints;
    std::uint32_t maxSubscribers{16};   // per eventgroup; more are refused
    std::uint32_t maxSubscribeTtl{30};  // seconds; a longer subscription is granted this long
    // Whom a subscriber takes offers from besides the provider at `address` (empty: nobody else).
    std::vector<Ipv4Range> allowedProviders;

    // Reliable delivery for lossy links: the provider also offers the instance over TCP at `tcpPort` (0: UDP
    // only), and a subscriber with `reliable` subscribes over TCP. A TCP subscriber that falls more than
    // `tcpBacklogBytes` behind loses its connection, so that it never holds up the sender.
    std::uint16_t tcpPort{0};
    std::uint32_t tcpBacklogBytes{8U * 1024U * 1024U};
    bool reliable{false};

    // The settings every event of one offered service instance must share (one socket, one SD state).
    bool SameServiceEndpoint(const NetworkDeployment& other) const noexcept {
        return instanceId == other.instanceId && interfaceVersion == other.interfaceVersion &&
               minorVersion == other.minorVersion && address == other.address && port == other.port &&
               sdPort == other.sdPort && sdMulticast == other.sdMulticast &&
               offerIntervalMs == other.offerIntervalMs && offerTtl == other.offerTtl &&
               allowedSubscribers == other.allowedSubscribers &&
               subscriberEndpoints == other.subscriberEndpoints && maxSubscribers == other.maxSubscribers &&
               maxSubscribeTtl == other.maxSubscribeTtl && tcpPort == other.tcpPort &&
               tcpBacklogBytes == other.tcpBacklogBytes;
    }
};

}  // namespace vrt::cm::someip
