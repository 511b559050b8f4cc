#pragma once

// Bounded copy with the runtime-constraint checks of C11 Annex K, which glibc does not provide.

#include <cstddef>

enum MemcpySStatus : int {
    MEMCPY_S_OK = 0,
    MEMCPY_S_ERR_DEST_NULL = 1,  // dest is null: nothing written
    MEMCPY_S_ERR_DEST_MAX = 2,   // destMax is 0 or above MEMCPY_S_MAX_DEST: nothing written
    MEMCPY_S_ERR_SRC_NULL = 3,   // src is null: dest[0, destMax) zeroed
    MEMCPY_S_ERR_COUNT = 4,      // count > destMax: dest[0, destMax) zeroed
    MEMCPY_S_ERR_OVERLAP = 5,    // source and destination ranges overlap: dest[0, destMax) zeroed
};

// Limit on destMax: a larger value is almost always a negative size converted to size_t.
inline constexpr std::size_t MEMCPY_S_MAX_DEST = 0x7fffffffU;

// Copies `count` bytes from `src` to `dest`, which holds `destMax` bytes. Returns MEMCPY_S_OK, or one of the
// codes above without writing a byte at or beyond dest + destMax. A count of 0 copies nothing but the
// pointers are still checked.
extern "C" int memcpy_s(void* dest, std::size_t destMax, const void* src, std::size_t count);
