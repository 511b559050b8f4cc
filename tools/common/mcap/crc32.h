#pragma once

// CRC-32 as MCAP uses it (and zlib, PNG, Ethernet): reflected polynomial 0xEDB88320, initial value and final
// XOR 0xFFFFFFFF. A running value is extended piece by piece, so that a whole section is checked without
// holding it in one buffer.

#include <cstddef>
#include <cstdint>

namespace camera_tools::mcap {

class Crc32 {
  public:
    void Update(const void* data, std::size_t size) noexcept;
    std::uint32_t Value() const noexcept { return state_ ^ 0xFFFFFFFFU; }
    void Reset() noexcept { state_ = 0xFFFFFFFFU; }

    static std::uint32_t Of(const void* data, std::size_t size) noexcept {
        Crc32 crc;
        crc.Update(data, size);
        return crc.Value();
    }

  private:
    std::uint32_t state_{0xFFFFFFFFU};
};

}  // namespace camera_tools::mcap
