#pragma once

// Reads the test pattern's frame code from one camera's decoded pictures. The code's size in the picture
// depends on the camera's crop and resize (2/3 for 1920 x 1080 resized to 1280 x 720, more after a crop),
// which the recorder is not told; so the first picture that carries a code is searched over a range of
// scales, and the centre of the widest range that reads one consistent code is kept for the following
// pictures. After many pictures in a row without a code at that scale, the next one is searched again.
// Not thread-safe: one reader per camera.

#include <cstdint>
#include <optional>

namespace camera_record {

class FrameCodeReader {
  public:
    // A reader that searches for the scale; or one that only ever uses `scale`.
    FrameCodeReader() = default;
    explicit FrameCodeReader(double scale) : scale_(scale), fixed_(true) {}

    // The code of an 8-bit luma plane, or nothing when the picture carries none.
    std::optional<std::uint32_t> Read(const std::uint8_t* luma, int width, int height, int stride);

    // The scale in use, once one has been found.
    std::optional<double> Scale() const noexcept { return scale_; }

    static constexpr double kMinScale = 0.4;
    static constexpr double kMaxScale = 2.0;
    static constexpr double kScaleStep = 0.01;
    // Pictures in a row without a code before the scale is searched again; also the pause between searches
    // while no scale is known, so that pictures without a code cost little.
    static constexpr int kRetryAfter = 30;

  private:
    std::optional<double> Search(const std::uint8_t* luma, int width, int height, int stride) const;

    std::optional<double> scale_;
    bool fixed_{false};
    int misses_{0};
    int picturesUntilSearch_{0};
};

}  // namespace camera_record
