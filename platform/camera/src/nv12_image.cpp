#include "nv12_image.h"

#include <algorithm>
#include <cstring>

namespace vcu::camera::internal {

void fillRect(const Nv12Image& image, int x, int y, int w, int h, Nv12Colour colour) noexcept {
    const int left = std::max(x, 0);
    const int top = std::max(y, 0);
    const int right = std::min(x + w, image.width);
    const int bottom = std::min(y + h, image.height);
    if (left >= right || top >= bottom) {
        return;
    }
    for (int row = top; row < bottom; ++row) {
        std::memset(image.lumaRow(row) + left, colour.y, static_cast<std::size_t>(right - left));
    }
    const int chromaLeft = left / 2;
    const int chromaRight = (right + 1) / 2;
    for (int chromaY = top / 2; chromaY < (bottom + 1) / 2; ++chromaY) {
        std::uint8_t* row = image.chromaRow(chromaY);
        for (int cx = chromaLeft; cx < chromaRight; ++cx) {
            row[2 * cx] = colour.u;
            row[2 * cx + 1] = colour.v;
        }
    }
}

}  // namespace vcu::camera::internal
