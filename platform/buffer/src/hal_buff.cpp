#include "hal_buff/hal_buff.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "hal_buff/fault_injection.h"
#include "shared_memory.h"

// Block bookkeeping lives here, in process memory, never in the shared pages: another process that maps the
// pool can corrupt data but not the service's view of which blocks are in use.
struct Mbuf {
    HalBuffPool* pool;
    std::uint64_t offset;  // of the data area in the pool's shared memory
    std::uint64_t dataLen;
    bool allocated;
};

struct HalBuffPool {
    HalBuffPool(hal_buff::SharedMemory sharedMemory, const HalBuffPoolAttr& attr, std::uint64_t stride)
        : memory(std::move(sharedMemory)), blockSize(attr.blkSize), blocks(attr.blkNum) {
        freeBlocks.reserve(blocks.size());
        for (std::size_t i = blocks.size(); i-- > 0;) {
            blocks[i] = Mbuf{this, i * stride, 0, false};
            freeBlocks.push_back(&blocks[i]);
        }
    }
    HalBuffPool(const HalBuffPool&) = delete;
    HalBuffPool& operator=(const HalBuffPool&) = delete;

    bool HasAllocatedBlocks() const { return freeBlocks.size() != blocks.size(); }

    // The block `candidate` designates, if it is one of ours. Compares addresses as integers and returns a
    // pointer derived from `blocks`, so a foreign pointer is never dereferenced.
    Mbuf* Find(const Mbuf* candidate) {
        const auto address = reinterpret_cast<std::uintptr_t>(candidate);
        const auto first = reinterpret_cast<std::uintptr_t>(blocks.data());
        if (address < first) {
            return nullptr;
        }
        const std::uintptr_t distance = address - first;
        if (distance % sizeof(Mbuf) != 0 || distance / sizeof(Mbuf) >= blocks.size()) {
            return nullptr;
        }
        return &blocks[distance / sizeof(Mbuf)];
    }

    hal_buff::SharedMemory memory;
    std::uint32_t blockSize;
    std::vector<Mbuf> blocks;  // sized once: handed-out Mbuf* point into it
    std::vector<Mbuf*> freeBlocks;
};

namespace {

using hal_buff::fault::Operation;

// A pool larger than this is a size computation gone wrong, not a real request.
constexpr std::uint64_t kMaxPoolBytes = std::uint64_t{1} << 40;

class BufferService {
  public:
    std::int32_t Init(const HalBuffCfg* cfg) {
        if (cfg == nullptr) {
            return HAL_BUFF_ERR_NULL_POINTER;
        }
        const auto* const end = cfg->reserved + sizeof(cfg->reserved);
        if (std::any_of(cfg->reserved, end, [](std::uint8_t byte) { return byte != 0; })) {
            return HAL_BUFF_ERR_INVALID_CONFIG;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (initialized_) {
            return HAL_BUFF_ERR_ALREADY_INITIALIZED;
        }
        initialized_ = true;
        return HAL_BUFF_OK;
    }

    std::int32_t Deinit() {
        std::unordered_map<const HalBuffPool*, std::unique_ptr<HalBuffPool>> doomed;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!initialized_) {
                return HAL_BUFF_ERR_NOT_INITIALIZED;
            }
            initialized_ = false;
            doomed.swap(pools_);
        }
        return HAL_BUFF_OK;  // unmapping happens here, outside the lock
    }

    std::int32_t CreatePool(const HalBuffPoolAttr* attr, PoolHandle* pool) {
        if (attr == nullptr || pool == nullptr) {
            return HAL_BUFF_ERR_NULL_POINTER;
        }
        const bool alignmentValid =
            attr->align != 0 && (attr->align & (attr->align - 1)) == 0 && attr->align <= kHalBuffMaxAlignment;
        if (attr->blkSize == 0 || attr->blkNum == 0 || !alignmentValid || attr->reserved0 != 0 ||
            attr->reserved1 != 0 || attr->reserved2 != 0) {
            return HAL_BUFF_ERR_INVALID_ATTR;
        }
        // Each data area starts on the alignment; the mapping itself is page-aligned.
        const std::uint64_t stride =
            (std::uint64_t{attr->blkSize} + attr->align - 1) & ~std::uint64_t{attr->align - 1};
        if (stride > kMaxPoolBytes / attr->blkNum) {
            return HAL_BUFF_ERR_NO_MEMORY;
        }

        std::lock_guard<std::mutex> lock(mutex_);
        if (!initialized_) {
            return HAL_BUFF_ERR_NOT_INITIALIZED;
        }
        std::optional<hal_buff::SharedMemory> memory =
            hal_buff::SharedMemory::Create("hal_buff_pool", static_cast<std::size_t>(stride * attr->blkNum));
        if (!memory) {
            return HAL_BUFF_ERR_NO_MEMORY;
        }
        auto created = std::make_unique<HalBuffPool>(std::move(*memory), *attr, stride);
        HalBuffPool* const handle = created.get();
        pools_.emplace(handle, std::move(created));
        *pool = handle;
        return HAL_BUFF_OK;
    }

