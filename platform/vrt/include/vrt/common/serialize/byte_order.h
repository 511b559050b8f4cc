#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace vrt::common::serialize {

inline constexpr bool kHostIsBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

// Largest value a length field of `width` bytes holds; 0 for a width that is not 1, 2 or 4.
constexpr std::uint64_t MaxLengthFieldValue(std::size_t width) noexcept {
    switch (width) {
        case 1:
            return 0xFFU;
        case 2:
            return 0xFFFFU;
        case 4:
            return 0xFFFFFFFFU;
        default:
            return 0;
    }
}

// Writes the low `width` bytes of value (width 1 to 8) in the given order.
inline void StoreUnsigned(std::uint8_t* out, std::uint64_t value, std::size_t width,
                          bool bigEndian) noexcept {
    for (std::size_t i = 0; i < width; ++i) {
        const std::size_t shift = 8U * (bigEndian ? width - 1U - i : i);
        out[i] = static_cast<std::uint8_t>(value >> shift);
    }
}

inline std::uint64_t LoadUnsigned(const std::uint8_t* in, std::size_t width, bool bigEndian) noexcept {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        const std::size_t shift = 8U * (bigEndian ? width - 1U - i : i);
        value |= static_cast<std::uint64_t>(in[i]) << shift;
    }
    return value;
}

// A number's bytes in the requested order (bools as 0 or 1).
template <typename T>
void StoreScalar(std::uint8_t* out, T value, bool bigEndian) noexcept {
    static_assert(std::is_arithmetic_v<T>);
    if constexpr (std::is_same_v<T, bool>) {
        out[0] = value ? 1U : 0U;
    } else {
        std::uint8_t bytes[sizeof(T)];
        std::memcpy(bytes, &value, sizeof(T));
        if (bigEndian == kHostIsBigEndian) {
            std::memcpy(out, bytes, sizeof(T));
        } else {
            for (std::size_t i = 0; i < sizeof(T); ++i) {
                out[i] = bytes[sizeof(T) - 1U - i];
            }
        }
    }
}

// Reads a number stored by StoreScalar. A bool byte other than 0 or 1 is refused (returns false).
template <typename T>
bool LoadScalar(const std::uint8_t* in, T& value, bool bigEndian) noexcept {
    static_assert(std::is_arithmetic_v<T>);
    if constexpr (std::is_same_v<T, bool>) {
        if (in[0] > 1U) {
            return false;
        }
        value = in[0] == 1U;
    } else {
        std::uint8_t bytes[sizeof(T)];
        if (bigEndian == kHostIsBigEndian) {
            std::memcpy(bytes, in, sizeof(T));
        } else {
            for (std::size_t i = 0; i < sizeof(T); ++i) {
                bytes[i] = in[sizeof(T) - 1U - i];
            }
        }
        std::memcpy(&value, bytes, sizeof(T));
    }
    return true;
}

}  // namespace vrt::common::serialize
