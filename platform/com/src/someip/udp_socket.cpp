#include "udp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace vrt::cm::someip {

namespace {

TransportError Failure(const char* call, const Endpoint& endpoint) {
    return SocketFailure(call, endpoint.ToString());
}

}  // namespace

sockaddr_in ToSockaddr(const Endpoint& endpoint) noexcept {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(endpoint.address);
    address.sin_port = htons(endpoint.port);
    return address;
}

TransportError SocketFailure(const char* call, const std::string& about) {
    return TransportError{TransportErrorCode::kSocket,
                          std::string(call) + " on " + about + " failed: " + std::strerror(errno)};
}

TransportResult<UdpSocket> UdpSocket::Bind(const Endpoint& local, const Options& options) {
    using R = TransportResult<UdpSocket>;
    UdpSocket socket;
    socket.fd_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!socket.fd_.valid()) {
        return R::FromError(Failure("socket", local));
    }
    const int on = 1;
    if (options.reuseAddress &&
        (::setsockopt(socket.fd_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
         ::setsockopt(socket.fd_.get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on)) != 0)) {
        return R::FromError(Failure("setsockopt(SO_REUSEADDR)", local));
    }
    if (options.bufferBytes != 0) {
        const int bytes = static_cast<int>(options.bufferBytes);
        // The forcing variants pass the system's ceiling when we may; otherwise take what is allowed.
        for (const auto& [force, plain] :
             {std::pair{SO_RCVBUFFORCE, SO_RCVBUF}, std::pair{SO_SNDBUFFORCE, SO_SNDBUF}}) {
            if (::setsockopt(socket.fd_.get(), SOL_SOCKET, force, &bytes, sizeof(bytes)) != 0) {
                (void)::setsockopt(socket.fd_.get(), SOL_SOCKET, plain, &bytes, sizeof(bytes));
            }
        }
    }
    if (options.multicastInterface) {
        in_addr interfaceAddress{};
        interfaceAddress.s_addr = htonl(*options.multicastInterface);
        const unsigned char loop = 1;
        if (::setsockopt(socket.fd_.get(), IPPROTO_IP, IP_MULTICAST_IF, &interfaceAddress,
                         sizeof(interfaceAddress)) != 0 ||
            ::setsockopt(socket.fd_.get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof(loop)) != 0) {
            return R::FromError(Failure("setsockopt(IP_MULTICAST_IF)", local));
        }
    }
    const sockaddr_in address = ToSockaddr(local);
    if (::bind(socket.fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return R::FromError(Failure("bind", local));
    }
    sockaddr_in bound{};
    socklen_t length = sizeof(bound);
    if (::getsockname(socket.fd_.get(), reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        return R::FromError(Failure("getsockname", local));
    }
    socket.local_ = Endpoint{local.address, ntohs(bound.sin_port)};
    return R::FromValue(std::move(socket));
}

bool UdpSocket::SendTo(const Endpoint& to, const iovec* parts, std::size_t count) const noexcept {
    sockaddr_in address = ToSockaddr(to);
    msghdr message{};
    message.msg_name = &address;
    message.msg_namelen = sizeof(address);
    message.msg_iov = const_cast<iovec*>(parts);
    message.msg_iovlen = count;
    return ::sendmsg(fd_.get(), &message, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
}

bool UdpSocket::SendTo(const Endpoint& to, const std::uint8_t* data, std::size_t size) const noexcept {
    iovec part{const_cast<std::uint8_t*>(data), size};
    return SendTo(to, &part, 1);
}

std::size_t UdpSocket::SendBatch(const Endpoint& to, mmsghdr* messages, std::size_t count) const noexcept {
    sockaddr_in address = ToSockaddr(to);
    for (std::size_t i = 0; i < count; ++i) {
        messages[i].msg_hdr.msg_name = &address;
        messages[i].msg_hdr.msg_namelen = sizeof(address);
    }
    std::size_t sent = 0;
    while (sent < count) {
        const int done = ::sendmmsg(fd_.get(), messages + sent, static_cast<unsigned int>(count - sent),
                                    MSG_DONTWAIT | MSG_NOSIGNAL);
        if (done <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(done);
    }
    return sent;
}

std::size_t UdpSocket::ReceiveBatch(mmsghdr* messages, sockaddr_in* from, std::size_t count) const noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        messages[i].msg_hdr.msg_name = &from[i];
        messages[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
        messages[i].msg_hdr.msg_flags = 0;
    }
    const int received =
        ::recvmmsg(fd_.get(), messages, static_cast<unsigned int>(count), MSG_DONTWAIT, nullptr);
    return received > 0 ? static_cast<std::size_t>(received) : 0U;
}

TransportResult<void> UdpSocket::JoinGroup(std::uint32_t group, std::uint32_t interfaceAddress) {
    ip_mreq request{};
    request.imr_multiaddr.s_addr = htonl(group);
    request.imr_interface.s_addr = htonl(interfaceAddress);
    if (::setsockopt(fd_.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof(request)) != 0) {
        return TransportResult<void>::FromError(
            Failure("setsockopt(IP_ADD_MEMBERSHIP)", Endpoint{group, local_.port}));
    }
    return {};
}

TransportResult<Poller> Poller::Create() {
    using R = TransportResult<Poller>;
    Poller poller;
    poller.epoll_.reset(::epoll_create1(EPOLL_CLOEXEC));
    poller.wake_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!poller.epoll_.valid() || !poller.wake_.valid()) {
        return R::FromError(
            TransportError{TransportErrorCode::kSocket,
                           std::string("epoll_create1/eventfd failed: ") + std::strerror(errno)});
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = poller.wake_.get();
    if (::epoll_ctl(poller.epoll_.get(), EPOLL_CTL_ADD, poller.wake_.get(), &event) != 0) {
        return R::FromError(TransportError{TransportErrorCode::kSocket,
                                           std::string("epoll_ctl failed: ") + std::strerror(errno)});
    }
    return R::FromValue(std::move(poller));
}

TransportResult<void> Poller::Add(int fd) {
    return Add(fd, EPOLLIN);
}

TransportResult<void> Poller::AddWritable(int fd) {
    return Add(fd, EPOLLOUT);
}

TransportResult<void> Poller::Add(int fd, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
        return TransportResult<void>::FromError(TransportError{
            TransportErrorCode::kSocket, std::string("epoll_ctl(ADD) failed: ") + std::strerror(errno)});
    }
    return {};
}

void Poller::Watch(int fd, bool writable) const noexcept {
    epoll_event event{};
    event.events = writable ? EPOLLIN | EPOLLOUT : EPOLLIN;
    event.data.fd = fd;
    (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, fd, &event);
}

void Poller::Remove(int fd) noexcept {
    (void)::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, fd, nullptr);
}

void Poller::Wake() const noexcept {
    const std::uint64_t one = 1;
    (void)!::write(wake_.get(), &one, sizeof(one));
}

int Poller::Wait(int* ready, int capacity, int timeoutMs) noexcept {
    epoll_event events[16];
    const int count = ::epoll_wait(epoll_.get(), events, std::min(capacity, 16), timeoutMs);
    int filled = 0;
    for (int i = 0; i < count; ++i) {
        if (events[i].data.fd == wake_.get()) {
            std::uint64_t value = 0;
            (void)!::read(wake_.get(), &value, sizeof(value));
        } else {
            ready[filled++] = events[i].data.fd;
        }
    }
    return filled;
}

}  // namespace vrt::cm::someip
