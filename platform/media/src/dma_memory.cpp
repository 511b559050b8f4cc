#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "api_entry.h"
#include "media_log.h"
#include "mpu/fault_injection.h"
#include "mpu/mpu_dma.h"

namespace {

using mpu::fault::Operation;
using mpu::internal::Guarded;
using mpu::internal::mediaLogger;

// Blocks handed out, by address. Kept apart from the blocks themselves, so a stray pointer is recognised by
// value and never dereferenced.
struct DmaRegistry {
    std::mutex mutex;
    std::unordered_map<void*, std::uint64_t> blocks;
};

DmaRegistry& Registry() {
    static DmaRegistry instance;
    return instance;
}

// Beyond this the request is a mistake, not a picture.
constexpr std::uint64_t kLargestBlock = std::uint64_t{1} << 34;

}  // namespace

extern "C" {

std::int32_t mpu_dma_malloc(std::uint32_t memType, void** address, std::uint64_t size) {
    return Guarded(Operation::kDmaMalloc, address, [&]() -> std::int32_t {
        if (memType != MPU_DMA_MEM_NORMAL || size == 0 || size > kLargestBlock) {
            mediaLogger().LogError(ARA_LOG_HERE)
                << "mpu_dma_malloc: refused memory type " << memType << ", size " << size;
            return MPU_ERR_ILLEGAL_PARAM;
        }
        // aligned_alloc wants a multiple of the alignment.
        const std::uint64_t rounded = (size + MPU_DMA_ALIGNMENT - 1) / MPU_DMA_ALIGNMENT * MPU_DMA_ALIGNMENT;
        void* block = std::aligned_alloc(MPU_DMA_ALIGNMENT, rounded);
        if (block == nullptr) {
            mediaLogger().LogError(ARA_LOG_HERE) << "mpu_dma_malloc: out of memory for " << size << " bytes";
            return MPU_ERR_NO_MEMORY;
        }
        std::memset(block, 0, rounded);
        {
            DmaRegistry& reg = Registry();
            std::lock_guard<std::mutex> lock(reg.mutex);
            reg.blocks.emplace(block, size);
        }
        *address = block;
        return MPU_OK;
    });
}

std::int32_t mpu_dma_free(void* address) {
    return Guarded(Operation::kDmaFree, address, [&]() -> std::int32_t {
        {
            DmaRegistry& reg = Registry();
            std::lock_guard<std::mutex> lock(reg.mutex);
            if (reg.blocks.erase(address) == 0) {
                mediaLogger().LogError(ARA_LOG_HERE)
                    << "mpu_dma_free: address not allocated (or freed before)";
                return MPU_ERR_ILLEGAL_ADDRESS;
            }
        }
        std::free(address);
        return MPU_OK;
    });
}

}  // extern "C"
