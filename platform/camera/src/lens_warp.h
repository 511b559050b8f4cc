#pragma once

#include <cstdint>
#include <vector>

#include "lens/lens_model.h"

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
    std::int32_t sourceOf(int x, int y) const;

  private:
    int width_;
    int height_;
    std::vector<std::uint8_t> picture_;  // the undistorted picture
    std::vector<std::int32_t> blocks_;   // per 2 x 2 camera block: the picture's block it shows, -1 for black
};

}  // namespace vcu::camera::internal
