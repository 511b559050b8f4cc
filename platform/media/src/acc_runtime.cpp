#include "acc/acc_runtime.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "api_entry.h"
#include "media_log.h"
#include "mpu/fault_injection.h"

struct accrtContextRecord {
    std::int32_t deviceId;
};

namespace {

using mpu::fault::Operation;
using mpu::internal::Guarded;
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

// ACC_SUCCESS when `deviceId` names a device that was set and not reset since, the reason otherwise.
accError OpenDeviceStatus(const Runtime& rt, std::int32_t deviceId) {
    if (!ValidDevice(deviceId)) {
        return ACC_ERROR_INVALID_DEVICE;
    }
    return rt.deviceOpenCount[deviceId] == 0 ? ACC_ERROR_DEVICE_NOT_SET : ACC_SUCCESS;
}

// The entry of a call on the runtime's bookkeeping: `body` runs under the runtime's lock.
template <class Body>
accError WithRuntime(Operation operation, Body body) {
    return Guarded(operation, [&] {
        Runtime& rt = RuntimeState();
        std::lock_guard<std::mutex> lock(rt.mutex);
        return body(rt);
    });
}

}  // namespace

extern "C" {

accError accInit(const char* configPath) {
    return WithRuntime(Operation::kAccInit, [configPath](Runtime& rt) -> accError {
        if (configPath != nullptr && !std::ifstream(configPath).good()) {
            mediaLogger().LogError(ARA_LOG_HERE) << "accInit: cannot read configuration file " << configPath;
            return ACC_ERROR_INVALID_FILE;
        }
        ++rt.initCount;
        return ACC_SUCCESS;
    });
}

accError accFinalize() {
    return WithRuntime(Operation::kAccFinalize, [](Runtime& rt) -> accError {
        if (rt.initCount == 0) {
            return ACC_ERROR_REPEAT_FINALIZE;
        }
        --rt.initCount;
        return ACC_SUCCESS;
    });
}

accError accrtSetDevice(std::int32_t deviceId) {
    return WithRuntime(Operation::kSetDevice, [deviceId](Runtime& rt) -> accError {
        if (rt.initCount == 0) {
            return ACC_ERROR_UNINITIALIZED;
        }
        if (!ValidDevice(deviceId)) {
            mediaLogger().LogError(ARA_LOG_HERE) << "accrtSetDevice: no device " << deviceId;
            return ACC_ERROR_INVALID_DEVICE;
        }
        ++rt.deviceOpenCount[deviceId];
        return ACC_SUCCESS;
    });
}

accError accrtResetDevice(std::int32_t deviceId) {
    return WithRuntime(Operation::kResetDevice, [deviceId](Runtime& rt) -> accError {
        if (const accError status = OpenDeviceStatus(rt, deviceId)) {
            return status;
        }
        --rt.deviceOpenCount[deviceId];
        return ACC_SUCCESS;
    });
}

accError accrtCreateContext(accrtContext* context, std::int32_t deviceId) {
    return WithRuntime(Operation::kCreateContext, [context, deviceId](Runtime& rt) -> accError {
        if (context == nullptr) {
            return ACC_ERROR_INVALID_PARAM;
        }
        if (const accError status = OpenDeviceStatus(rt, deviceId)) {
            return status;
        }
        auto record = std::make_unique<accrtContextRecord>(accrtContextRecord{deviceId});
        accrtContextRecord* handle = record.get();
        rt.contexts.emplace(handle, std::move(record));
        *context = handle;
        return ACC_SUCCESS;
    });
}

accError accrtDestroyContext(accrtContext context) {
    // Looked up by value: a handle that is not ours is never dereferenced.
    return WithRuntime(Operation::kDestroyContext, [context](Runtime& rt) -> accError {
        return rt.contexts.erase(context) == 0 ? ACC_ERROR_INVALID_CONTEXT : ACC_SUCCESS;
    });
}

accError accrtGetRunMode(accrtRunMode* runMode) {
    return Guarded(Operation::kGetRunMode, [&]() -> std::int32_t {
        if (runMode == nullptr) {
            return ACC_ERROR_INVALID_PARAM;
        }
        const char* configured = std::getenv("ACC_RUN_MODE");
        *runMode = (configured != nullptr && std::strcmp(configured, "host") == 0) ? ACC_HOST : ACC_DEVICE;
        return ACC_SUCCESS;
    });
}

}  // extern "C"
