#include <sys/mman.h>
#include <unistd.h>

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

// From this size on a block is a mapping of its own: the kernel hands its pages out zero-filled when they are
// first touched, so a picture buffer that is never written (or a table written only in part) costs no
// resident memory for its unused pages. Smaller blocks come from the heap and are cleared here.
constexpr std::uint64_t kMappedFrom = std::uint64_t{1} << 20;

struct Block {
    std::uint64_t size;  // as allocated: rounded up to the alignment, or to whole pages when mapped
    bool mapped;
};

// Blocks handed out, by address. Kept apart from the blocks themselves, so a stray pointer is recognised by
// value and never dereferenced.
struct DmaRegistry {
    std::mutex mutex;
    std::unordered_map<void*, Block> blocks;
};

DmaRegistry& Registry() {
    static DmaRegistry instance;
    return instance;
}

// Beyond this the request is a mistake, not a picture.
constexpr std::uint64_t kLargestBlock = std::uint64_t{1} << 34;

std::uint64_t RoundUp(std::uint64_t size, std::uint64_t unit) {
    return (size + unit - 1) / unit * unit;
}

// A zero-filled block of `size` bytes, or nullptr.
void* Allocate(std::uint64_t size, Block* block) {
    if (size >= kMappedFrom) {
        const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
        block->size = RoundUp(size, page);
        block->mapped = true;
        void* mapping =
            mmap(nullptr, block->size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return mapping == MAP_FAILED ? nullptr : mapping;
    }
    // aligned_alloc wants a multiple of the alignment.
    block->size = RoundUp(size, MPU_DMA_ALIGNMENT);
    block->mapped = false;
    void* memory = std::aligned_alloc(MPU_DMA_ALIGNMENT, block->size);
    if (memory != nullptr) {
        std::memset(memory, 0, block->size);
    }
    return memory;
}

void Release(void* address, const Block& block) {
    if (block.mapped) {
        munmap(address, block.size);
    } else {
        std::free(address);
    }
}

}  // namespace

extern "C" {

std::int32_t mpu_dma_malloc(std::uint32_t memType, void** address, std::uint64_t size) {
    return Guarded(Operation::kDmaMalloc, address, [&]() -> std::int32_t {
        if (memType != MPU_DMA_MEM_NORMAL || size == 0 || size > kLargestBlock) {
            mediaLogger().LogError(ARA_LOG_HERE)
                << "mpu_dma_malloc: refused memory type " << memType << ", size " << size;
            return MPU_ERR_ILLEGAL_PARAM;
        }
        Block block{};
        void* memory = Allocate(size, &block);
        if (memory == nullptr) {
            mediaLogger().LogError(ARA_LOG_HERE) << "mpu_dma_malloc: out of memory for " << size << " bytes";
            return MPU_ERR_NO_MEMORY;
        }
        {
            DmaRegistry& reg = Registry();
            std::lock_guard<std::mutex> lock(reg.mutex);
            reg.blocks.emplace(memory, block);
        }
        *address = memory;
        return MPU_OK;
    });
}

std::int32_t mpu_dma_free(void* address) {
    return Guarded(Operation::kDmaFree, address, [&]() -> std::int32_t {
        Block block{};
        {
            DmaRegistry& reg = Registry();
            std::lock_guard<std::mutex> lock(reg.mutex);
            const auto found = reg.blocks.find(address);
            if (found == reg.blocks.end()) {
                mediaLogger().LogError(ARA_LOG_HERE)
                    << "mpu_dma_free: address not allocated (or freed before)";
                return MPU_ERR_ILLEGAL_ADDRESS;
            }
            block = found->second;
            reg.blocks.erase(found);
        }
        Release(address, block);
        return MPU_OK;
    });
}

}  // extern "C"
