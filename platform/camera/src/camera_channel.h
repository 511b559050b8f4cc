#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "frame_pool.h"
#include "frame_source.h"
#include "vcu/camera/camera_types.h"

namespace vcu::camera::internal {

// Shared by the capture threads and the callers waiting for frames. One lock covers every camera's queue of
// frames not yet fetched, so that a single wait can watch all cameras.
struct FrameEvents {
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t readyCounter{0};  // orders cameras by when their queue last became non-empty
};

// One camera: its source, its buffer pool, the frames captured and not yet fetched, and its capture thread.
//
// The capture thread never blocks on the application: when no buffer is free it reuses the oldest frame
// nobody has fetched yet, and when the application holds every buffer it drops the new frame. Both are
// counted.
class CameraChannel {
  public:
    struct Settings {
        unsigned int cameraId;
        int width;
        int height;
        int fps;
    };

    CameraChannel(const Settings& settings, std::unique_ptr<FrameSource> source,
                  std::shared_ptr<vcu::internal::FramePool> pool, FrameEvents& events);
    ~CameraChannel();
    CameraChannel(const CameraChannel&) = delete;
    CameraChannel& operator=(const CameraChannel&) = delete;

    void start();
    // Ends the capture and joins its thread; the caller must not hold events.mutex.
    void stop();

    unsigned int id() const noexcept { return settings_.cameraId; }

    // The rest requires events.mutex to be held.
    bool hasPending() const noexcept { return pendingCount_ > 0; }
    std::uint64_t readySince() const noexcept { return readySince_; }
    // Appends the queued frames, oldest first, and empties the queue.
    void takePending(std::vector<CameraData>& frames);
    void dropPending() noexcept;
    CameraStats stats() const noexcept;

  private:
    struct PendingFrame {
        std::uint32_t slot;
        CameraAuxiliaryInfo info;
    };

    void captureLoop();
    void captureFrame(std::uint64_t sequence);
    std::optional<std::uint32_t> takeBuffer();
    void popOldest() noexcept;

    Settings settings_;
    std::string recordName_;
    std::unique_ptr<FrameSource> source_;
    std::shared_ptr<vcu::internal::FramePool> pool_;
    FrameEvents& events_;

    // Guarded by events_.mutex. The queue is a ring with one place per buffer, so it never overflows.
    std::vector<PendingFrame> pending_;
    std::size_t pendingHead_{0};
    std::size_t pendingCount_{0};
    std::uint64_t readySince_{0};
    CameraStats stats_;

    // Capture thread only.
    bool droppingNoBuffer_{false};
    bool sourceFailing_{false};

    std::mutex stopMutex_;
    std::condition_variable stopRequested_;
    bool stopping_{false};
    std::thread thread_;
};

}  // namespace vcu::camera::internal
