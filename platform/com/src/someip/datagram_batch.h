#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "udp_socket.h"

namespace vrt::cm::someip {

// Room for the largest UDP datagram.
constexpr std::size_t kDatagramCapacity = 65536;

// Receive buffers for a batch of datagrams per call, and the loop that empties a socket with them.
class DatagramBatch {
  public:
    explicit DatagramBatch(std::size_t slots)
        : buffer_(slots * kDatagramCapacity), parts_(slots), messages_(slots), senders_(slots) {
        for (std::size_t i = 0; i < slots; ++i) {
            parts_[i] = iovec{buffer_.data() + i * kDatagramCapacity, kDatagramCapacity};
            messages_[i] = mmsghdr{};
            messages_[i].msg_hdr.msg_iov = &parts_[i];
            messages_[i].msg_hdr.msg_iovlen = 1;
        }
    }

    // Reads the waiting datagrams of `socket`, in at most `maxCalls` receive calls, and hands each to
    // `handle(data, size, from, truncated)`.
    template <typename Handle>
    void Drain(const UdpSocket& socket, Handle&& handle, std::size_t maxCalls = SIZE_MAX) {
        for (std::size_t received = 0, calls = 0;
             calls < maxCalls &&
             (received = socket.ReceiveBatch(messages_.data(), senders_.data(), messages_.size())) > 0;
             ++calls) {
            for (std::size_t i = 0; i < received; ++i) {
                const Endpoint from{ntohl(senders_[i].sin_addr.s_addr), ntohs(senders_[i].sin_port)};
                const bool truncated = (messages_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
                handle(buffer_.data() + i * kDatagramCapacity, messages_[i].msg_len, from, truncated);
            }
            if (received < messages_.size()) {
                break;
            }
        }
    }

  private:
    std::vector<std::uint8_t> buffer_;
    std::vector<iovec> parts_;
    std::vector<mmsghdr> messages_;
    std::vector<sockaddr_in> senders_;
};

}  // namespace vrt::cm::someip
