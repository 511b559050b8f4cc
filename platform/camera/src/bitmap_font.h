#pragma once

#include <string_view>

#include "nv12_image.h"

namespace vcu::camera::internal {

// A 5 x 7 pixel font for the digits, the capital letters and a few signs; other characters are blank.
inline constexpr int kGlyphWidth = 5;
inline constexpr int kGlyphHeight = 7;
inline constexpr int kGlyphAdvance = kGlyphWidth + 1;

// Draws `text` with its top-left corner at (x, y), every font pixel as a scale x scale square, clipped to the
// picture. Only the glyphs' pixels are drawn.
void drawText(const Nv12Image& image, int x, int y, int scale, std::string_view text,
              Nv12Colour colour) noexcept;

// Width and height in picture pixels that drawText covers.
inline int textWidth(std::string_view text, int scale) noexcept {
    return text.empty() ? 0 : (static_cast<int>(text.size()) * kGlyphAdvance - 1) * scale;
}
inline int textHeight(int scale) noexcept {
    return kGlyphHeight * scale;
}

}  // namespace vcu::camera::internal
