#pragma once

// Shared-buffer service: pools of fixed-size blocks (mbufs) kept in memory that other processes can map, so a
// block is handed over by its share handle instead of being copied.
//
// Every call returns an int32_t status: HAL_BUFF_OK (0) on success, one of the HAL_BUFF_ERR_* codes below
// otherwise. A failed call changes nothing. Handles are checked against the live pools before use, so a
// pointer the service did not hand out (or a block already freed) is refused, never dereferenced.
// All calls are thread-safe.

#include <cstddef>
#include <cstdint>

// Opaque to the user: a pool and one of its blocks.
struct HalBuffPool;
struct Mbuf;
using PoolHandle = HalBuffPool*;

enum HalBuffStatus : std::int32_t {
    HAL_BUFF_OK = 0,
    HAL_BUFF_ERR_NULL_POINTER = 1,         // a required pointer argument is null
    HAL_BUFF_ERR_NOT_INITIALIZED = 2,      // halBuffInit has not succeeded (or halBuffDeinit ran since)
    HAL_BUFF_ERR_ALREADY_INITIALIZED = 3,  // halBuffInit called twice without halBuffDeinit
    HAL_BUFF_ERR_INVALID_CONFIG = 4,       // reserved bytes of HalBuffCfg are not zero
    HAL_BUFF_ERR_INVALID_ATTR = 5,      // block size or count 0, bad alignment, or a reserved field not zero
    HAL_BUFF_ERR_INVALID_HANDLE = 6,    // pool or block not handed out by a live pool
    HAL_BUFF_ERR_NOT_ALLOCATED = 7,     // block of a live pool that is not allocated (e.g. double free)
    HAL_BUFF_ERR_POOL_EMPTY = 8,        // every block of the pool is allocated
    HAL_BUFF_ERR_LENGTH_TOO_LARGE = 9,  // data length beyond the block's data area
    HAL_BUFF_ERR_POOL_BUSY = 10,        // pool still has allocated blocks
    HAL_BUFF_ERR_NO_MEMORY = 11,        // the pool's shared memory could not be created or mapped
};

// Largest alignment a pool accepts: blocks are laid out from a page-aligned mapping, so anything up to the
// smallest page size holds for every block.
inline constexpr std::uint32_t kHalBuffMaxAlignment = 4096;

// Service configuration. This service has no tunables: the record must be all zero, which selects the
// defaults, and keeps its size so callers built for the vehicle's service pass the same record.
struct HalBuffCfg {
    std::uint8_t reserved[5632];
};
static_assert(sizeof(HalBuffCfg) == 5632, "HalBuffCfg must keep its 5632-byte layout");

// Pool attributes. The reserved fields must be zero.
struct HalBuffPoolAttr {
    std::int32_t reserved0;
    std::int32_t reserved1;
    std::uint32_t blkSize;  // bytes of one block's data area, > 0
    std::uint32_t blkNum;   // number of blocks, > 0
    std::uint32_t align;    // power of two, at most kHalBuffMaxAlignment; every data area starts on it
    std::uint32_t reserved2;
    std::uint64_t flags;  // placement hints; accepted and ignored: every pool lives in shared memory here
};
static_assert(offsetof(HalBuffPoolAttr, reserved0) == 0);
static_assert(offsetof(HalBuffPoolAttr, reserved1) == 4);
static_assert(offsetof(HalBuffPoolAttr, blkSize) == 8);
static_assert(offsetof(HalBuffPoolAttr, blkNum) == 12);
static_assert(offsetof(HalBuffPoolAttr, align) == 16);
static_assert(offsetof(HalBuffPoolAttr, flags) == 24);
static_assert(sizeof(HalBuffPoolAttr) == 32);

// Where another process finds a block: map `fd` (the pool's memfd, owned by the pool; duplicate it or pass it
// over a UNIX socket to share it) and read `size` bytes at `offset`. Valid while the pool lives.
struct HalMbufShareHandle {
    std::int32_t fd;
    std::uint64_t offset;   // of the block's data area in the memfd
    std::uint64_t size;     // data-area size
    std::uint64_t dataLen;  // data length set on the block
};

extern "C" {

// Starts the service. `cfg` must point to an all-zero record.
std::int32_t halBuffInit(const HalBuffCfg* cfg);

// Ends the service: destroys every pool, whatever blocks are still allocated. Every handle and data address
// obtained before becomes invalid.
std::int32_t halBuffDeinit();

// Creates a pool of attr->blkNum blocks. The memory is reserved, not touched: pages are only backed once
// written. On success writes the new pool to *pool.
std::int32_t halBuffCreatePool(const HalBuffPoolAttr* attr, PoolHandle* pool);

// Destroys a pool none of whose blocks is allocated.
std::int32_t halBuffDestroyPool(PoolHandle pool);

// Takes a free block of `pool`, with data length 0, and writes it to *mbuf.
std::int32_t halMbufAllocByPool(PoolHandle pool, Mbuf** mbuf);

// Address and size of an allocated block's data area.
std::int32_t halMbufGetDataPtr(Mbuf* mbuf, void** data, std::uint64_t* size);

// Records how many bytes of the data area hold data.
std::int32_t halMbufSetDataLen(Mbuf* mbuf, std::uint64_t len);
std::int32_t halMbufGetDataLen(Mbuf* mbuf, std::uint64_t* len);

// Returns an allocated block to its pool.
std::int32_t halMbufFree(Mbuf* mbuf);

// Describes an allocated block for another process.
std::int32_t halMbufGetShareHandle(Mbuf* mbuf, HalMbufShareHandle* handle);

}  // extern "C"
