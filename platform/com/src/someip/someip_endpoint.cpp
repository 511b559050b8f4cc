#include "vrt/cm/someip/someip_endpoint.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>

namespace vrt::cm::someip {

std::string Ipv4ToString(std::uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof(text), "%u.%u.%u.%u", address >> 24U, (address >> 16U) & 0xFFU,
                  (address >> 8U) & 0xFFU, address & 0xFFU);
    return text;
}

std::string Endpoint::ToString() const {
    return Ipv4ToString(address) + ":" + std::to_string(port);
}

std::optional<std::uint32_t> ParseIpv4(const std::string& text) {
    in_addr parsed{};
    if (::inet_pton(AF_INET, text.c_str(), &parsed) != 1) {
        return std::nullopt;
    }
    return ntohl(parsed.s_addr);
}

std::optional<Ipv4Range> ParseIpv4Range(const std::string& text) {
    const std::size_t slash = text.find('/');
    const auto address = ParseIpv4(text.substr(0, slash));
    if (!address) {
        return std::nullopt;
    }
    Ipv4Range range{*address, 32};
    if (slash != std::string::npos) {
        const std::string prefix = text.substr(slash + 1);
        if (prefix.empty() || prefix.size() > 2 ||
            prefix.find_first_not_of("0123456789") != std::string::npos || std::stoul(prefix) > 32U) {
            return std::nullopt;
        }
        range.prefixLength = static_cast<std::uint8_t>(std::stoul(prefix));
    }
    return range;
}

bool AnyContains(const std::vector<Ipv4Range>& ranges, std::uint32_t address) noexcept {
    return std::any_of(ranges.begin(), ranges.end(),
                       [address](const Ipv4Range& range) { return range.Contains(address); });
}

}  // namespace vrt::cm::someip
