#include "mpu/annex_b.h"

namespace mpu::annex_b {

std::size_t nextStartCode(const std::uint8_t* data, std::size_t size, std::size_t from) {
    for (std::size_t i = from; i + 3 <= size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 &&
            (data[i + 2] == 1 || (i + 4 <= size && data[i + 2] == 0 && data[i + 3] == 1))) {
            return i;
        }
    }
    return size;
}

std::size_t skipStartCode(const std::uint8_t* data, std::size_t size, std::size_t at) {
    while (at < size && data[at] == 0) {
        ++at;
    }
    return at < size ? at + 1 : size;
}

}  // namespace mpu::annex_b
