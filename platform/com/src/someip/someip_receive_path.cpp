#include "someip_receive_path.h"

#include <utility>
#include <vector>

namespace vrt::cm::someip {

ReceivePath::ReceivePath(std::uint16_t serviceId, std::uint16_t eventId, ReassemblyLimits limits,
                         Deliver deliver)
    : serviceId_(serviceId), eventId_(eventId), deliver_(std::move(deliver)), reassembler_(limits) {}

void ReceivePath::OnDatagram(const std::uint8_t* data, std::size_t size, std::uint32_t sourceAddress,
                             std::uint16_t sourcePort, TpReassembler::Clock::time_point now) {
    // A datagram may carry several messages back to back.
    while (size > 0) {
        const DecodedHeader decoded = DecodeHeader(data, size);
        if (!decoded.header) {
            drops_.Count(decoded.error == HeaderError::kTruncated     ? DropReason::kTruncated
                         : decoded.error == HeaderError::kWrongLength ? DropReason::kWrongLength
                                                                      : DropReason::kWrongProtocol);
            return;  // the rest of the datagram cannot be framed
        }
        const Header& header = *decoded.header;
        OnMessage(header, data + kHeaderSize, sourceAddress, sourcePort, now);
        const std::size_t consumed = kHeaderSize + header.BodySize();
        data += consumed;
        size -= consumed;
    }
}

void ReceivePath::OnMessage(const Header& header, const std::uint8_t* body, std::uint32_t sourceAddress,
                            std::uint16_t sourcePort, TpReassembler::Clock::time_point now) {
    if (header.serviceId != serviceId_) {
        drops_.Count(DropReason::kUnknownService);
        return;
    }
    if (header.methodId != eventId_) {
        drops_.Count(DropReason::kUnknownMethod);
        return;
    }
    if (header.BaseType() != MessageType::kNotification || header.returnCode != 0) {
        drops_.Count(DropReason::kWrongProtocol);
        return;
    }
    if (!header.IsTp()) {
        deliver_(header, body, header.BodySize());
        return;
    }
    if (header.BodySize() < kTpHeaderSize) {
        drops_.Count(DropReason::kTruncated);
        return;
    }
    const TpHeader tp = DecodeTpHeader(body);
    const TpReassembler::Key key{sourceAddress, sourcePort,
                                 static_cast<std::uint32_t>(header.serviceId) << 16U | header.methodId,
                                 header.clientId, header.sessionId};
    const auto result =
        reassembler_.Add(key, tp, body + kTpHeaderSize, header.BodySize() - kTpHeaderSize, now);
    for (std::size_t evicted = result.evicted; evicted > 0; --evicted) {
        drops_.Count(DropReason::kTpEvicted);
    }
    if (result.reason != DropReason::kCount) {
        drops_.Count(result.reason);
    }
    if (result.outcome == TpReassembler::Outcome::kComplete) {
        std::vector<std::uint8_t> message = reassembler_.TakeMessage();
        Header whole = header;
        whole.messageType = static_cast<std::uint8_t>(header.messageType & ~kTpFlag);
        whole.length = static_cast<std::uint32_t>(kLengthCoveredHeader + message.size());
        deliver_(whole, message.data(), message.size());
        reassembler_.Recycle(std::move(message));
    }
}

void ReceivePath::Expire(TpReassembler::Clock::time_point now) {
    for (std::size_t expired = reassembler_.Expire(now); expired > 0; --expired) {
        drops_.Count(DropReason::kTpTimedOut);
    }
}

}  // namespace vrt::cm::someip
