#include "someip_sd.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <tuple>

#include "someip_message.h"

namespace vrt::cm::someip {

namespace {

constexpr std::size_t kEntrySize = 16;
constexpr std::uint8_t kIpv4EndpointOption = 0x04;
constexpr std::uint8_t kIpv4MulticastOption = 0x14;
constexpr std::uint16_t kIpv4OptionLength = 9;  // after the length and type fields
constexpr std::uint8_t kRebootFlag = 0x80;
constexpr std::uint8_t kUnicastFlag = 0x40;

}  // namespace

std::vector<std::uint8_t> EncodeSd(const SdMessage& message, std::uint16_t sessionId) {
    // One option per distinct endpoint, shared by the entries that name it. An entry's UDP option is its
    // first run, its TCP option its second.
    using Option = std::tuple<Endpoint, bool, std::uint8_t>;
    std::vector<Option> options;
    const auto indexOf = [&options](const Option& option) {
        auto found = std::find(options.begin(), options.end(), option);
        if (found == options.end()) {
            options.push_back(option);
            found = std::prev(options.end());
        }
        return static_cast<int>(found - options.begin());
    };
    std::vector<std::pair<int, int>> optionsOf;
    for (const SdEntry& entry : message.entries) {
        const int udp = entry.endpoint ? indexOf(Option{*entry.endpoint, entry.multicast, kProtocolUdp}) : -1;
        const int tcp = entry.tcpEndpoint ? indexOf(Option{*entry.tcpEndpoint, false, kProtocolTcp}) : -1;
        optionsOf.emplace_back(udp, tcp);
    }
    const std::size_t entriesBytes = message.entries.size() * kEntrySize;
    const std::size_t optionsBytes = options.size() * (3U + kIpv4OptionLength);
    const std::size_t payload = 4U + 4U + entriesBytes + 4U + optionsBytes;
    std::vector<std::uint8_t> out(kHeaderSize + payload, 0);
    Header header;
    header.serviceId = kSdServiceId;
    header.methodId = kSdMethodId;
    header.length = static_cast<std::uint32_t>(kLengthCoveredHeader + payload);
    header.sessionId = sessionId;
    EncodeHeader(header, out.data());
    std::uint8_t* p = out.data() + kHeaderSize;
    p[0] = static_cast<std::uint8_t>((message.reboot ? kRebootFlag : 0U) |
                                     (message.unicast ? kUnicastFlag : 0U));
    Store32(p + 4, static_cast<std::uint32_t>(entriesBytes));
    p += 8;
    for (std::size_t i = 0; i < message.entries.size(); ++i, p += kEntrySize) {
        const SdEntry& entry = message.entries[i];
        const auto [udp, tcp] = optionsOf[i];
        p[0] = static_cast<std::uint8_t>(entry.type);
        p[1] = udp < 0 ? 0 : static_cast<std::uint8_t>(udp);
        p[2] = tcp < 0 ? 0 : static_cast<std::uint8_t>(tcp);
        p[3] = static_cast<std::uint8_t>((udp < 0 ? 0U : 0x10U) | (tcp < 0 ? 0U : 0x01U));
        Store16(p + 4, entry.serviceId);
        Store16(p + 6, entry.instanceId);
        Store32(p + 8, static_cast<std::uint32_t>(entry.majorVersion) << 24U | (entry.ttl & kMaxTtl));
        if (entry.IsServiceEntry()) {
            Store32(p + 12, entry.minorVersion);
        } else {
            p[12] = 0;
            p[13] = static_cast<std::uint8_t>(entry.counter & 0x0FU);
            Store16(p + 14, entry.eventgroupId);
        }
    }
    Store32(p, static_cast<std::uint32_t>(optionsBytes));
    p += 4;
    for (const auto& [endpoint, multicast, protocol] : options) {
        Store16(p, kIpv4OptionLength);
        p[2] = multicast ? kIpv4MulticastOption : kIpv4EndpointOption;
        p[3] = 0;
        Store32(p + 4, endpoint.address);
        p[8] = 0;
        p[9] = protocol;
        Store16(p + 10, endpoint.port);
        p += 3U + kIpv4OptionLength;
    }
    return out;
}

DecodedSd DecodeSd(const std::uint8_t* data, std::size_t size) {
    DecodedSd decoded;
    const DecodedHeader header = DecodeHeader(data, size);
    if (!header.header) {
        decoded.error = SdError::kTruncated;
        return decoded;
    }
    if (header.header->serviceId != kSdServiceId || header.header->methodId != kSdMethodId ||
        header.header->BaseType() != MessageType::kNotification || header.header->IsTp()) {
        decoded.error = SdError::kNotSd;
        return decoded;
    }
    const std::uint8_t* p = data + kHeaderSize;
    const std::size_t body = header.header->BodySize();
    if (body < 12U) {
        decoded.error = SdError::kTruncated;
        return decoded;
    }
    SdMessage message;
    message.reboot = (p[0] & kRebootFlag) != 0;
    message.unicast = (p[0] & kUnicastFlag) != 0;
    const std::size_t entriesBytes = Load32(p + 4);
    if (entriesBytes % kEntrySize != 0 || entriesBytes > body - 12U) {
        decoded.error = SdError::kTruncated;
        return decoded;
    }
    const std::uint8_t* entries = p + 8;
    const std::uint8_t* optionsField = entries + entriesBytes;
    const std::size_t optionsBytes = Load32(optionsField);
    if (optionsBytes > body - 12U - entriesBytes) {
        decoded.error = SdError::kTruncated;
        return decoded;
    }
    // The options array: remember where each option starts.
    struct Option {
        std::uint8_t type;
        std::optional<Endpoint> endpoint;
        std::uint8_t protocol;
    };
    std::vector<Option> options;
    for (std::size_t at = 0; at < optionsBytes;) {
        if (optionsBytes - at < 3U) {
            decoded.error = SdError::kTruncated;
            return decoded;
        }
        const std::uint8_t* o = optionsField + 4 + at;
        const std::size_t length = Load16(o);
        if (length > optionsBytes - at - 3U) {
            decoded.error = SdError::kTruncated;
            return decoded;
        }
        Option option{o[2], std::nullopt, 0};
        if ((option.type == kIpv4EndpointOption || option.type == kIpv4MulticastOption) &&
            length == kIpv4OptionLength) {
            option.endpoint = Endpoint{Load32(o + 4), Load16(o + 10)};
            option.protocol = o[9];
        }
        options.push_back(option);
        at += 3U + length;
    }
    for (std::size_t i = 0; i < entriesBytes / kEntrySize; ++i) {
        const std::uint8_t* e = entries + i * kEntrySize;
        const std::uint8_t type = e[0];
        if (type != 0x00 && type != 0x01 && type != 0x06 && type != 0x07) {
            decoded.error = SdError::kBadEntry;
            return decoded;
        }
        SdEntry entry;
        entry.type = static_cast<EntryType>(type);
        entry.serviceId = Load16(e + 4);
        entry.instanceId = Load16(e + 6);
        entry.majorVersion = e[8];
        entry.ttl = Load32(e + 8) & kMaxTtl;
        if (entry.IsServiceEntry()) {
            entry.minorVersion = Load32(e + 12);
        } else {
            entry.counter = static_cast<std::uint8_t>(e[13] & 0x0FU);
            entry.eventgroupId = Load16(e + 14);
        }
        // Both option runs: the first UDP (or multicast) and the first TCP endpoint option found are the
        // entry's; endpoints of other protocols are not for this binding.
        const std::size_t runs[2][2] = {{e[1], static_cast<std::size_t>(e[3] >> 4U)},
                                        {e[2], static_cast<std::size_t>(e[3] & 0x0FU)}};
        for (const auto& run : runs) {
            if (run[0] + run[1] > options.size()) {
                decoded.error = SdError::kBadOption;
                return decoded;
            }
            for (std::size_t k = run[0]; k < run[0] + run[1]; ++k) {
                if (!options[k].endpoint) {
                    continue;
                }
                if (options[k].protocol == kProtocolTcp && options[k].type == kIpv4EndpointOption) {
                    if (!entry.tcpEndpoint) {
                        entry.tcpEndpoint = options[k].endpoint;
                    }
                } else if (options[k].protocol == kProtocolUdp && !entry.endpoint) {
                    entry.endpoint = options[k].endpoint;
                    entry.multicast = options[k].type == kIpv4MulticastOption;
                }
            }
        }
        message.entries.push_back(entry);
    }
    decoded.message = std::move(message);
    return decoded;
}

}  // namespace vrt::cm::someip
