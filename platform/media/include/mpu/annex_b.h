#pragma once

#include <cstddef>
#include <cstdint>

// Scanning of an H.264 / H.265 Annex B byte stream: NAL units behind start codes 00 00 01 or 00 00 00 01.
// Pure functions on the caller's bytes; they neither copy nor allocate.
namespace mpu::annex_b {

// Offset of the first byte of the next start code at or after `from`, or `size` when there is none.
std::size_t nextStartCode(const std::uint8_t* data, std::size_t size, std::size_t from);

// Offset of the first byte after the start code at `at` (the NAL unit's header), or `size`.
std::size_t skipStartCode(const std::uint8_t* data, std::size_t size, std::size_t at);

// Calls `visit(offset)` with the offset of each NAL unit header, in stream order.
template <class Visit>
void forEachNalHeader(const std::uint8_t* data, std::size_t size, Visit visit) {
    for (std::size_t start = nextStartCode(data, size, 0); start < size;) {
        const std::size_t header = skipStartCode(data, size, start);
        if (header < size) {
            visit(header);
        }
        start = nextStartCode(data, size, header);
    }
}

// The NAL unit type in a unit's first header byte.
inline std::uint32_t h264NalType(std::uint8_t header) {
    return header & 0x1Fu;
}
inline std::uint32_t h265NalType(std::uint8_t header) {
    return (header >> 1) & 0x3Fu;
}

}  // namespace mpu::annex_b
