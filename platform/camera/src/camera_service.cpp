#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "access_table.h"
#include "ara/log/logging.h"
#include "camera_channel.h"
#include "frame_pool.h"
#include "frame_source.h"
#include "service_log.h"
#include "source_config.h"
#include "vcu/camera/camera.h"

namespace vcu::camera {

namespace internal {

ara::log::Logger& serviceLogger() {
    static ara::log::Logger& logger =
        ara::log::CreateLogger("VCAM", "Camera service stand-in", ara::log::LogLevel::kInfo);
    return logger;
}

namespace {

// The process's camera service: the cameras of the running CameraInit and the waits on their frames.
class CameraService {
  public:
    static CameraService& instance() {
        static CameraService service;
        return service;
    }

    ~CameraService() { stopCameras(); }
    CameraService(const CameraService&) = delete;
    CameraService& operator=(const CameraService&) = delete;

    int init(const std::vector<CameraAccessConfig>& configs) {
        std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
        {
            std::lock_guard<std::mutex> lock(events_.mutex);
            if (running_) {
                logger_.LogError(ARA_LOG_HERE) << "CameraInit refused: the cameras are already running";
                return kCameraAlreadyStarted;
            }
        }
        if (!validateAccessTable(configs, logger_)) {
            return kCameraInvalidConfig;
        }
        std::vector<unsigned int> ids;
        for (const CameraAccessConfig& config : configs) {
            ids.push_back(static_cast<unsigned int>(config.cameraId));
        }
        auto loaded = loadSourceSettings(ids, [](const char* name) { return std::getenv(name); });
        if (!loaded) {
            logger_.LogError(ARA_LOG_HERE) << loaded.Error().message;
            return kCameraInvalidConfig;
        }
        const std::vector<SourceSettings>& settings = loaded.Value();

        std::vector<std::unique_ptr<CameraChannel>> channels;
        std::vector<std::string> descriptions;
        for (std::size_t i = 0; i < configs.size(); ++i) {
            const CameraAccessConfig& config = configs[i];
            auto opened = openFrameSource(settings[i], ids[i], config.width, config.height);
            if (!opened) {
                logger_.LogError(ARA_LOG_HERE)
                    << "camera " << ids[i] << " source cannot be used: " << opened.Error().message;
                return kCameraSourceError;
            }
            std::unique_ptr<FrameSource> source = std::move(opened).Value();
            descriptions.push_back(source->describe());
            const std::size_t frameBytes =
                static_cast<std::size_t>(config.width) * static_cast<std::size_t>(config.height) * 3U / 2U;
            auto pool = vcu::internal::FramePool::create(static_cast<std::size_t>(settings[i].bufferCount),
                                                         frameBytes);
            if (!pool) {
                logger_.LogError(ARA_LOG_HERE)
                    << "camera " << ids[i] << " cannot allocate " << settings[i].bufferCount
                    << " frame buffers of " << static_cast<unsigned long>(frameBytes) << " bytes";
                return kCameraNoMemory;
            }
            channels.push_back(std::make_unique<CameraChannel>(
                CameraChannel::Settings{ids[i], config.width, config.height, settings[i].fps},
                std::move(source), std::move(pool), events_));
        }

        try {
            for (auto& channel : channels) {
                channel->start();
            }
        } catch (const std::system_error& error) {
            logger_.LogError(ARA_LOG_HERE) << "capture thread cannot be started: " << error.what();
            return kCameraNoMemory;  // the channels' destructors stop the threads that did start
        }
        {
            std::lock_guard<std::mutex> lock(events_.mutex);
            channels_ = std::move(channels);
            running_ = true;
        }
        for (std::size_t i = 0; i < configs.size(); ++i) {
            logger_.LogInfo(ARA_LOG_HERE) << "camera " << ids[i] << " started, " << configs[i].width << " by "
                                          << configs[i].height << " NV12 at " << settings[i].fps << " fps, "
                                          << settings[i].bufferCount << " buffers, " << descriptions[i];
        }
        return kCameraOk;
    }

