#include "MbufModule.h"

#include <cstdint>
#include <type_traits>

#include "ara/log/logging.h"
#include "ara/rm/resource_manager.h"
#include "securec/memcpy_s.h"

// The module's lengths are unsigned long and are passed to the service's uint64_t parameters directly.
static_assert(std::is_same_v<std::uint64_t, unsigned long>, "the module needs an LP64 target");

namespace mbuf {

bool MbufModule::initialized = false;

namespace {
constexpr unsigned int kBlockAlignment = 32;
constexpr std::uint64_t kPoolFlags = 5;
}  // namespace

MbufModule::MbufModule()
    : logger_(ara::log::CreateLogger("mbuf_module", "MbufModule logger", ara::log::LogLevel::kDebug)) {}

void MbufModule::init(bool createPool, unsigned int blockCount, unsigned int blockSize) {
    if (!initialized) {
        // Without the resource manager the service may still work, so this is reported but not fatal.
        if (!ara::rm::RegisterMediaResource()) {
            logger_.LogError(ARA_LOG_HERE)
                << "Register rm failed!, please check whether rm_center process exists";
        }
        const HalBuffCfg config{};
        const int status = halBuffInit(&config);
        if (status != 0) {
            logger_.LogError(ARA_LOG_HERE) << "Init mbuf error, error code is: " << status;
            return;
        }
        logger_.LogInfo(ARA_LOG_HERE) << "Init mbuf completed without any error";
        initialized = true;
    }
    if (!createPool) {
        return;
    }

    HalBuffPoolAttr attr{};
    // Deliberately 32-bit: a size above UINT_MAX - 31 wraps to 0, which the service refuses.
    attr.blkSize = (blockSize + 31U) & ~31U;
    attr.blkNum = blockCount;
    attr.align = kBlockAlignment;
    attr.flags = kPoolFlags;
    const int status = halBuffCreatePool(&attr, &pool_);
    if (status != 0) {
        logger_.LogError(ARA_LOG_HERE) << "Create pool error, error code is: " << status;
    } else {
        logger_.LogDebug(ARA_LOG_HERE) << "Create pool completed without any error";
    }
}

Mbuf* MbufModule::fillMbuf(std::vector<unsigned char> data, unsigned long* length) {
    return fill(data.data(), data.size(), length);
}

Mbuf* MbufModule::fillMbuf(void* source, unsigned long* length, unsigned long size) {
    return fill(source, size, length);
}

Mbuf* MbufModule::fill(const void* source, unsigned long size, unsigned long* length) {
    Mbuf* const previous = currentMbuf_;
    int status = halMbufAllocByPool(pool_, &currentMbuf_);
    if (status != 0) {
        logger_.LogError(ARA_LOG_HERE) << "Allocate Mbuf error, error code is: " << status;
        currentMbuf_ = previous;
        return nullptr;
    }
    logger_.LogDebug(ARA_LOG_HERE) << "Allocate Mbuf completed without any error";

    void* dataPtr = nullptr;
    std::uint64_t dataSize = 0;
    status = halMbufGetDataPtr(currentMbuf_, &dataPtr, &dataSize);
    if (status != 0) {
        logger_.LogError(ARA_LOG_HERE) << "Get Mbuf data pointer error, error code is: " << status;
        return abandonFill(previous);
    }
    logger_.LogDebug(ARA_LOG_HERE) << "Get Mbuf data pointer completed without any error";

    // An empty vector may have no storage at all, and the bounded copy refuses a null source even for zero
    // bytes; there is nothing to copy anyway.
    if (size != 0) {
        status = memcpy_s(dataPtr, dataSize, source, size);
        if (status != 0) {
            logger_.LogError(ARA_LOG_HERE) << "Copy data to Mbuf error, error code is: " << status;
            return abandonFill(previous);
        }
    }

    status = halMbufSetDataLen(currentMbuf_, size);
    if (status != 0) {
        logger_.LogError(ARA_LOG_HERE) << "Set Mbuf data length error, error code is: " << status;
        return abandonFill(previous);
    }
    logger_.LogDebug(ARA_LOG_HERE) << "Set Mbuf data length completed without any error";

    status = halMbufGetDataLen(currentMbuf_, length);
    if (status != 0) {
        logger_.LogError(ARA_LOG_HERE) << "Get Mbuf data Length error, error code is: " << status;
        return abandonFill(previous);
    }
    logger_.LogDebug(ARA_LOG_HERE) << "Get Mbuf data length completed without any error";
    return currentMbuf_;
}

Mbuf* MbufModule::abandonFill(Mbuf* previous) {
    const int status = halMbufFree(currentMbuf_);
    if (status != 0) {
        logger_.LogError(ARA_LOG_HERE) << "free Mbuf error, error code is: " << status;
    }
    currentMbuf_ = previous;
    return nullptr;
}

void* MbufModule::getMbufData(Mbuf** mbuf, unsigned long* size) {
    // A null handle goes to the service as a null block, which it refuses like any invalid one.
    Mbuf* const block = (mbuf != nullptr) ? *mbuf : nullptr;
    void* dataPtr = nullptr;
    int status = halMbufGetDataPtr(block, &dataPtr, size);
    if (status != 0) {
        logger_.LogError(ARA_LOG_HERE) << "Get Mbuf data pointer error, error code is: " << status;
        return nullptr;
    }
    logger_.LogDebug(ARA_LOG_HERE) << "Get Mbuf data pointer completed without any error";

    const auto* const blockData = static_cast<const unsigned char*>(dataPtr);
    readBack_.assign(blockData, blockData + *size);

    status = halMbufFree(block);
    if (status != 0) {
        logger_.LogError(ARA_LOG_HERE) << "free Mbuf error, error code is: " << status;
        return nullptr;
    }
    logger_.LogDebug(ARA_LOG_HERE) << "free Mbuf completed without any error";
    return readBack_.data();
}

}  // namespace mbuf
