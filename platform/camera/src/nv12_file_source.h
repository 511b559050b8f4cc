#pragma once

#include <cstdint>
#include <string>

#include "frame_source.h"
#include "vcu/os/unique_fd.h"

namespace vcu::camera::internal {

// Raw NV12 frames of the camera's size, back to back in one file, played in order and looped.
class Nv12FileSource final : public FrameSource {
  public:
    static SourceResult open(const std::string& path, int width, int height);

    bool fill(std::uint8_t* nv12, int width, int height, std::uint64_t frameNumber) override;
    std::string describe() const override;

  private:
    Nv12FileSource(std::string path, vcu::os::UniqueFd file, int width, int height, std::uint64_t frameCount);

    std::string path_;
    vcu::os::UniqueFd file_;
    int width_;
    int height_;
    std::uint64_t frameBytes_;
    std::uint64_t frameCount_;
    std::uint64_t nextFrame_{0};
};

}  // namespace vcu::camera::internal
