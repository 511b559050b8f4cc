#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frame_source.h"
#include "nv12_image.h"

namespace vcu::camera::internal {

// The default source: a moving test pattern that tells the cameras apart and numbers the frames.
//
// Diagonal bars in the camera's own hues scroll across the picture and a box bounces over it, so a frozen or
// repeated picture is obvious. A label shows "CAM <id>" and the frame number, and the frame code (see
// vcu/camera/frame_code.h) carries the number at the centre for machines. Every bar row is rendered once at
// construction; a frame is then row copies plus a few rectangles.
class PatternSource final : public FrameSource {
  public:
    PatternSource(unsigned int cameraId, int width, int height);

    bool fill(std::uint8_t* nv12, int width, int height, std::uint64_t frameNumber) override;
    std::string describe() const override { return "test pattern"; }

  private:
    void drawBars(const Nv12Image& image, std::uint64_t frameNumber) const;
    void drawBox(const Nv12Image& image, std::uint64_t frameNumber) const;
    void drawLabel(const Nv12Image& image, std::uint64_t frameNumber) const;

    unsigned int cameraId_;
    int width_;
    int height_;
    int period_;                           // bar pattern repeat in pixels, even
    int speed_;                            // pixels per frame, even
    std::vector<std::uint8_t> lumaRow_;    // width + period pixels
    std::vector<std::uint8_t> chromaRow_;  // the matching U, V pairs
    Nv12Colour boxColour_;
    Nv12Colour textColour_;
    std::string cameraText_;
};

}  // namespace vcu::camera::internal
