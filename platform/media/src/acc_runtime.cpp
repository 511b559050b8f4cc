#include "acc/acc_runtime.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "media_log.h"
#include "mpu/fault_injection.h"

struct accrtContextRecord {
    std::int32_t deviceId;
};

namespace {

using mpu::fault::Operation;
using mpu::internal::mediaLogger;

constexpr std::int32_t kDeviceCount = 1;

// The runtime's bookkeeping. Start-up calls are counted rather than repeated, so that several components of
// one process can each make their own calls in any interleaving.
struct Runtime {
    std::mutex mutex;
    unsigned int initCount{0};
    unsigned int deviceOpenCount[kDeviceCount]{};
    std::unordered_map<accrtContextRecord*, std::unique_ptr<accrtContextRecord>> contexts;
};

Runtime& RuntimeState() {
    static Runtime instance;
    return instance;
}

bool ValidDevice(std::int32_t deviceId) {
    return deviceId >= 0 && deviceId < kDeviceCount;
}

}  // namespace

extern "C" {

accError accInit(const char* configPath) {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kAccInit)) {
        return injected;
    }
    if (configPath != nullptr && !std::ifstream(configPath).good()) {
        mediaLogger().LogError(ARA_LOG_HERE) << "accInit: cannot read configuration file " << configPath;
        return ACC_ERROR_INVALID_FILE;
    }
    Runtime& rt = RuntimeState();
    std::lock_guard<std::mutex> lock(rt.mutex);
    ++rt.initCount;
    return ACC_SUCCESS;
}

accError accFinalize() {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kAccFinalize)) {
        return injected;
    }
    Runtime& rt = RuntimeState();
    std::lock_guard<std::mutex> lock(rt.mutex);
    if (rt.initCount == 0) {
        return ACC_ERROR_REPEAT_FINALIZE;
    }
    --rt.initCount;
    return ACC_SUCCESS;
}

accError accrtSetDevice(std::int32_t deviceId) {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kSetDevice)) {
        return injected;
    }
    Runtime& rt = RuntimeState();
    std::lock_guard<std::mutex> lock(rt.mutex);
    if (rt.initCount == 0) {
        return ACC_ERROR_UNINITIALIZED;
    }
    if (!ValidDevice(deviceId)) {
        mediaLogger().LogError(ARA_LOG_HERE) << "accrtSetDevice: no device " << deviceId;
        return ACC_ERROR_INVALID_DEVICE;
    }
    ++rt.deviceOpenCount[deviceId];
    return ACC_SUCCESS;
}

accError accrtResetDevice(std::int32_t deviceId) {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kResetDevice)) {
        return injected;
    }
    Runtime& rt = RuntimeState();
    std::lock_guard<std::mutex> lock(rt.mutex);
    if (!ValidDevice(deviceId)) {
        return ACC_ERROR_INVALID_DEVICE;
    }
    if (rt.deviceOpenCount[deviceId] == 0) {
        return ACC_ERROR_DEVICE_NOT_SET;
    }
    --rt.deviceOpenCount[deviceId];
    return ACC_SUCCESS;
}

accError accrtCreateContext(accrtContext* context, std::int32_t deviceId) {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kCreateContext)) {
        return injected;
    }
    if (context == nullptr) {
        return ACC_ERROR_INVALID_PARAM;
    }
    Runtime& rt = RuntimeState();
    std::lock_guard<std::mutex> lock(rt.mutex);
    if (!ValidDevice(deviceId)) {
        return ACC_ERROR_INVALID_DEVICE;
    }
    if (rt.deviceOpenCount[deviceId] == 0) {
        return ACC_ERROR_DEVICE_NOT_SET;
    }
    auto record = std::make_unique<accrtContextRecord>(accrtContextRecord{deviceId});
    accrtContextRecord* handle = record.get();
    rt.contexts.emplace(handle, std::move(record));
    *context = handle;
    return ACC_SUCCESS;
}

accError accrtDestroyContext(accrtContext context) {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kDestroyContext)) {
        return injected;
    }
    Runtime& rt = RuntimeState();
    std::lock_guard<std::mutex> lock(rt.mutex);
    // Looked up by value: a handle that is not ours is never dereferenced.
    if (rt.contexts.erase(context) == 0) {
        return ACC_ERROR_INVALID_CONTEXT;
    }
    return ACC_SUCCESS;
}

accError accrtGetRunMode(accrtRunMode* runMode) {
    if (const std::int32_t injected = mpu::fault::Consume(Operation::kGetRunMode)) {
        return injected;
    }
    if (runMode == nullptr) {
        return ACC_ERROR_INVALID_PARAM;
    }
    const char* configured = std::getenv("ACC_RUN_MODE");
    *runMode = (configured != nullptr && std::strcmp(configured, "host") == 0) ? ACC_HOST : ACC_DEVICE;
    return ACC_SUCCESS;
}

}  // extern "C"
