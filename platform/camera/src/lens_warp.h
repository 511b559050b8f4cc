#pragma once

#include <cstdint>
#include <vector>

#include "lens_model.h"

namespace vcu::camera::internal {

// A camera's lens as its calibration gives it, and the undistorted view its undistortion maps were made for
// (camera_remap_maps: the same intrinsics with the focal lengths times `zoom`).
struct LensSettings {
    lens::Intrinsics camera;
    lens::Distortion distortion;
    double zoom{1.0};

    lens::Intrinsics view() const {
        lens::Intrinsics scaled = camera;
        scaled.fx *= zoom;
        scaled.fy *= zoom;
        return scaled;
    }
};

// Renders an undistorted NV12 picture as the lens would show it: every camera pixel takes the picture's pixel
// whose ray it sees, so that the undistortion maps of the same lens make the picture straight again. Pixels
// whose ray falls outside the picture are black. The look-up table (one source index per camera pixel,
// nearest neighbour) is built once; warping is then a gather per pixel. Not thread-safe: one capture thread
// owns it.
class LensWarp {
  public:
    LensWarp(const LensSettings& lens, int width, int height);

    // The undistorted picture to draw into: packed NV12 of the size given at construction.
    std::uint8_t* picture() noexcept { return picture_.data(); }
    // Writes the picture as the lens shows it into `camera`, packed NV12 of the same size.
    void apply(std::uint8_t* camera) const;

    // The picture pixel the camera pixel (x, y) shows, or -1 for none; for tests.
    std::int32_t sourceOf(int x, int y) const {
        const std::int32_t source = luma_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width_) +
                                          static_cast<std::size_t>(x)];
        return source < width_ * height_ ? source : -1;
    }

  private:
    int width_;
    int height_;
    std::vector<std::uint8_t> picture_;  // the undistorted picture, then a black pixel and a neutral pair
    std::vector<std::int32_t> luma_;     // per camera pixel: index of its picture pixel (or the black one)
    std::vector<std::int32_t> chroma_;   // per camera chroma pair: offset of the picture's pair in the plane
};

}  // namespace vcu::camera::internal
