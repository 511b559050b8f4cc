#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "vcu/vcu_mbuf.h"

namespace vcu::internal {

// A camera's frame buffers: a fixed number of equally sized, 64-byte aligned buffers allocated once, each
// with a reference count. The capture thread takes free buffers without blocking; references are taken and
// dropped from any thread, and the buffer whose last reference goes away is free again. Nothing allocates per
// frame.
class FramePool {
  public:
    static constexpr std::size_t kMaxBuffers = 64;  // the free set is one 64-bit mask
    static constexpr std::size_t kAlignment = 64;

    // Null when the sizes are out of range or the memory cannot be allocated.
    static std::shared_ptr<FramePool> create(std::size_t bufferCount, std::size_t bufferBytes);

    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;
    ~FramePool();

    // A free buffer with one reference, or nothing when every buffer is referenced.
    std::optional<std::uint32_t> tryAcquire() noexcept;
    void retain(std::uint32_t slot) noexcept;
    void release(std::uint32_t slot) noexcept;

    std::uint8_t* data(std::uint32_t slot) const noexcept { return memory_ + slot * stride_; }
    std::size_t bufferBytes() const noexcept { return bufferBytes_; }
    std::size_t bufferCount() const noexcept { return bufferCount_; }
    std::size_t freeCount() const noexcept;

  private:
    FramePool(std::uint8_t* memory, std::size_t bufferCount, std::size_t bufferBytes, std::size_t stride);

    std::uint8_t* memory_;
    std::size_t bufferCount_;
    std::size_t bufferBytes_;
    std::size_t stride_;
    std::unique_ptr<std::atomic<std::uint32_t>[]> refCounts_;
    std::atomic<std::uint64_t> freeMask_;
};

// Binds a VcuMbuf to a pool buffer, taking over one reference the caller already holds.
struct MbufBinding {
    static void adopt(VcuMbuf& mbuf, std::shared_ptr<FramePool> pool, std::uint32_t slot) noexcept;
};

}  // namespace vcu::internal
