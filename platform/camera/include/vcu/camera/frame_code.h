#pragma once

#include <cstdint>
#include <optional>

// The block code of the test pattern: the low 16 bits of the frame number as a grid of 4 rows x 5 columns of
// 64 x 64-pixel cells (black Y=16 for 0, white Y=235 for 1, neutral chroma), centred on the picture's centre.
// Row r holds bits 4r..4r+3 in columns 0..3 (least significant first) and their parity in column 4, so that a
// misread row is refused rather than misread. Coarse on purpose: it survives undistortion, centred crops,
// scaling and lossy compression, so tests can read the frame number back from decoded video.
namespace vcu::camera {

inline constexpr int kFrameCodeCellSize = 64;
inline constexpr int kFrameCodeRows = 4;
inline constexpr int kFrameCodeColumns = 5;
// The code and a grey border around it; smaller pictures carry no code.
inline constexpr int kFrameCodeMargin = 16;
inline constexpr int kFrameCodeWidth = kFrameCodeColumns * kFrameCodeCellSize + 2 * kFrameCodeMargin;
inline constexpr int kFrameCodeHeight = kFrameCodeRows * kFrameCodeCellSize + 2 * kFrameCodeMargin;

// Draws the code of `frameNumber` into a packed NV12 picture (stride = width). Does nothing when the picture
// is smaller than kFrameCodeWidth x kFrameCodeHeight.
void drawFrameCode(std::uint8_t* nv12, int width, int height, std::uint32_t frameNumber);

// Reads the code from a luma plane. `scale` is the number of output pixels per pattern pixel around the
// centre (2/3 after resizing 1920 x 1080 to 1280 x 720; larger after a centred crop). Returns the low 16 bits
// of the frame number, or nothing when a cell falls outside the picture, is neither clearly black nor clearly
// white, or a row fails its parity.
std::optional<std::uint32_t> readFrameCode(const std::uint8_t* luma, int width, int height, int stride,
                                           double scale);

}  // namespace vcu::camera