    std::vector<unsigned int> waitEvents(int timeoutMs) {
        std::unique_lock<std::mutex> lock(events_.mutex);
        if (!running_) {
            return {};
        }
        const std::uint64_t generation = generation_;
        const auto wakeUp = [this, generation] {
            return !running_ || generation_ != generation ||
                   std::any_of(channels_.begin(), channels_.end(),
                               [](const auto& channel) { return channel->hasPending(); });
        };
        if (!waitFor(lock, timeoutMs, wakeUp) || !running_ || generation_ != generation) {
            return {};
        }
        std::vector<const CameraChannel*> ready;
        for (const auto& channel : channels_) {
            if (channel->hasPending()) {
                ready.push_back(channel.get());
            }
        }
        std::sort(ready.begin(), ready.end(), [](const CameraChannel* a, const CameraChannel* b) {
            return a->readySince() < b->readySince();
        });
        std::vector<unsigned int> ids;
        ids.reserve(ready.size());
        for (const CameraChannel* channel : ready) {
            ids.push_back(channel->id());
        }
        return ids;
    }

    int getData(unsigned int cameraId, std::vector<CameraData>& frames, int timeoutMs) {
        std::unique_lock<std::mutex> lock(events_.mutex);
        if (!running_) {
            return kCameraNotStarted;
        }
        CameraChannel* channel = find(cameraId);
        if (channel == nullptr) {
            return kCameraUnknownId;
        }
        const std::uint64_t generation = generation_;
        // The channel is only touched while this run is still the current one: CameraDeinit destroys it.
        const auto wakeUp = [this, generation, channel] {
            return !running_ || generation_ != generation || channel->hasPending();
        };
        const bool woken = waitFor(lock, timeoutMs, wakeUp);
        if (!running_ || generation_ != generation) {
            return kCameraStopped;
        }
        if (!woken) {
            return kCameraTimeout;
        }
        channel->takePending(frames);
        return kCameraOk;
    }

    void deinit() {
        std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
        if (stopCameras()) {
            logger_.LogInfo(ARA_LOG_HERE) << "cameras stopped";
        }
    }

    bool stats(unsigned int cameraId, CameraStats& stats) {
        std::lock_guard<std::mutex> lock(events_.mutex);
        const CameraChannel* channel = running_ ? find(cameraId) : nullptr;
        if (channel == nullptr) {
            return false;
        }
        stats = channel->stats();
        return true;
    }

  private:
    CameraService() : logger_(serviceLogger()) {}

    // False when nothing was running.
    bool stopCameras() {
        {
            std::lock_guard<std::mutex> lock(events_.mutex);
            if (!running_) {
                return false;
            }
            running_ = false;
            ++generation_;
        }
        events_.changed.notify_all();
        // The capture threads take events_.mutex to queue frames, so they are joined without it.
        for (auto& channel : channels_) {
            channel->stop();
        }
        std::vector<std::unique_ptr<CameraChannel>> stopped;
        {
            std::lock_guard<std::mutex> lock(events_.mutex);
            for (auto& channel : channels_) {
                channel->dropPending();
            }
            stopped = std::move(channels_);
            channels_.clear();
        }
        return true;
    }

    CameraChannel* find(unsigned int cameraId) const {
        const auto found = std::find_if(channels_.begin(), channels_.end(), [cameraId](const auto& channel) {
            return channel->id() == cameraId;
        });
        return found != channels_.end() ? found->get() : nullptr;
    }

    template <typename Predicate>
    bool waitFor(std::unique_lock<std::mutex>& lock, int timeoutMs, Predicate predicate) {
        if (timeoutMs < 0) {
            events_.changed.wait(lock, predicate);
            return true;
        }
        return events_.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), predicate);
    }

    ara::log::Logger& logger_;
    std::mutex lifecycleMutex_;  // one CameraInit or CameraDeinit at a time
    FrameEvents events_;
    // Guarded by events_.mutex. channels_ changes only under both locks, and only while running_ is false.
    bool running_{false};
    std::uint64_t generation_{
        0};  // changes with every stop, so a waiter of an earlier run never returns frames
    std::vector<std::unique_ptr<CameraChannel>> channels_;
};

}  // namespace

}  // namespace internal

int CameraInit(const std::vector<CameraAccessConfig>& configs) {
    return internal::CameraService::instance().init(configs);
}

std::vector<unsigned int> CameraWaitEvents(int timeoutMs) {
    return internal::CameraService::instance().waitEvents(timeoutMs);
}

int CameraGetData(unsigned int cameraId, std::vector<CameraData>& frames, int timeoutMs) {
    return internal::CameraService::instance().getData(cameraId, frames, timeoutMs);
}

void CameraDeinit() {
    internal::CameraService::instance().deinit();
}

bool CameraGetStats(unsigned int cameraId, CameraStats& stats) {
    return internal::CameraService::instance().stats(cameraId, stats);
}

}  // namespace vcu::camera
