#include "frame_pool.h"

#include <cstdlib>
#include <new>

namespace vcu::internal {

std::shared_ptr<FramePool> FramePool::create(std::size_t bufferCount, std::size_t bufferBytes) {
    if (bufferCount == 0 || bufferCount > kMaxBuffers || bufferBytes == 0) {
        return nullptr;
    }
    const std::size_t stride = (bufferBytes + kAlignment - 1) / kAlignment * kAlignment;
    auto* memory = static_cast<std::uint8_t*>(std::aligned_alloc(kAlignment, stride * bufferCount));
    if (memory == nullptr) {
        return nullptr;
    }
    return std::shared_ptr<FramePool>(new (std::nothrow) FramePool(memory, bufferCount, bufferBytes, stride));
}

FramePool::FramePool(std::uint8_t* memory, std::size_t bufferCount, std::size_t bufferBytes,
                     std::size_t stride)
    : memory_(memory),
      bufferCount_(bufferCount),
      bufferBytes_(bufferBytes),
      stride_(stride),
      refCounts_(new std::atomic<std::uint32_t>[bufferCount]),
      freeMask_(bufferCount == kMaxBuffers ? ~std::uint64_t{0} : (std::uint64_t{1} << bufferCount) - 1) {
    for (std::size_t i = 0; i < bufferCount; ++i) {
        refCounts_[i].store(0, std::memory_order_relaxed);
    }
}

FramePool::~FramePool() {
    std::free(memory_);
}

std::optional<std::uint32_t> FramePool::tryAcquire() noexcept {
    std::uint64_t mask = freeMask_.load(std::memory_order_acquire);
    while (mask != 0) {
        const auto slot = static_cast<std::uint32_t>(__builtin_ctzll(mask));
        const std::uint64_t taken = mask & ~(std::uint64_t{1} << slot);
        // Acquire pairs with the release in release(): the last user's writes to the buffer happen before
        // ours.
        if (freeMask_.compare_exchange_weak(mask, taken, std::memory_order_acquire,
                                            std::memory_order_acquire)) {
            refCounts_[slot].store(1, std::memory_order_relaxed);
            return slot;
        }
    }
    return std::nullopt;
}

void FramePool::retain(std::uint32_t slot) noexcept {
    refCounts_[slot].fetch_add(1, std::memory_order_relaxed);
}

void FramePool::release(std::uint32_t slot) noexcept {
    if (refCounts_[slot].fetch_sub(1, std::memory_order_acq_rel) == 1) {
        freeMask_.fetch_or(std::uint64_t{1} << slot, std::memory_order_release);
    }
}

std::size_t FramePool::freeCount() const noexcept {
    return static_cast<std::size_t>(__builtin_popcountll(freeMask_.load(std::memory_order_relaxed)));
}

}  // namespace vcu::internal
