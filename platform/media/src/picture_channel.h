#pragma once

// One picture channel: a fixed set of task slots and a worker thread that runs the queued tasks in order.
// A caller that comes to wait for a task the worker has not started yet, with nothing running before it,
// runs it itself instead of waiting to be woken: a submit-then-wait caller's task costs no switch of thread.
// While the channel's callers wait for each task at once (within kPromptCaller of submitting it), a task
// submitted with nothing else queued does not wake the worker: its caller will run it, on the core that has
// its source in cache, and the worker is not woken only to find it taken. The worker is woken for a task
// queued behind another, for the tasks in the slots when a submission finds none free, and for every task
// once a caller comes late; so every task runs, whether or not anybody waits for it.
// Submitting and collecting allocate nothing; the slots are made when the channel is.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

#include "ara/core/result.h"
#include "mpu/mpu_vpc.h"
#include "nv12_scaler.h"
#include "picture_check.h"
#include "remap_table.h"
#include "wait_until.h"

namespace mpu::internal {

struct RemapTask {
    Nv12Planes source;
    Nv12Planes destination;
    remap::TableView table;
};

struct CropResizeJob {
    mpu_vpc_crop_region window;
    Nv12Planes destination;
    std::uint32_t interpolation;
};

struct CropResizeTask {
    Nv12Planes source;
    std::array<CropResizeJob, MPU_VPC_MAX_CROP_REGIONS> jobs;
    std::uint32_t jobCount;
};

struct ConvertTask {
    Nv12Planes source;
    PackedPicture destination;
};

using PictureTask = std::variant<RemapTask, CropResizeTask, ConvertTask>;

// Runs a task on the calling thread, crop-resizes with `scaler`.
void runPictureTask(const PictureTask& task, scale::Nv12Scaler& scaler);

class PictureChannel {
  public:
    explicit PictureChannel(std::uint32_t slotCount);
    // Runs what was submitted, then stops the worker.
    ~PictureChannel();
    PictureChannel(const PictureChannel&) = delete;
    PictureChannel& operator=(const PictureChannel&) = delete;

    // Queues `task`, waiting up to `timeoutMs` for a free slot: its task id, or MPU_ERR_QUEUE_FULL or
    // MPU_ERR_TIMEOUT.
    ara::core::Result<std::uint32_t, mpu_status> submit(const PictureTask& task, std::int32_t timeoutMs);
    std::int32_t collect(std::uint32_t taskId, std::int32_t timeoutMs);

    void setWorkspaces(const mpu_vpc_workspace* workspaces, std::uint32_t count);
    bool remapWorkspaceCovers(std::uint32_t srcWidth, std::uint32_t srcHeight, std::uint32_t dstWidth,
                              std::uint32_t dstHeight) const;

  private:
    using Clock = WaitClock;

    enum class SlotState { kFree, kQueued, kRunning, kDone };
    struct Slot {
        SlotState state{SlotState::kFree};
        std::uint32_t taskId{0};
        std::int32_t status{MPU_OK};
        Clock::time_point submitted;
        PictureTask task;
    };

    void work();
    // Runs `slot`'s task on the calling thread if it is next in line and nothing runs; `lock` is held.
    bool runHere(Slot& slot, std::unique_lock<std::mutex>& lock);
    Slot* findSlot(std::uint32_t taskId);
    bool anySlotInFlight() const;

    mutable std::mutex mutex_;
    std::condition_variable taskQueued_;
    std::condition_variable taskDone_;
    std::vector<Slot> slots_;
    std::vector<std::size_t> queue_;  // ring of slot indices in submission order
    std::size_t queueHead_{0};
    std::size_t queueLength_{0};
    std::uint32_t nextTaskId_{1};
    bool stopping_{false};
    std::vector<mpu_vpc_workspace> workspaces_;
    scale::Nv12Scaler scaler_;        // the worker's alone
    bool runningHere_{false};         // a caller runs a task: the worker waits, tasks keep their order
    bool callersWait_{false};         // the last task was collected promptly: a lone task is its caller's
    scale::Nv12Scaler callerScaler_;  // the caller's that runs a task, while runningHere_
    std::thread worker_;
};

}  // namespace mpu::internal