    std::int32_t DestroyPool(PoolHandle pool) {
        std::unique_ptr<HalBuffPool> doomed;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto found = pools_.find(pool);
            if (found == pools_.end()) {
                return pool == nullptr ? HAL_BUFF_ERR_NULL_POINTER : HAL_BUFF_ERR_INVALID_HANDLE;
            }
            if (found->second->HasAllocatedBlocks()) {
                return HAL_BUFF_ERR_POOL_BUSY;
            }
            doomed = std::move(found->second);
            pools_.erase(found);
        }
        return HAL_BUFF_OK;
    }

    std::int32_t Alloc(PoolHandle pool, Mbuf** mbuf) {
        if (mbuf == nullptr) {
            return HAL_BUFF_ERR_NULL_POINTER;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = pools_.find(pool);
        if (found == pools_.end()) {
            return pool == nullptr ? HAL_BUFF_ERR_NULL_POINTER : HAL_BUFF_ERR_INVALID_HANDLE;
        }
        std::vector<Mbuf*>& freeBlocks = found->second->freeBlocks;
        if (freeBlocks.empty()) {
            return HAL_BUFF_ERR_POOL_EMPTY;
        }
        Mbuf* const block = freeBlocks.back();
        freeBlocks.pop_back();
        block->allocated = true;
        block->dataLen = 0;
        *mbuf = block;
        return HAL_BUFF_OK;
    }

    std::int32_t Free(Mbuf* mbuf) {
        std::lock_guard<std::mutex> lock(mutex_);
        Mbuf* block = nullptr;
        if (const std::int32_t status = FindAllocated(mbuf, &block); status != HAL_BUFF_OK) {
            return status;
        }
        block->allocated = false;
        block->dataLen = 0;
        block->pool->freeBlocks.push_back(block);
        return HAL_BUFF_OK;
    }

    // Runs `access` on the allocated block `mbuf` designates, under the lock.
    template <typename Access>
    std::int32_t WithBlock(Mbuf* mbuf, Access access) {
        std::lock_guard<std::mutex> lock(mutex_);
        Mbuf* block = nullptr;
        if (const std::int32_t status = FindAllocated(mbuf, &block); status != HAL_BUFF_OK) {
            return status;
        }
        return access(*block);
    }

  private:
    std::int32_t FindAllocated(const Mbuf* mbuf, Mbuf** block) {
        if (mbuf == nullptr) {
            return HAL_BUFF_ERR_NULL_POINTER;
        }
        for (auto& entry : pools_) {
            if (Mbuf* const candidate = entry.second->Find(mbuf); candidate != nullptr) {
                if (!candidate->allocated) {
                    return HAL_BUFF_ERR_NOT_ALLOCATED;
                }
                *block = candidate;
                return HAL_BUFF_OK;
            }
        }
        return HAL_BUFF_ERR_INVALID_HANDLE;
    }

    std::mutex mutex_;
    bool initialized_{false};
    std::unordered_map<const HalBuffPool*, std::unique_ptr<HalBuffPool>> pools_;
};

BufferService& Service() {
    static BufferService service;
    return service;
}

}  // namespace

extern "C" {

std::int32_t halBuffInit(const HalBuffCfg* cfg) {
    if (const std::int32_t injected = hal_buff::fault::Consume(Operation::kBuffInit); injected != 0) {
        return injected;
    }
    return Service().Init(cfg);
}

std::int32_t halBuffDeinit() {
    return Service().Deinit();
}

std::int32_t halBuffCreatePool(const HalBuffPoolAttr* attr, PoolHandle* pool) {
    if (const std::int32_t injected = hal_buff::fault::Consume(Operation::kCreatePool); injected != 0) {
        return injected;
    }
    return Service().CreatePool(attr, pool);
}

std::int32_t halBuffDestroyPool(PoolHandle pool) {
    return Service().DestroyPool(pool);
}

std::int32_t halMbufAllocByPool(PoolHandle pool, Mbuf** mbuf) {
    if (const std::int32_t injected = hal_buff::fault::Consume(Operation::kAllocByPool); injected != 0) {
        return injected;
    }
    return Service().Alloc(pool, mbuf);
}

std::int32_t halMbufGetDataPtr(Mbuf* mbuf, void** data, std::uint64_t* size) {
    if (const std::int32_t injected = hal_buff::fault::Consume(Operation::kGetDataPtr); injected != 0) {
        return injected;
    }
    if (data == nullptr || size == nullptr) {
        return HAL_BUFF_ERR_NULL_POINTER;
    }
    return Service().WithBlock(mbuf, [&](const Mbuf& block) {
        *data = block.pool->memory.Base() + block.offset;
        *size = block.pool->blockSize;
        return HAL_BUFF_OK;
    });
}

std::int32_t halMbufSetDataLen(Mbuf* mbuf, std::uint64_t len) {
    if (const std::int32_t injected = hal_buff::fault::Consume(Operation::kSetDataLen); injected != 0) {
        return injected;
    }
    return Service().WithBlock(mbuf, [&](Mbuf& block) {
        if (len > block.pool->blockSize) {
            return HAL_BUFF_ERR_LENGTH_TOO_LARGE;
        }
        block.dataLen = len;
        return HAL_BUFF_OK;
    });
}

std::int32_t halMbufGetDataLen(Mbuf* mbuf, std::uint64_t* len) {
    if (const std::int32_t injected = hal_buff::fault::Consume(Operation::kGetDataLen); injected != 0) {
        return injected;
    }
    if (len == nullptr) {
        return HAL_BUFF_ERR_NULL_POINTER;
    }
    return Service().WithBlock(mbuf, [&](const Mbuf& block) {
        *len = block.dataLen;
        return HAL_BUFF_OK;
    });
}

std::int32_t halMbufFree(Mbuf* mbuf) {
    if (const std::int32_t injected = hal_buff::fault::Consume(Operation::kFree); injected != 0) {
        return injected;
    }
    return Service().Free(mbuf);
}

std::int32_t halMbufGetShareHandle(Mbuf* mbuf, HalMbufShareHandle* handle) {
    if (handle == nullptr) {
        return HAL_BUFF_ERR_NULL_POINTER;
    }
    return Service().WithBlock(mbuf, [&](const Mbuf& block) {
        *handle =
            HalMbufShareHandle{block.pool->memory.Fd(), block.offset, block.pool->blockSize, block.dataLen};
        return HAL_BUFF_OK;
    });
}

}  // extern "C"
