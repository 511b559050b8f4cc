#pragma once

// Plain UDP sockets for the SOME/IP tests that play a peer (or an attacker) by hand.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <vector>

#include "someip_message.h"
#include "someip_sd.h"
#include "vcu/os/unique_fd.h"

namespace vrt::cm::test {

using someip::Endpoint;

inline sockaddr_in ToSockaddr(const Endpoint& endpoint) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(endpoint.address);
    address.sin_port = htons(endpoint.port);
    return address;
}

// A non-blocking UDP socket bound to `local`.
inline vcu::os::UniqueFd BoundSocket(const Endpoint& local) {
    vcu::os::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const sockaddr_in address = ToSockaddr(local);
    if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return vcu::os::UniqueFd();
    }
    return fd;
}

inline void SendTo(const vcu::os::UniqueFd& fd, const Endpoint& to, const std::vector<std::uint8_t>& bytes) {
    const sockaddr_in address = ToSockaddr(to);
    (void)::sendto(fd.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&address),
                   sizeof(address));
}

// Reads what waits; calls `each(bytes, size)` per datagram and returns how many there were.
template <typename Each>
inline int Drain(const vcu::os::UniqueFd& fd, Each&& each) {
    int count = 0;
    std::uint8_t buffer[65536];
    for (ssize_t size = 0; (size = ::recv(fd.get(), buffer, sizeof(buffer), 0)) >= 0; ++count) {
        each(buffer, static_cast<std::size_t>(size));
    }
    return count;
}

}  // namespace vrt::cm::test
