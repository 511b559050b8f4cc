#pragma once

#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "someip_message.h"
#include "udp_socket.h"
#include "vcu/os/unique_fd.h"

// SOME/IP over TCP: the messages follow each other on the stream, framed by their length field, without
// SOME/IP-TP. The sockets here are non-blocking; nothing waits for a slow peer.
namespace vrt::cm::someip {

// A listening socket, bound to `local` (port 0 picks one).
TransportResult<vcu::os::UniqueFd> ListenTcp(const Endpoint& local);
// Accepts one waiting connection: its descriptor (invalid when none waits) and its peer.
vcu::os::UniqueFd AcceptTcp(int listener, Endpoint& peer) noexcept;
// Starts a non-blocking connection from `local`'s address to `remote`; done when the socket is writable
// (ConnectResult says how it ended).
TransportResult<vcu::os::UniqueFd> ConnectTcp(std::uint32_t localAddress, const Endpoint& remote);
// 0 when the connection started by ConnectTcp is up, else the errno it failed with.
int ConnectResult(int fd) noexcept;
Endpoint LocalEndpoint(int fd) noexcept;

// One subscriber's connection, on the provider's side. The sending threads write whole messages to it;
// what the socket does not take at once waits in a backlog of fixed capacity, allocated at the first
// shortfall and then reused. A subscriber that falls further behind than that is cut off (the connection
// is shut down, the runtime's thread closes it), so that it never holds up a sender. Thread-safe.
class TcpSubscriber {
  public:
    // While the backlog holds bytes, `poller` (where the connection is added) also waits for the socket to
    // take more, so that the runtime's thread flushes it as soon as it can.
    TcpSubscriber(vcu::os::UniqueFd fd, const Endpoint& peer, std::size_t backlogCapacity,
                  const Poller& poller);

    // Sends the message whose header and payload are `parts`; false when the subscriber was, or is now,
    // cut off.
    bool Send(const iovec* parts, std::size_t count);
    // Sends what waits in the backlog, as far as the socket takes it.
    void Flush();
    bool CutOff() const noexcept { return cutOff_.load(std::memory_order_acquire); }
    int Descriptor() const noexcept { return fd_.get(); }
    const Endpoint& Peer() const noexcept { return peer_; }

  private:
    void FlushLocked();
    void CutOffLocked();

    vcu::os::UniqueFd fd_;
    Endpoint peer_;
    std::size_t capacity_;
    const Poller& poller_;
    std::mutex mutex_;
    std::vector<std::uint8_t> backlog_;  // [begin_, end_) waits to be sent
    std::size_t begin_{0};
    std::size_t end_{0};
    std::atomic<bool> cutOff_{false};
};

// The receiving side of a stream: bytes in, whole messages out. The buffer holds at most one message
// being received (header and up to `maxMessageSize` bytes of payload).
class TcpMessageReader {
  public:
    explicit TcpMessageReader(std::size_t maxMessageSize) : maxMessageSize_(maxMessageSize) {}

    enum class Status : std::uint8_t { kOpen, kClosed, kTooLarge };
    // Reads what `fd` has, and hands every whole message (header included) to `deliver(data, size)`.
    template <typename Deliver>
    Status Read(int fd, Deliver&& deliver);
    void Reset() noexcept { filled_ = 0; }

  private:
    std::size_t maxMessageSize_;
    std::vector<std::uint8_t> buffer_;
    std::size_t filled_{0};
};

template <typename Deliver>
TcpMessageReader::Status TcpMessageReader::Read(int fd, Deliver&& deliver) {
    constexpr std::size_t kChunk = 256U * 1024U;
    for (int reads = 0; reads < 64; ++reads) {
        if (buffer_.size() < filled_ + kChunk) {
            buffer_.resize(filled_ + kChunk);
        }
        const ssize_t got = ::recv(fd, buffer_.data() + filled_, kChunk, MSG_DONTWAIT);
        if (got == 0) {
            return Status::kClosed;
        }
        if (got < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Status::kOpen
                                                                             : Status::kClosed;
        }
        filled_ += static_cast<std::size_t>(got);
        std::size_t at = 0;
        while (filled_ - at >= kHeaderSize) {
            const std::uint32_t length = Load32(buffer_.data() + at + 4);
            if (length < kLengthCoveredHeader || length - kLengthCoveredHeader > maxMessageSize_) {
                return Status::kTooLarge;  // no way to find the next message: the stream is unusable
            }
            const std::size_t whole = 8U + length;
            if (filled_ - at < whole) {
                break;
            }
            deliver(buffer_.data() + at, whole);
            at += whole;
        }
        std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(at),
                  buffer_.begin() + static_cast<std::ptrdiff_t>(filled_), buffer_.begin());
        filled_ -= at;
    }
    return Status::kOpen;
}

}  // namespace vrt::cm::someip
