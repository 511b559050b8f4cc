#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vrt/cm/someip/someip_endpoint.h"

// SOME/IP service discovery messages: the entries and the IPv4 endpoint option this binding uses, encoded
// into and checked out of a complete SOME/IP message. No sockets here.
namespace vrt::cm::someip {

inline constexpr std::uint16_t kSdServiceId = 0xFFFF;
inline constexpr std::uint16_t kSdMethodId = 0x8100;
inline constexpr std::uint16_t kDefaultSdPort = 30490;
inline constexpr std::uint16_t kAnyInstance = 0xFFFF;

enum class EntryType : std::uint8_t {
    kFindService = 0x00,
    kOfferService = 0x01,            // TTL 0: StopOfferService
    kSubscribeEventgroup = 0x06,     // TTL 0: StopSubscribeEventgroup
    kSubscribeEventgroupAck = 0x07,  // TTL 0: SubscribeEventgroupNack
};

inline constexpr std::uint32_t kMaxTtl = 0xFFFFFF;
inline constexpr std::uint8_t kAnyMajorVersion = 0xFF;
inline constexpr std::uint32_t kAnyMinorVersion = 0xFFFFFFFF;
inline constexpr std::uint8_t kProtocolUdp = 0x11;
inline constexpr std::uint8_t kProtocolTcp = 0x06;

struct SdEntry {
    EntryType type{EntryType::kOfferService};
    std::uint16_t serviceId{0};
    std::uint16_t instanceId{0};
    std::uint8_t majorVersion{1};
    std::uint32_t ttl{0};                 // seconds, 24 bits
    std::uint32_t minorVersion{0};        // service entries
    std::uint16_t eventgroupId{0};        // eventgroup entries
    std::uint8_t counter{0};              // eventgroup entries, 4 bits
    std::optional<Endpoint> endpoint;     // the IPv4 UDP endpoint (or multicast) option of the entry
    bool multicast{false};                // the endpoint is an IPv4 multicast option
    std::optional<Endpoint> tcpEndpoint;  // the IPv4 TCP endpoint option of the entry

    bool IsServiceEntry() const noexcept { return static_cast<std::uint8_t>(type) < 0x04; }
};

struct SdMessage {
    bool reboot{true};
    bool unicast{true};
    std::vector<SdEntry> entries;
};

// A whole SOME/IP message (header and SD payload) with the given session id.
std::vector<std::uint8_t> EncodeSd(const SdMessage& message, std::uint16_t sessionId);

enum class SdError : std::uint8_t {
    kNone,
    kNotSd,      // another message id, or not a notification
    kTruncated,  // the arrays run past the message
    kBadEntry,   // unknown entry type
    kBadOption,  // an option a referenced entry cannot use, or a reference past the options array
};

struct DecodedSd {
    std::optional<SdMessage> message;
    SdError error{SdError::kNone};
};

// Reads one SD message from a datagram of `size` bytes. Options of unknown types are skipped; entries of
// unknown types fail the message.
DecodedSd DecodeSd(const std::uint8_t* data, std::size_t size);

}  // namespace vrt::cm::someip
