#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frame_source.h"
#include "lens_warp.h"
#include "nv12_image.h"

namespace vcu::camera::internal {

// The default source: a moving test pattern that tells the cameras apart and numbers the frames.
//
// Diagonal bars in the camera's own hues scroll across the picture and a box bounces over it, so a frozen or
// repeated picture is obvious. A label shows "CAM <id>" and the frame number, and the frame code (see
// vcu/camera/frame_code.h) carries the number at the centre for machines. Every bar row is rendered once at
// construction; a frame is then row copies plus a few rectangles. With a lens, the pattern is drawn
// undistorted into a picture of its own and then warped as that lens shows it (see LensWarp), so that
// undistortion with the lens's maps makes it straight.
class PatternSource final : public FrameSource {
  public:
    PatternSource(unsigned int cameraId, int width, int height,
                  const std::optional<LensSettings>& lens = std::nullopt);

    bool fill(std::uint8_t* nv12, int width, int height, std::uint64_t frameNumber) override;

  private:
    void drawBars(const Nv12Image& image, std::uint64_t frameNumber) const;
    void drawBox(const Nv12Image& image, std::uint64_t frameNumber) const;
    void drawLabel(const Nv12Image& image, std::uint64_t frameNumber) const;

    int width_;
    int height_;
    int period_;                           // bar pattern repeat in pixels, even
    int speed_;                            // pixels per frame, even
    std::vector<std::uint8_t> lumaRow_;    // width + period pixels
    std::vector<std::uint8_t> chromaRow_;  // the matching U, V pairs
    Nv12Colour boxColour_;
    Nv12Colour textColour_;
    std::string cameraText_;
    std::unique_ptr<LensWarp> warp_;  // holds the pattern before the lens, when there is one
};

}  // namespace vcu::camera::internal
