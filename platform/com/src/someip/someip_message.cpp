#include "someip_message.h"

namespace vrt::cm::someip {

std::uint16_t Load16(const std::uint8_t* data) noexcept {
    return static_cast<std::uint16_t>(data[0] << 8U | data[1]);
}

std::uint32_t Load32(const std::uint8_t* data) noexcept {
    return static_cast<std::uint32_t>(data[0]) << 24U | static_cast<std::uint32_t>(data[1]) << 16U |
           static_cast<std::uint32_t>(data[2]) << 8U | data[3];
}

void Store16(std::uint8_t* out, std::uint16_t value) noexcept {
    out[0] = static_cast<std::uint8_t>(value >> 8U);
    out[1] = static_cast<std::uint8_t>(value);
}

void Store32(std::uint8_t* out, std::uint32_t value) noexcept {
    Store16(out, static_cast<std::uint16_t>(value >> 16U));
    Store16(out + 2, static_cast<std::uint16_t>(value));
}

void EncodeHeader(const Header& header, std::uint8_t* out) noexcept {
    Store16(out, header.serviceId);
    Store16(out + 2, header.methodId);
    Store32(out + 4, header.length);
    Store16(out + 8, header.clientId);
    Store16(out + 10, header.sessionId);
    out[12] = header.protocolVersion;
    out[13] = header.interfaceVersion;
    out[14] = header.messageType;
    out[15] = header.returnCode;
}

DecodedHeader DecodeHeader(const std::uint8_t* data, std::size_t size) noexcept {
    DecodedHeader decoded;
    if (size < kHeaderSize) {
        decoded.error = HeaderError::kTruncated;
        return decoded;
    }
    Header header;
    header.serviceId = Load16(data);
    header.methodId = Load16(data + 2);
    header.length = Load32(data + 4);
    header.clientId = Load16(data + 8);
    header.sessionId = Load16(data + 10);
    header.protocolVersion = data[12];
    header.interfaceVersion = data[13];
    header.messageType = data[14];
    header.returnCode = data[15];
    if (header.length < kLengthCoveredHeader || header.length - kLengthCoveredHeader > size - kHeaderSize) {
        decoded.error = HeaderError::kWrongLength;
        return decoded;
    }
    if (header.protocolVersion != kProtocolVersion) {
        decoded.error = HeaderError::kWrongProtocolVersion;
        return decoded;
    }
    decoded.header = header;
    return decoded;
}

void EncodeTpHeader(const TpHeader& header, std::uint8_t* out) noexcept {
    Store32(out, (header.offset & ~0xFU) | (header.moreSegments ? 1U : 0U));
}

TpHeader DecodeTpHeader(const std::uint8_t* data) noexcept {
    const std::uint32_t value = Load32(data);
    return TpHeader{value & ~0xFU, (value & 1U) != 0};
}

SessionTracker::Step SessionTracker::Advance(std::uint16_t session) noexcept {
    Step step;
    if (session == 0 || !numbered_) {
        sequence_ += started_ ? 1U : 0U;
        started_ = true;
        numbered_ = session != 0;
        newest_ = session;
        arrived_ = 1;
        span_ = 0;
        return step;
    }
    // Ids run 1..0xFFFF, so the distance across the wrap skips 0. Less than half the id space forward is
    // newer; the rest is behind.
    const std::uint32_t from = newest_ - 1U;
    const std::uint32_t to = session - 1U;
    const std::uint32_t ahead = (to + 0xFFFFU - from) % 0xFFFFU;
    const std::uint32_t behind = 0xFFFFU - ahead;
    const bool inWindow = ahead > 0x7FFFU && behind <= kReorderWindow;
    const bool arrived = ahead == 0 || (inWindow && ((arrived_ >> behind) & 1U) != 0);
    const bool openGap = inWindow && behind <= span_ && !arrived;
    if (session == 1U && newest_ != 0xFFFFU && !openGap) {
        // A sender starts its numbering at 1; only a wrap or a gap left open within the window leads there.
        StartOver(session);
        step.order = Order::kRestart;
        return step;
    }
    if (arrived) {
        step.order = Order::kDuplicate;
        return step;
    }
    if (inWindow) {
        arrived_ |= std::uint64_t{1} << behind;  // a second copy is then a duplicate
        step.order = Order::kLate;
        return step;
    }
    if (ahead > 0x7FFFU) {
        StartOver(session);  // far behind: a new numbering
        step.order = Order::kRestart;
        return step;
    }
    step.lost = ahead - 1U;
    sequence_ += ahead;
    span_ += ahead;
    arrived_ = ahead >= 64U ? 1U : arrived_ << ahead | 1U;
    newest_ = session;
    return step;
}

void SessionTracker::StartOver(std::uint16_t session) noexcept {
    sequence_ = 0;
    newest_ = session;
    arrived_ = 1;
    span_ = 0;
}

}  // namespace vrt::cm::someip
