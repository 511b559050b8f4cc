#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// IPv4 endpoints and networks as the SOME/IP binding's deployments and status name them.
namespace vrt::cm::someip {

// An IPv4 address and port, both in host byte order.
struct Endpoint {
    std::uint32_t address{0};
    std::uint16_t port{0};

    bool operator==(const Endpoint& other) const noexcept {
        return address == other.address && port == other.port;
    }
    bool operator!=(const Endpoint& other) const noexcept { return !(*this == other); }
    bool operator<(const Endpoint& other) const noexcept {
        return address != other.address ? address < other.address : port < other.port;
    }
    std::string ToString() const;  // "a.b.c.d:port"
};

// "a.b.c.d" to a host-order address; nullopt when it is not a dotted IPv4 address.
std::optional<std::uint32_t> ParseIpv4(const std::string& text);
std::string Ipv4ToString(std::uint32_t address);

// An IPv4 network, "a.b.c.d/n"; a plain address is a /32.
struct Ipv4Range {
    std::uint32_t network{0};
    std::uint8_t prefixLength{32};

    bool Contains(std::uint32_t address) const noexcept {
        const std::uint32_t mask = prefixLength == 0 ? 0U : ~std::uint32_t{0} << (32U - prefixLength);
        return (address & mask) == (network & mask);
    }
    bool operator==(const Ipv4Range& other) const noexcept {
        return network == other.network && prefixLength == other.prefixLength;
    }
};

// "a.b.c.d/n" or "a.b.c.d"; nullopt when it is neither (or the prefix is over 32).
std::optional<Ipv4Range> ParseIpv4Range(const std::string& text);
bool AnyContains(const std::vector<Ipv4Range>& ranges, std::uint32_t address) noexcept;

}  // namespace vrt::cm::someip
