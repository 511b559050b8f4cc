#include "crc32.h"

#include <array>

namespace camera_tools::mcap {

namespace {

// Slicing by four: four bytes per step through four tables, about four times the speed of the byte-wise loop,
// which matters for the chunk and data-section checksums of every recorded frame.
using Tables = std::array<std::array<std::uint32_t, 256>, 4>;

Tables MakeTables() {
    Tables tables{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t value = byte;
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1U) != 0 ? (value >> 1U) ^ 0xEDB88320U : value >> 1U;
        }
        tables[0][byte] = value;
    }
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        for (std::size_t table = 1; table < tables.size(); ++table) {
            const std::uint32_t previous = tables[table - 1][byte];
            tables[table][byte] = (previous >> 8U) ^ tables[0][previous & 0xFFU];
        }
    }
    return tables;
}

const Tables& CrcTables() {
    static const Tables tables = MakeTables();
    return tables;
}

}  // namespace

void Crc32::Update(const void* data, std::size_t size) noexcept {
    const Tables& t = CrcTables();
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint32_t crc = state_;
    while (size >= 4) {
        crc ^= static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8U |
               static_cast<std::uint32_t>(bytes[2]) << 16U | static_cast<std::uint32_t>(bytes[3]) << 24U;
        crc = t[3][crc & 0xFFU] ^ t[2][(crc >> 8U) & 0xFFU] ^ t[1][(crc >> 16U) & 0xFFU] ^ t[0][crc >> 24U];
        bytes += 4;
        size -= 4;
    }
    while (size-- > 0) {
        crc = (crc >> 8U) ^ t[0][(crc ^ *bytes++) & 0xFFU];
    }
    state_ = crc;
}

}  // namespace camera_tools::mcap
