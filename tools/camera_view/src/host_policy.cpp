#include "host_policy.h"

#include <algorithm>
#include <cctype>

#include <boost/asio/ip/address.hpp>

namespace camera_view {

namespace {

constexpr std::size_t kMaxDnsName = 253;

bool IsDnsName(std::string_view text) {
    if (text.empty() || text.size() > kMaxDnsName || text.front() == '.' || text.front() == '-') {
        return false;
    }
    return std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.';
    });
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

}  // namespace

std::optional<std::string> NormalizeHostName(std::string_view text) {
    std::string_view bare = text;
    const bool bracketed = bare.size() >= 2 && bare.front() == '[' && bare.back() == ']';
    if (bracketed) {
        bare = bare.substr(1, bare.size() - 2);
    }
    if (bare.find('%') != std::string_view::npos) {
        return std::nullopt;  // a zone id names an interface of the browser's machine, not this server
    }
    boost::system::error_code error;
    if (bare.find(':') != std::string_view::npos) {
        const auto v6 = boost::asio::ip::make_address_v6(std::string(bare), error);
        if (error || v6.scope_id() != 0) {
            return std::nullopt;
        }
        return "[" + v6.to_string() + "]";
    }
    if (bracketed) {
        return std::nullopt;  // only IPv6 addresses go in brackets
    }
    const auto v4 = boost::asio::ip::make_address_v4(std::string(bare), error);
    if (!error) {
        return v4.to_string();
    }
    if (!IsDnsName(bare)) {
        return std::nullopt;
    }
    std::string lower(bare);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    return lower;
}

std::optional<std::string> NormalizeOrigin(std::string_view text) {
    const std::size_t separator = text.find("://");
    if (separator == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view scheme = text.substr(0, separator);
    const bool https = EqualsIgnoringCase(scheme, "https");
    if (!https && !EqualsIgnoringCase(scheme, "http")) {
        return std::nullopt;
    }
    const std::string_view authority = text.substr(separator + 3);
    std::string_view name = authority;
    std::string_view port;
    const std::size_t close = authority.find(']');
    const std::size_t colon = authority.find(':', close == std::string_view::npos ? 0 : close);
    if (colon != std::string_view::npos) {
        name = authority.substr(0, colon);
        port = authority.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string_view::npos ||
            std::stoul(std::string(port)) > 65535U || std::stoul(std::string(port)) == 0) {
            return std::nullopt;
        }
    }
    const auto host = NormalizeHostName(name);
    if (!host) {
        return std::nullopt;
    }
    std::string origin = std::string(https ? "https" : "http") + "://" + *host;
    const std::string portText = port.empty() ? std::string() : std::to_string(std::stoul(std::string(port)));
    if (!portText.empty() && portText != (https ? "443" : "80")) {
        origin += ":" + portText;
    }
    return origin;
}

HostPolicy::HostPolicy(const std::string& listenAddress, const std::vector<std::string>& allowedNames,
                       std::uint16_t port)
    : port_(port) {
    std::vector<std::string> candidates = {"localhost", "127.0.0.1", "[::1]"};
    boost::system::error_code error;
    const auto listening = boost::asio::ip::make_address(listenAddress, error);
    if (!error && !listening.is_unspecified()) {
        candidates.push_back(listenAddress);
    }
    candidates.insert(candidates.end(), allowedNames.begin(), allowedNames.end());
    for (const std::string& candidate : candidates) {
        auto name = NormalizeHostName(candidate);
        if (name && std::find(names_.begin(), names_.end(), *name) == names_.end()) {
            names_.push_back(std::move(*name));
        }
    }
}

bool HostPolicy::AuthorityAllowed(std::string_view authority, bool portRequired) const {
    std::string_view name = authority;
    std::string_view port;
    if (!authority.empty() && authority.front() == '[') {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        name = authority.substr(0, close + 1);
        port = authority.substr(close + 1);
    } else if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
        name = authority.substr(0, colon);
        port = authority.substr(colon);
    }
    if (port.empty()) {
        if (portRequired && port_ != 80) {
            return false;
        }
    } else if (port != ":" + std::to_string(port_)) {
        return false;
    }
    const auto normalized = NormalizeHostName(name);
    return normalized && std::find(names_.begin(), names_.end(), *normalized) != names_.end();
}

bool HostPolicy::HostAllowed(std::string_view host) const {
    return AuthorityAllowed(host, false);
}

bool HostPolicy::OriginAllowed(std::string_view origin) const {
    constexpr std::string_view kScheme = "http://";
    if (origin.size() <= kScheme.size() || !EqualsIgnoringCase(origin.substr(0, kScheme.size()), kScheme)) {
        return false;
    }
    return AuthorityAllowed(origin.substr(kScheme.size()), true);
}

}  // namespace camera_view
