#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "ara/core/result.h"
#include "vcu/os/unique_fd.h"
#include "vrt/cm/someip/someip_endpoint.h"
#include "vrt/cm/transport_error.h"

// The binding's only contact with the socket API: a move-only UDP socket and an epoll set with a wake-up
// descriptor. Every failing call becomes a message naming the call, the endpoint and errno's text.
namespace vrt::cm::someip {

sockaddr_in ToSockaddr(const Endpoint& endpoint) noexcept;
// A failed socket call as an error: the call, what it was about (e.g. "TCP 10.0.0.1:30502") and errno's text.
TransportError SocketFailure(const char* call, const std::string& about);

class UdpSocket {
  public:
    struct Options {
        bool reuseAddress{false};                         // several sockets on one port (SD with multicast)
        std::size_t bufferBytes{0};                       // send and receive buffers; 0 keeps the system's
        std::optional<std::uint32_t> multicastInterface;  // outgoing multicast leaves from this address
    };

    // A non-blocking socket bound to `local` (port 0 picks a free one).
    static TransportResult<UdpSocket> Bind(const Endpoint& local, const Options& options);

    int Descriptor() const noexcept { return fd_.get(); }
    const Endpoint& Local() const noexcept { return local_; }

    // Sends one datagram gathered from `parts`; false when the kernel refused it (errno kept).
    bool SendTo(const Endpoint& to, const iovec* parts, std::size_t count) const noexcept;
    bool SendTo(const Endpoint& to, const std::uint8_t* data, std::size_t size) const noexcept;
    // Sends `count` datagrams, already gathered in `messages`, to `to` in as few calls as the kernel allows;
    // returns how many were sent before the first refusal.
    std::size_t SendBatch(const Endpoint& to, mmsghdr* messages, std::size_t count) const noexcept;
    // Up to `count` waiting datagrams into `messages` (their buffers set by the caller); the number received,
    // 0 when none is waiting. Each message's length is in msg_len, its sender in `from`.
    std::size_t ReceiveBatch(mmsghdr* messages, sockaddr_in* from, std::size_t count) const noexcept;

    TransportResult<void> JoinGroup(std::uint32_t group, std::uint32_t interfaceAddress);

  private:
    vcu::os::UniqueFd fd_;
    Endpoint local_;
};

// An epoll set of readable descriptors plus an eventfd that interrupts a wait. Move-only owner of both.
class Poller {
  public:
    static TransportResult<Poller> Create();

    TransportResult<void> Add(int fd);
    // Waits for `fd` to become writable (a connection being made) instead of readable.
    TransportResult<void> AddWritable(int fd);
    // Waits for `fd` (added) to become readable, and with `writable` also writable. Any thread.
    void Watch(int fd, bool writable) const noexcept;
    void Remove(int fd) noexcept;
    void Wake() const noexcept;
    // Waits up to `timeoutMs` (-1: forever); fills up to `capacity` ready descriptors, wake-ups excluded.
    int Wait(int* ready, int capacity, int timeoutMs) noexcept;

  private:
    TransportResult<void> Add(int fd, std::uint32_t events);

    vcu::os::UniqueFd epoll_;
    vcu::os::UniqueFd wake_;
};

}  // namespace vrt::cm::someip
