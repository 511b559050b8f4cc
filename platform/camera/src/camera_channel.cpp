#include "camera_channel.h"

#include <pthread.h>

#include <chrono>
#include <ctime>

#include "service_log.h"

namespace vcu::camera::internal {

namespace {

CameraTimestamp RealtimeNow() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return CameraTimestamp{static_cast<std::int64_t>(now.tv_sec), static_cast<std::int64_t>(now.tv_nsec)};
}

}  // namespace

CameraChannel::CameraChannel(const Settings& settings, std::unique_ptr<FrameSource> source,
                             std::shared_ptr<vcu::internal::FramePool> pool, FrameEvents& events)
    : settings_(settings),
      recordName_("cam_" + std::to_string(settings.cameraId)),
      source_(std::move(source)),
      pool_(std::move(pool)),
      events_(events),
      pending_(pool_->bufferCount()) {}

CameraChannel::~CameraChannel() {
    stop();
    std::lock_guard<std::mutex> lock(events_.mutex);
    dropPending();
}

void CameraChannel::start() {
    thread_ = std::thread(&CameraChannel::captureLoop, this);
    const std::string name = "vcam_" + std::to_string(settings_.cameraId);
    pthread_setname_np(thread_.native_handle(), name.substr(0, 15).c_str());
}

void CameraChannel::stop() {
    {
        std::lock_guard<std::mutex> lock(stopMutex_);
        stopping_ = true;
    }
    stopRequested_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void CameraChannel::captureLoop() {
    using Clock = std::chrono::steady_clock;
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(1'000'000'000) / settings_.fps);
    // A camera delivers its first frame after one exposure period, not at the instant it starts.
    auto next = Clock::now() + period;
    std::uint64_t sequence = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(stopMutex_);
            if (stopRequested_.wait_until(lock, next, [this] { return stopping_; })) {
                return;
            }
        }
        captureFrame(++sequence);
        next += period;
        // Behind schedule (slow source, loaded machine): carry on from now instead of bursting to catch up.
        const auto now = Clock::now();
        if (next < now) {
            next = now;
        }
    }
}

void CameraChannel::captureFrame(std::uint64_t sequence) {
    ara::log::Logger& logger = serviceLogger();
    const std::optional<std::uint32_t> slot = takeBuffer();
    if (!slot) {
        {
            std::lock_guard<std::mutex> lock(events_.mutex);
            ++stats_.droppedNoBuffer;
        }
        if (!droppingNoBuffer_) {
            droppingNoBuffer_ = true;
            logger.LogWarn(ARA_LOG_HERE)
                << "all " << static_cast<unsigned int>(pool_->bufferCount()) << " frame buffers of camera "
                << settings_.cameraId << " are held by the application, dropping frames";
        }
        return;
    }
    droppingNoBuffer_ = false;

    CameraAuxiliaryInfo info;
    info.frameSequence = sequence;
    info.cameraId = settings_.cameraId;
    info.timestamps[0] = RealtimeNow();
    const bool filled = source_->fill(pool_->data(*slot), settings_.width, settings_.height, sequence);
    info.timestamps[1] = RealtimeNow();
    if (!filled) {
        pool_->release(*slot);
        {
            std::lock_guard<std::mutex> lock(events_.mutex);
            ++stats_.sourceErrors;
        }
        if (!sourceFailing_) {
            sourceFailing_ = true;
            logger.LogError(ARA_LOG_HERE)
                << "camera " << settings_.cameraId << " dropping frames: " << source_->describe()
                << " produced no picture";
        }
        return;
    }
    sourceFailing_ = false;

    {
        std::lock_guard<std::mutex> lock(events_.mutex);
        if (pendingCount_ == 0) {
            readySince_ = ++events_.readyCounter;
        }
        pending_[(pendingHead_ + pendingCount_) % pending_.size()] = PendingFrame{*slot, info};
        ++pendingCount_;
        ++stats_.captured;
    }
    events_.changed.notify_all();
}

std::optional<std::uint32_t> CameraChannel::takeBuffer() {
    if (auto slot = pool_->tryAcquire()) {
        return slot;
    }
    std::lock_guard<std::mutex> lock(events_.mutex);
    // The application may have let go of a buffer since the first attempt.
    if (auto slot = pool_->tryAcquire()) {
        return slot;
    }
    if (pendingCount_ == 0) {
        return std::nullopt;
    }
    // Nobody fetched the oldest queued frame in time: a newer one replaces it.
    popOldest();
    ++stats_.droppedOverrun;
    return pool_->tryAcquire();
}

void CameraChannel::popOldest() noexcept {
    pool_->release(pending_[pendingHead_].slot);
    pendingHead_ = (pendingHead_ + 1) % pending_.size();
    --pendingCount_;
}

void CameraChannel::takePending(std::vector<CameraData>& frames) {
    // Reserve first: once a frame's reference is handed over nothing may throw and strand the rest.
    frames.reserve(frames.size() + pendingCount_);
    while (pendingCount_ > 0) {
        const PendingFrame& frame = pending_[pendingHead_];
        CameraData& record = frames.emplace_back(recordName_);
        vcu::internal::MbufBinding::adopt(record.buffers[CameraData::kPictureBuffer], pool_, frame.slot);
        record.auxiliaryInfo = frame.info;
        pendingHead_ = (pendingHead_ + 1) % pending_.size();
        --pendingCount_;
        ++stats_.delivered;
    }
}

CameraStats CameraChannel::stats() const noexcept {
    CameraStats stats = stats_;
    stats.concealedPictures = source_->concealedPictures();
    stats.concealedErrors = source_->concealedErrors();
    return stats;
}

void CameraChannel::dropPending() noexcept {
    while (pendingCount_ > 0) {
        popOldest();
    }
}

}  // namespace vcu::camera::internal
