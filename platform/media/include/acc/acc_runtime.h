#pragma once

// Accelerator runtime: process start-up, the device and per-thread contexts.
//
// The runtime is shared by the whole process. accInit/accFinalize and accrtSetDevice/accrtResetDevice are
// reference-counted: every component (one per camera here) makes its own start-up and tear-down calls, the
// first one starts the runtime, later ones only count, and the last matching tear-down ends it. Every call
// returns an accError status: ACC_SUCCESS (0) or one of the error codes below; a failed call changes
// nothing. All calls are thread-safe.

#include <cstdint>

using accError = std::int32_t;

enum acc_error_code : std::int32_t {
    ACC_SUCCESS = 0,
    ACC_ERROR_INVALID_PARAM = 100000,    // a required pointer is null or a value is out of range
    ACC_ERROR_UNINITIALIZED = 100001,    // accInit has not been called (or every accInit was finalized)
    ACC_ERROR_REPEAT_FINALIZE = 100002,  // accFinalize without a matching accInit
    ACC_ERROR_INVALID_DEVICE = 100003,   // no such device (this platform has device 0 only)
    ACC_ERROR_DEVICE_NOT_SET = 100004,   // accrtResetDevice/accrtCreateContext before accrtSetDevice
    ACC_ERROR_INVALID_CONTEXT = 100005,  // not a context created by accrtCreateContext, or destroyed
    ACC_ERROR_INVALID_FILE = 100006,     // the configuration file given to accInit cannot be read
};

// Where the caller runs: on the device itself, or on a host that drives the device from outside. The media
// unit's encoder is usable in device mode only.
enum accrtRunMode : std::int32_t {
    ACC_DEVICE = 0,
    ACC_HOST = 1,
};

// A runtime context; opaque.
struct accrtContextRecord;
using accrtContext = accrtContextRecord*;

extern "C" {

// Starts the runtime (first call) or counts a further user. `configPath` may be null; otherwise it names a
// runtime configuration file, which must be readable (its content is not needed on this platform).
accError accInit(const char* configPath);

// Counts one user off; the last one stops the runtime.
accError accFinalize();

// Opens device `deviceId` for the caller (counted like accInit). Needs accInit.
accError accrtSetDevice(std::int32_t deviceId);

// Closes the device for one caller.
accError accrtResetDevice(std::int32_t deviceId);

// Creates a context on an open device; `*context` receives it.
accError accrtCreateContext(accrtContext* context, std::int32_t deviceId);

// Destroys a context created by accrtCreateContext.
accError accrtDestroyContext(accrtContext context);

// Reports the run mode. Needs no start-up. The platform runs as ACC_DEVICE; the environment variable
// ACC_RUN_MODE=host makes it report ACC_HOST, so that host-side behaviour can be exercised.
accError accrtGetRunMode(accrtRunMode* runMode);

}  // extern "C"
