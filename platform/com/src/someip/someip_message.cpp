#include "vrt/cm/someip/someip_message.h"

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

std::uint64_t SessionTracker::Advance(std::uint16_t session) noexcept {
    std::uint64_t lost = 0;
    if (last_ && session != 0) {
        // Ids run 1..0xFFFF, so the distance across the wrap skips 0.
        const std::uint32_t from = *last_ == 0 ? 0U : *last_ - 1U;
        const std::uint32_t to = session - 1U;
        const std::uint32_t distance = (to + 0xFFFFU - from) % 0xFFFFU;
        lost = distance == 0 ? 0 : distance - 1U;
        sequence_ += distance == 0 ? 1U : distance;
    } else if (last_) {
        ++sequence_;
    }
    last_ = session;
    return lost;
}

}  // namespace vrt::cm::someip
