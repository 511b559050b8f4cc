#pragma once

#include <cstdint>

namespace vcu::camera::internal {

// A packed NV12 picture in caller-owned memory: width x height luma bytes, then height / 2 rows of
// interleaved U, V pairs; both planes have a stride of width. Width and height are even.
struct Nv12Image {
    std::uint8_t* data;
    int width;
    int height;

    std::uint8_t* lumaRow(int y) const noexcept { return data + static_cast<long>(y) * width; }
    std::uint8_t* chromaRow(int chromaY) const noexcept {
        return data + static_cast<long>(width) * height + static_cast<long>(chromaY) * width;
    }
};

struct Nv12Colour {
    std::uint8_t y;
    std::uint8_t u;
    std::uint8_t v;
};

inline constexpr Nv12Colour kBlack{16, 128, 128};
inline constexpr Nv12Colour kWhite{235, 128, 128};
inline constexpr Nv12Colour kGrey{128, 128, 128};

// Fills a rectangle, clipped to the picture. Chroma covers every 2 x 2 block the rectangle touches.
void fillRect(const Nv12Image& image, int x, int y, int w, int h, Nv12Colour colour) noexcept;

}  // namespace vcu::camera::internal
