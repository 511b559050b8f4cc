#pragma once

#include <cstdint>
#include <functional>
#include <type_traits>
#include <utility>

#include "acc/acc_runtime.h"
#include "mpu/mpu_dma.h"
#include "mpu/mpu_sys.h"
#include "mpu/mpu_venc.h"
#include "mpu/mpu_vpc.h"

// Move-only owners of the runtime's and the media unit's handles: each gives its handle back exactly once,
// when it is destroyed or reset, and tells the status of that call to an optional report (to log it).
// Declare them in acquisition order and they are given back in the reverse order. Not thread-safe.
namespace mpu {

// Told the status of a release call; may be empty.
using ReleaseReport = std::function<void(std::int32_t status)>;

// Owns `Handle` (a channel id, a descriptor, an address, a context) and releases it with `Release`, which
// takes the handle, or nothing for the process-wide start-ups that have no handle. `kNone` is the value
// get() shows when nothing is owned, so a call with it fails in the media unit as an unknown handle would.
template <typename Handle, auto Release, Handle kNone = Handle{}>
class UniqueHandle {
  public:
    UniqueHandle() = default;
    UniqueHandle(Handle handle, ReleaseReport report)
        : handle_(handle), owned_(true), report_(std::move(report)) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept
        : handle_(std::exchange(other.handle_, kNone)),
          owned_(std::exchange(other.owned_, false)),
          report_(std::move(other.report_)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, kNone);
            owned_ = std::exchange(other.owned_, false);
            report_ = std::move(other.report_);
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    Handle get() const noexcept { return handle_; }
    bool owns() const noexcept { return owned_; }

    void reset() {
        if (!owned_) {
            return;
        }
        owned_ = false;
        std::int32_t status = 0;
        if constexpr (std::is_invocable_v<decltype(Release)>) {
            status = Release();
        } else {
            status = Release(handle_);
        }
        handle_ = kNone;
        if (report_) {
            report_(status);
        }
    }

  private:
    Handle handle_{kNone};
    bool owned_{false};
    ReleaseReport report_;
};

// accInit ... accFinalize (counted process-wide: one owner per successful accInit).
using AccRuntime = UniqueHandle<int, &accFinalize>;
// accrtSetDevice(device) ... accrtResetDevice(device).
using AccDevice = UniqueHandle<std::int32_t, &accrtResetDevice, -1>;
// accrtCreateContext ... accrtDestroyContext.
using AccContext = UniqueHandle<accrtContext, &accrtDestroyContext, nullptr>;
// mpu_sys_init ... mpu_sys_exit (counted process-wide like the runtime).
using MediaSystem = UniqueHandle<int, &mpu_sys_exit>;
// mpu_vpc_sys_create_chn ... mpu_vpc_destroy_chn.
using PictureChannel = UniqueHandle<std::int32_t, &mpu_vpc_destroy_chn, -1>;
// mpu_venc_create_chn ... mpu_venc_destroy_chn.
using EncoderChannel = UniqueHandle<std::int32_t, &mpu_venc_destroy_chn, -1>;
// mpu_venc_start_chn ... mpu_venc_stop_chn; declared after the channel's EncoderChannel.
using RunningEncoder = UniqueHandle<std::int32_t, &mpu_venc_stop_chn, -1>;
// mpu_sys_create_epoll ... mpu_sys_close_epoll.
using MediaEpoll = UniqueHandle<std::int32_t, &mpu_sys_close_epoll, -1>;

// Memory from mpu_dma_malloc, freed with mpu_dma_free, and the size it was allocated with.
class DmaBuffer {
  public:
    DmaBuffer() = default;

    // Allocates `size` bytes into `*buffer`, freeing what it held before; on failure returns the status and
    // leaves `*buffer` as it was.
    static std::int32_t allocate(std::uint64_t size, ReleaseReport report, DmaBuffer* buffer) {
        void* address = nullptr;
        const std::int32_t status = mpu_dma_malloc(0, &address, size);
        if (status == 0) {
            buffer->memory_ = Memory(address, std::move(report));
            buffer->size_ = size;
        }
        return status;
    }

    void* address() const noexcept { return memory_.get(); }
    std::uint64_t size() const noexcept { return size_; }

  private:
    using Memory = UniqueHandle<void*, &mpu_dma_free, nullptr>;
    Memory memory_;
    std::uint64_t size_{0};
};

}  // namespace mpu
