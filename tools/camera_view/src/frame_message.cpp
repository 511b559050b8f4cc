#include "frame_message.h"

#include <cstring>

namespace camera_view {

namespace {

template <typename T>
void PutLittleEndian(std::uint8_t* out, T value) {
    auto bits = static_cast<std::uint64_t>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out[i] = static_cast<std::uint8_t>(bits >> (8U * i));
    }
}

template <typename T>
T GetLittleEndian(const std::uint8_t* in) {
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        bits |= static_cast<std::uint64_t>(in[i]) << (8U * i);
    }
    return static_cast<T>(bits);
}

}  // namespace

std::shared_ptr<const std::vector<std::uint8_t>> MakeFrameMessage(const FrameHeader& header,
                                                                  const std::uint8_t* data,
                                                                  std::size_t size) {
    auto message = std::make_shared<std::vector<std::uint8_t>>(kFrameHeaderSize + size);
    std::uint8_t* out = message->data();
    out[0] = kFrameKind;
    out[1] = header.camera;
    out[2] = header.key ? 1U : 0U;
    out[3] = 0;
    PutLittleEndian(out + 4, header.frameNumber);
    PutLittleEndian(out + 8, header.publishNs);
    PutLittleEndian(out + 16, header.receiveNs);
    if (size > 0) {
        std::memcpy(out + kFrameHeaderSize, data, size);
    }
    return message;
}

bool ParseFrameHeader(const std::uint8_t* data, std::size_t size, FrameHeader* header) {
    if (size < kFrameHeaderSize || data[0] != kFrameKind) {
        return false;
    }
    header->camera = data[1];
    header->key = (data[2] & 1U) != 0;
    header->frameNumber = GetLittleEndian<std::uint32_t>(data + 4);
    header->publishNs = GetLittleEndian<std::int64_t>(data + 8);
    header->receiveNs = GetLittleEndian<std::int64_t>(data + 16);
    return true;
}

}  // namespace camera_view
