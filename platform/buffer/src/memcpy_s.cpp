#include "securec/memcpy_s.h"

#include <cstdint>
#include <cstring>

namespace {

bool Overlaps(const void* dest, const void* src, std::size_t count) {
    // Compared as integers: the two ranges usually belong to different objects.
    const auto d = reinterpret_cast<std::uintptr_t>(dest);
    const auto s = reinterpret_cast<std::uintptr_t>(src);
    return d < s + count && s < d + count;
}

}  // namespace

extern "C" int memcpy_s(void* dest, std::size_t destMax, const void* src, std::size_t count) {
    if (dest == nullptr) {
        return MEMCPY_S_ERR_DEST_NULL;
    }
    if (destMax == 0 || destMax > MEMCPY_S_MAX_DEST) {
        return MEMCPY_S_ERR_DEST_MAX;
    }
    // From here the destination is known to be usable, so a refused copy leaves it zeroed rather than
    // holding a partial or stale value the caller might mistake for the data.
    int status = MEMCPY_S_OK;
    if (src == nullptr) {
        status = MEMCPY_S_ERR_SRC_NULL;
    } else if (count > destMax) {
        status = MEMCPY_S_ERR_COUNT;
    } else if (Overlaps(dest, src, count)) {
        status = MEMCPY_S_ERR_OVERLAP;
    }
    if (status != MEMCPY_S_OK) {
        std::memset(dest, 0, destMax);
        return status;
    }
    if (count != 0) {
        std::memcpy(dest, src, count);
    }
    return MEMCPY_S_OK;
}
