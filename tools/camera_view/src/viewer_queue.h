#pragma once

// What one viewer still has to be sent, bounded in messages and bytes. A viewer starts each camera at its
// next key frame. When a frame would overflow the queue, the viewer is too slow: everything pending is
// dropped and every camera waits for its next key frame again, so the viewer skips ahead to the newest
// pictures instead of falling further behind, and nobody else ever waits for it. Figures are small and sent
// when there is room; a full queue drops them. Not thread-safe: the viewer's session owns it.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace camera_view {

constexpr int kCameras = 4;

struct Outgoing {
    std::shared_ptr<const std::vector<std::uint8_t>> frame;  // a frame message (binary), or
    std::shared_ptr<const std::string> text;                 // a figures message (text)
    int camera{-1};                                          // the frame's camera
    std::size_t Size() const noexcept { return frame ? frame->size() : (text ? text->size() : 0); }
};

class ViewerQueue {
  public:
    struct Limits {
        std::size_t maxMessages{64};  // about 0.5 s of four cameras at 30 fps: bounds the lag too
        std::size_t maxBytes{8U << 20U};
    };

    explicit ViewerQueue(Limits limits) : limits_(limits) { waitingForKey_.fill(true); }

    // False when the frame was skipped (its camera waits for a key frame). A camera index outside 0..3 is
    // skipped.
    bool OfferFrame(std::shared_ptr<const std::vector<std::uint8_t>> message, int camera, bool key);
    // False when the queue had no room for it.
    bool OfferText(std::shared_ptr<const std::string> text);
    // Drops the camera's pending frames (counted as skipped); it starts again at its next key frame. For a
    // viewer that stops or starts watching one camera.
    void Restart(int camera);

    bool Empty() const noexcept { return pending_.empty(); }
    // The oldest pending message, removed from the queue. Requires !Empty().
    Outgoing Take();

    std::size_t QueuedBytes() const noexcept { return bytes_; }
    std::size_t QueuedMessages() const noexcept { return pending_.size(); }
    // Frames this viewer never got: waiting for a key frame, or dropped from a full queue.
    std::uint64_t SkippedFrames() const noexcept { return skippedFrames_; }
    std::uint64_t Overflows() const noexcept { return overflows_; }

  private:
    bool Fits(std::size_t size) const noexcept {
        return pending_.size() < limits_.maxMessages && bytes_ + size <= limits_.maxBytes;
    }

    Limits limits_;
    std::deque<Outgoing> pending_;
    std::size_t bytes_{0};
    std::array<bool, kCameras> waitingForKey_{};
    std::uint64_t skippedFrames_{0};
    std::uint64_t overflows_{0};
};

}  // namespace camera_view
