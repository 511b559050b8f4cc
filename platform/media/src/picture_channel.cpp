#include "picture_channel.h"

#include <pthread.h>

#include "picture_ops.h"
#include "stage_clock.h"
#include "wait_until.h"

namespace mpu::internal {
void runPictureTask(const PictureTask& task, scale::Nv12Scaler& scaler) {
    if (const auto* remapTask = std::get_if<RemapTask>(&task)) {
        const StageClock clock(Stage::kRemap);
        remap::remapLumaPlane(remapTask->table.luma, {remapTask->source.luma, remapTask->source.stride},
                              {remapTask->destination.luma, remapTask->destination.stride});
        remap::remapChromaPlane(remapTask->table.chroma, {remapTask->source.chroma, remapTask->source.stride},
                                {remapTask->destination.chroma, remapTask->destination.stride});
    } else if (const auto* cropTask = std::get_if<CropResizeTask>(&task)) {
        const StageClock clock(Stage::kCropResize);
        for (std::uint32_t i = 0; i < cropTask->jobCount; ++i) {
            const CropResizeJob& job = cropTask->jobs[i];
            cropResize(cropTask->source, job.window, job.destination, job.interpolation, scaler);
        }
    } else if (const auto* convertTask = std::get_if<ConvertTask>(&task)) {
        const StageClock clock(Stage::kConvert);
        convertColor(convertTask->source, convertTask->destination);
    }
}

PictureChannel::PictureChannel(std::uint32_t slotCount) : slots_(slotCount), queue_(slotCount) {
    worker_ = std::thread([this] { work(); });
    // Named, so that tools tell the media unit's CPU from its callers'.
    pthread_setname_np(worker_.native_handle(), "mpu_vpc");
}

PictureChannel::~PictureChannel() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    taskQueued_.notify_all();
    worker_.join();
}

bool PictureChannel::anySlotInFlight() const {
    for (const Slot& slot : slots_) {
        if (slot.state == SlotState::kQueued || slot.state == SlotState::kRunning) {
            return true;
        }
    }
    return false;
}

ara::core::Result<std::uint32_t, mpu_status> PictureChannel::submit(const PictureTask& task,
                                                                    std::int32_t timeoutMs) {
    using R = ara::core::Result<std::uint32_t, mpu_status>;
    std::unique_lock<std::mutex> lock(mutex_);
    const auto freeSlot = [this] { return queueLength_ < slots_.size() && findSlot(0) != nullptr; };
    if (!freeSlot()) {
        // Only a running task can free a slot; results nobody collects never will.
        if (!anySlotInFlight()) {
            return R::FromError(MPU_ERR_QUEUE_FULL);
        }
        taskQueued_.notify_one();  // a task left to a caller who has not come may hold the slot
        if (!WaitUntil(taskDone_, lock, timeoutMs, freeSlot)) {
            return R::FromError(MPU_ERR_TIMEOUT);
        }
    }
    Slot* slot = findSlot(0);
    slot->state = SlotState::kQueued;
    slot->taskId = nextTaskId_;
    slot->status = MPU_OK;
    slot->task = task;
    slot->submitted = Clock::now();
    nextTaskId_ = nextTaskId_ == UINT32_MAX ? 1 : nextTaskId_ + 1;
    queue_[(queueHead_ + queueLength_) % queue_.size()] = static_cast<std::size_t>(slot - slots_.data());
    ++queueLength_;
    const std::uint32_t taskId = slot->taskId;
    const bool wake = !callersWait_ || queueLength_ > 1;
    lock.unlock();
    if (wake) {
        taskQueued_.notify_one();
    }
    return taskId;
}

std::int32_t PictureChannel::collect(std::uint32_t taskId, std::int32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    Slot* slot = taskId == 0 ? nullptr : findSlot(taskId);
    if (slot == nullptr) {
        return MPU_ERR_UNKNOWN_TASK;
    }
    callersWait_ = Clock::now() - slot->submitted < kPromptCaller;
    if (slot->state == SlotState::kQueued) {
        runHere(*slot, lock);
    }
    if (!WaitUntil(taskDone_, lock, timeoutMs, [slot] { return slot->state == SlotState::kDone; })) {
        return MPU_ERR_TIMEOUT;
    }
    const std::int32_t status = slot->status;
    slot->state = SlotState::kFree;
    slot->taskId = 0;
    lock.unlock();
    taskDone_.notify_all();  // a submitter may be waiting for this slot
    return status;
}

bool PictureChannel::runHere(Slot& slot, std::unique_lock<std::mutex>& lock) {
    const auto index = static_cast<std::size_t>(&slot - slots_.data());
    if (runningHere_ || queueLength_ == 0 || queue_[queueHead_] != index) {
        return false;
    }
    for (const Slot& other : slots_) {
        if (other.state == SlotState::kRunning) {
            return false;  // the worker runs the task before it
        }
    }
    queueHead_ = (queueHead_ + 1) % queue_.size();
    --queueLength_;
    slot.state = SlotState::kRunning;
    runningHere_ = true;
    lock.unlock();
    runPictureTask(slot.task, callerScaler_);
    lock.lock();
    runningHere_ = false;
    slot.state = SlotState::kDone;
    slot.status = MPU_OK;
    taskDone_.notify_all();
    if (queueLength_ > 0 || stopping_) {
        taskQueued_.notify_one();  // the worker has waited for this task to end
    }
    return true;
}

// Slot of a task id; id 0 finds a free slot.
PictureChannel::Slot* PictureChannel::findSlot(std::uint32_t taskId) {
    for (Slot& slot : slots_) {
        if (taskId == 0 ? slot.state == SlotState::kFree : slot.taskId == taskId) {
            return &slot;
        }
    }
    return nullptr;
}

void PictureChannel::setWorkspaces(const mpu_vpc_workspace* workspaces, std::uint32_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    workspaces_.assign(workspaces, workspaces + count);
}

bool PictureChannel::remapWorkspaceCovers(std::uint32_t srcWidth, std::uint32_t srcHeight,
                                          std::uint32_t dstWidth, std::uint32_t dstHeight) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const mpu_vpc_workspace& workspace : workspaces_) {
        if (workspace.workspace_type == MPU_VPC_WORKSPACE_REMAP && workspace.src_width >= srcWidth &&
            workspace.src_height >= srcHeight && workspace.dst_width >= dstWidth &&
            workspace.dst_height >= dstHeight) {
            return true;
        }
    }
    return false;
}

void PictureChannel::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        taskQueued_.wait(lock, [this] { return (queueLength_ > 0 || stopping_) && !runningHere_; });
        if (queueLength_ == 0) {
            return;  // stopping, and nothing left to run
        }
        Slot& slot = slots_[queue_[queueHead_]];
        queueHead_ = (queueHead_ + 1) % queue_.size();
        --queueLength_;
        slot.state = SlotState::kRunning;
        lock.unlock();
        runPictureTask(slot.task, scaler_);
        lock.lock();
        slot.state = SlotState::kDone;
        slot.status = MPU_OK;
        taskDone_.notify_all();
    }
}

}  // namespace mpu::internal
