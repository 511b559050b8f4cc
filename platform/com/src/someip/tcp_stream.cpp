#include "tcp_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace vrt::cm::someip {

namespace {

TransportError Failure(const char* call, const Endpoint& endpoint) {
    return SocketFailure(call, "TCP " + endpoint.ToString());
}

vcu::os::UniqueFd StreamSocket() {
    return vcu::os::UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
}

// No delay for small messages, and buffers for a burst of key frames, so that a sender rarely has to leave
// part of a message in the backlog until its next send.
void Tune(int fd) {
    const int on = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    const int bytes = 4 * 1024 * 1024;
    for (const auto& [force, plain] :
         {std::pair{SO_RCVBUFFORCE, SO_RCVBUF}, std::pair{SO_SNDBUFFORCE, SO_SNDBUF}}) {
        if (::setsockopt(fd, SOL_SOCKET, force, &bytes, sizeof(bytes)) != 0) {
            (void)::setsockopt(fd, SOL_SOCKET, plain, &bytes, sizeof(bytes));
        }
    }
}

}  // namespace

TransportResult<vcu::os::UniqueFd> ListenTcp(const Endpoint& local) {
    using R = TransportResult<vcu::os::UniqueFd>;
    vcu::os::UniqueFd fd = StreamSocket();
    const int on = 1;
    const sockaddr_in address = ToSockaddr(local);
    if (!fd.valid() || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
        return R::FromError(Failure("socket", local));
    }
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return R::FromError(Failure("bind", local));
    }
    if (::listen(fd.get(), 64) != 0) {
        return R::FromError(Failure("listen", local));
    }
    return R::FromValue(std::move(fd));
}

vcu::os::UniqueFd AcceptTcp(int listener, Endpoint& peer) noexcept {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    vcu::os::UniqueFd fd(
        ::accept4(listener, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (fd.valid()) {
        peer = Endpoint{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
        Tune(fd.get());
    }
    return fd;
}

TransportResult<vcu::os::UniqueFd> ConnectTcp(std::uint32_t localAddress, const Endpoint& remote) {
    using R = TransportResult<vcu::os::UniqueFd>;
    vcu::os::UniqueFd fd = StreamSocket();
    const sockaddr_in local = ToSockaddr(Endpoint{localAddress, 0});
    if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) != 0) {
        return R::FromError(Failure("bind", Endpoint{localAddress, 0}));
    }
    Tune(fd.get());
    const sockaddr_in address = ToSockaddr(remote);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 &&
        errno != EINPROGRESS) {
        return R::FromError(Failure("connect", remote));
    }
    return R::FromValue(std::move(fd));
}

int ConnectResult(int fd) noexcept {
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return errno;
    }
    return error;
}

Endpoint LocalEndpoint(int fd) noexcept {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return Endpoint{};
    }
    return Endpoint{ntohl(address.sin_addr.s_addr), ntohs(address.sin_port)};
}

TcpSubscriber::TcpSubscriber(vcu::os::UniqueFd fd, const Endpoint& peer, std::size_t backlogCapacity,
                             const Poller& poller)
    : fd_(std::move(fd)), peer_(peer), capacity_(backlogCapacity), poller_(poller) {}

bool TcpSubscriber::Send(const iovec* parts, std::size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (CutOff()) {
        return false;
    }
    FlushLocked();
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        total += parts[i].iov_len;
    }
    std::size_t sent = 0;
    if (begin_ == end_) {
        msghdr message{};
        message.msg_iov = const_cast<iovec*>(parts);
        message.msg_iovlen = count;
        const ssize_t done = ::sendmsg(fd_.get(), &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (done < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            CutOffLocked();
            return false;
        }
        sent = done < 0 ? 0U : static_cast<std::size_t>(done);
    }
    if (sent == total) {
        return true;
    }
    // The rest of the message waits; a message is never left half on the stream.
    if (total - sent > capacity_ - (end_ - begin_)) {
        CutOffLocked();
        return false;
    }
    if (backlog_.size() < capacity_) {
        backlog_.resize(capacity_);
    }
    if (end_ + (total - sent) > capacity_) {  // compact: move what waits to the front
        std::copy(backlog_.begin() + static_cast<std::ptrdiff_t>(begin_),
                  backlog_.begin() + static_cast<std::ptrdiff_t>(end_), backlog_.begin());
        end_ -= begin_;
        begin_ = 0;
    }
    if (begin_ == end_) {
        poller_.Watch(fd_.get(), true);
    }
    std::size_t skip = sent;
    for (std::size_t i = 0; i < count; ++i) {
        const auto* bytes = static_cast<const std::uint8_t*>(parts[i].iov_base);
        const std::size_t length = parts[i].iov_len;
        if (skip >= length) {
            skip -= length;
            continue;
        }
        std::copy(bytes + skip, bytes + length, backlog_.begin() + static_cast<std::ptrdiff_t>(end_));
        end_ += length - skip;
        skip = 0;
    }
    return true;
}

void TcpSubscriber::Flush() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!CutOff()) {
        FlushLocked();
    }
}

void TcpSubscriber::FlushLocked() {
    while (begin_ < end_) {
        const ssize_t done =
            ::send(fd_.get(), backlog_.data() + begin_, end_ - begin_, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (done < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                CutOffLocked();
            }
            return;
        }
        begin_ += static_cast<std::size_t>(done);
    }
    if (end_ != 0) {
        poller_.Watch(fd_.get(), false);
    }
    begin_ = end_ = 0;
}

void TcpSubscriber::CutOffLocked() {
    cutOff_.store(true, std::memory_order_release);
    begin_ = end_ = 0;
    // The runtime's thread sees the connection end and closes it.
    (void)::shutdown(fd_.get(), SHUT_RDWR);
}

}  // namespace vrt::cm::someip
