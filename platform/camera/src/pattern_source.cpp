#include "pattern_source.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "bitmap_font.h"
#include "vcu/camera/frame_code.h"

namespace vcu::camera::internal {

namespace {

constexpr int kBarCount = 4;
constexpr double kPi = 3.14159265358979323846;

// The hue of a camera, so that four cameras side by side differ at a glance.
double HueOf(unsigned int cameraId) {
    return static_cast<double>(cameraId % 8U) * (2.0 * kPi / 8.0) + 0.3;
}

std::uint8_t ClampByte(double value) {
    return static_cast<std::uint8_t>(std::clamp(std::lround(value), 16L, 240L));
}

// Copies a row of a frame this thread does not read back: into a 16-byte aligned target with streaming
// stores, which neither read the target's cache lines first nor push the application's pictures out of the
// caches. StreamedRowsDone must follow before the frame is drawn on or handed over.
void StreamRow(std::uint8_t* to, const std::uint8_t* from, std::size_t bytes) {
    std::size_t done = 0;
#if defined(__SSE2__)
    if (reinterpret_cast<std::uintptr_t>(to) % 16 == 0) {
        for (; done + 16 <= bytes; done += 16) {
            _mm_stream_si128(reinterpret_cast<__m128i*>(to + done),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + done)));
        }
    }
#endif
    std::memcpy(to + done, from + done, bytes - done);
}

void CopyRow(std::uint8_t* to, const std::uint8_t* from, std::size_t bytes) {
    std::memcpy(to, from, bytes);
}

// Orders the streaming stores before every later store and before the frame's hand-over.
void StreamedRowsDone() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

Nv12Colour ColourOf(double luma, double hue, double saturation) {
    return Nv12Colour{ClampByte(luma), ClampByte(128.0 + saturation * std::cos(hue)),
                      ClampByte(128.0 + saturation * std::sin(hue))};
}

// A position that runs from 0 to range and back, `speed` pixels per frame.
int Bounce(std::uint64_t frameNumber, int speed, int range) {
    if (range <= 0) {
        return 0;
    }
    const auto cycle = static_cast<std::uint64_t>(2 * range);
    const auto position = static_cast<int>((frameNumber * static_cast<std::uint64_t>(speed)) % cycle);
    return position <= range ? position : 2 * range - position;
}

}  // namespace

PatternSource::PatternSource(unsigned int cameraId, int width, int height,
                             const std::optional<LensSettings>& lens)
    : FrameSource(lens ? "test pattern through a lens" : "test pattern"),
      width_(width),
      height_(height),
      period_(std::max(8, width / 6) & ~1),
      speed_(std::max(2, width / 240) & ~1),
      cameraText_("CAM " + std::to_string(cameraId)) {
    const double hue = HueOf(cameraId);
    const std::array<Nv12Colour, kBarCount> bars{ColourOf(60.0, hue, 90.0), ColourOf(120.0, hue + 0.5, 60.0),
                                                 ColourOf(180.0, hue, 30.0),
                                                 ColourOf(100.0, hue + kPi, 70.0)};
    boxColour_ = ColourOf(210.0, hue + kPi, 80.0);
    textColour_ = kWhite;

    if (lens) {
        warp_ = std::make_unique<LensWarp>(*lens, width_, height_);
    }

    const int length = width_ + period_;
    lumaRow_.resize(static_cast<std::size_t>(length));
    chromaRow_.resize(static_cast<std::size_t>(length + 2));
    for (int x = 0; x < length; ++x) {
        const auto& bar = bars[static_cast<std::size_t>((x % period_) * kBarCount / period_)];
        lumaRow_[static_cast<std::size_t>(x)] = bar.y;
        if (x % 2 == 0) {
            chromaRow_[static_cast<std::size_t>(x)] = bar.u;
            chromaRow_[static_cast<std::size_t>(x) + 1] = bar.v;
        }
    }
}

bool PatternSource::fill(std::uint8_t* nv12, int width, int height, std::uint64_t frameNumber) {
    if (nv12 == nullptr || width != width_ || height != height_) {
        return false;
    }
    std::uint8_t* target = warp_ ? warp_->picture() : nv12;
    const Nv12Image image{target, width, height};
    drawBars(image, frameNumber);
    drawBox(image, frameNumber);
    drawFrameCode(target, width, height, static_cast<std::uint32_t>(frameNumber));
    drawLabel(image, frameNumber);
    if (warp_) {
        warp_->apply(nv12);
    }
    return true;
}

void PatternSource::drawBars(const Nv12Image& image, std::uint64_t frameNumber) const {
    // Each row starts one pixel further into the bar pattern than the row above: diagonal bars. The shift per
    // frame moves them sideways. Offsets are even so chroma pairs stay aligned.
    const auto shift = static_cast<int>((frameNumber * static_cast<std::uint64_t>(speed_)) %
                                        static_cast<std::uint64_t>(period_));
    const auto rowBytes = static_cast<std::size_t>(width_);
    // Drawn into the frame itself, the bars are streamed; a picture the lens warp reads next is not.
    const auto copy = warp_ ? CopyRow : StreamRow;
    for (int y = 0; y < height_; y += 2) {
        const int offset = (period_ - shift + y) % period_;
        copy(image.lumaRow(y), lumaRow_.data() + offset, rowBytes);
        copy(image.lumaRow(y + 1), lumaRow_.data() + offset, rowBytes);
        copy(image.chromaRow(y / 2), chromaRow_.data() + offset, rowBytes);
    }
    StreamedRowsDone();
}

void PatternSource::drawBox(const Nv12Image& image, std::uint64_t frameNumber) const {
    const int size = std::max(8, height_ / 8) & ~1;
    const int x = Bounce(frameNumber, speed_ * 2, width_ - size) & ~1;
    const int y = Bounce(frameNumber, speed_, height_ - size) & ~1;
    fillRect(image, x, y, size, size, boxColour_);
}

void PatternSource::drawLabel(const Nv12Image& image, std::uint64_t frameNumber) const {
    // Readable after scaling 1080 lines to 720: font pixels of at least 5 picture pixels there.
    const int scale = std::max(1, height_ / 135);
    const std::string frameText = "FRAME " + std::to_string(frameNumber);
    const int margin = 2 * scale;
    const int lineGap = 3 * scale;
    const int boxWidth = std::max(textWidth(cameraText_, scale), textWidth(frameText, scale)) + 2 * margin;
    const int boxHeight = 2 * textHeight(scale) + lineGap + 2 * margin;
    const int left = 4 * scale;
    const int top = 4 * scale;
    fillRect(image, left, top, boxWidth, boxHeight, kBlack);
    drawText(image, left + margin, top + margin, scale, cameraText_, textColour_);
    drawText(image, left + margin, top + margin + textHeight(scale) + lineGap, scale, frameText, textColour_);
}

}  // namespace vcu::camera::internal
