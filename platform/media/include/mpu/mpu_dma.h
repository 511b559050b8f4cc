#pragma once

// Memory that the picture and encoder channels can reach.
//
// Blocks are aligned to MPU_DMA_ALIGNMENT bytes and zero-filled; the pages of a large block become resident
// only when first touched. The media system tracks every block it
// handed out: freeing an address it did not hand out, or one already freed, is refused and changes nothing.
// Thread-safe.

#include <cstdint>

#include "mpu/mpu_common.h"

inline constexpr std::uint32_t MPU_DMA_ALIGNMENT = 64;

enum mpu_dma_mem_type : std::uint32_t {
    MPU_DMA_MEM_NORMAL = 0,  // the only type of this platform
};

extern "C" {

// Allocates `size` (> 0) bytes of memory type `memType`; `*address` receives the block.
std::int32_t mpu_dma_malloc(std::uint32_t memType, void** address, std::uint64_t size);

// Frees a block allocated by mpu_dma_malloc.
std::int32_t mpu_dma_free(void* address);

}  // extern "C"
