#include "vrt/common/serialize/bit_packing.h"

namespace vrt::common::serialize {
namespace {

void CopyBit(std::uint8_t* payload, std::uint64_t bitPos, bool set) noexcept {
    const auto mask = static_cast<std::uint8_t>(1U << (bitPos % 8U));
    std::uint8_t& byte = payload[bitPos / 8U];
    byte = static_cast<std::uint8_t>(byte & ~mask);
    if (set) {
        byte = static_cast<std::uint8_t>(byte | mask);
    }
}

bool ValueBit(std::uint64_t value, std::uint32_t index) noexcept {
    return index < 64U && ((value >> index) & 1U) != 0;
}

// Mirrors a bit's position within its byte.
std::uint64_t Flip(std::uint64_t pos) noexcept {
    return 8U * (pos / 8U) + 7U - (pos % 8U);
}

}  // namespace

bool PackBitsLsbFirst(std::uint8_t* payload, std::size_t payloadBits, std::uint64_t value, std::uint32_t pos,
                      std::uint32_t length) noexcept {
    if (static_cast<std::uint64_t>(pos) + length > payloadBits) {
        return false;
    }
    for (std::uint32_t i = 0; i < length; ++i) {
        CopyBit(payload, static_cast<std::uint64_t>(pos) + i, ValueBit(value, i));
    }
    return true;
}

bool PackBitsMsbFirst(std::uint8_t* payload, std::size_t payloadBits, std::uint64_t value, std::uint32_t pos,
                      std::uint32_t length) noexcept {
    std::uint64_t position = length == 0 ? pos : Flip(Flip(pos) + length - 1U);
    for (std::uint32_t i = 0; i < length; ++i) {
        if (position >= payloadBits) {
            return false;
        }
        CopyBit(payload, position, ValueBit(value, i));
        ++position;
        if (position % 8U == 0 && i + 1U < length) {
            // Continue with the byte before the one just finished.
            if (position < 16U) {
                return true;
            }
            position -= 16U;
        }
    }
    return true;
}

bool PackBits(std::uint8_t* payload, std::size_t payloadBits, std::uint64_t value, std::uint32_t pos,
              std::uint32_t length, std::uint8_t byteOrder) noexcept {
    if (byteOrder == 0U) {
        return PackBitsMsbFirst(payload, payloadBits, value, pos, length);
    }
    return PackBitsLsbFirst(payload, payloadBits, value, pos, length);
}

}  // namespace vrt::common::serialize
