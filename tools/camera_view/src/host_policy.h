#pragma once

// Whom camera_view answers. A request's Host header must name this server (a loopback name, the address it
// listens on, or a name it was told to allow), so that a foreign site cannot reach it by DNS rebinding; a
// viewer's WebSocket upgrade from a browser must come from this server's own page (its Origin), so that no
// other site open in the user's browser reads the cameras. Immutable after construction: any thread may ask.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace camera_view {

// A host name or IP address as it appears in a Host header: a DNS name in lower case, an IPv4 address in
// dotted decimal, an IPv6 address in brackets in its canonical form. nullopt when `text` is none of these.
std::optional<std::string> NormalizeHostName(std::string_view text);

// A web origin as a browser sends it in an Origin header: "http://" or "https://", a host name or IP address
// (see NormalizeHostName) and an optional port, nothing after it. Lower case, the scheme's default port (80,
// 443) left out. nullopt for anything else ("null", "file://", a path).
std::optional<std::string> NormalizeOrigin(std::string_view text);

class HostPolicy {
  public:
    // The loopback names (localhost, 127.0.0.1, [::1]), `listenAddress` unless it is a wildcard (0.0.0.0,
    // ::), and `allowedNames` (normalized, see NormalizeHostName), on `port`.
    HostPolicy(const std::string& listenAddress, const std::vector<std::string>& allowedNames,
               std::uint16_t port);

    // A Host header: one of the names, alone or followed by ":" and the server's port.
    bool HostAllowed(std::string_view host) const;
    // An Origin header: "http://" + one of the names + ":" + the server's port (no port when it is 80).
    bool OriginAllowed(std::string_view origin) const;

    const std::vector<std::string>& Names() const noexcept { return names_; }

  private:
    // `authority` is NAME or NAME:PORT; `portRequired` refuses a NAME without the port.
    bool AuthorityAllowed(std::string_view authority, bool portRequired) const;

    std::vector<std::string> names_;
    std::uint16_t port_;
};

}  // namespace camera_view
