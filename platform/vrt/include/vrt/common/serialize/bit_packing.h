#pragma once

#include <cstddef>
#include <cstdint>

namespace vrt::common::serialize {

// Bit b of a payload is bit (b mod 8), value 1 << (b mod 8), of byte b / 8. Each copied bit first clears its
// target bit and then sets it from the source; no other bit changes.

// Writes the low `length` bits of value (length at most 64) at payload bit `pos` and upward. Fails, writing
// nothing, when pos + length exceeds payloadBits.
bool PackBitsLsbFirst(std::uint8_t* payload, std::size_t payloadBits, std::uint64_t value, std::uint32_t pos,
                      std::uint32_t length) noexcept;

// `pos` is the position of the signal's most significant bit; bytes run from most to least significant
// (big-endian signal layout). Fails, leaving the bits already written, when a bit would fall at or beyond
// payloadBits; stops early, counting as done, when the signal would continue before the first byte.
bool PackBitsMsbFirst(std::uint8_t* payload, std::size_t payloadBits, std::uint64_t value, std::uint32_t pos,
                      std::uint32_t length) noexcept;

// Dispatches on a signal's byte order: 0 most significant bit first, 1 and 2 least significant bit first.
bool PackBits(std::uint8_t* payload, std::size_t payloadBits, std::uint64_t value, std::uint32_t pos,
              std::uint32_t length, std::uint8_t byteOrder) noexcept;

}  // namespace vrt::common::serialize
