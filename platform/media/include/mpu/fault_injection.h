#pragma once

// Test seam: makes calls of the accelerator runtime and the media API fail on purpose, so the error paths of
// code that uses them can be exercised. Not for production use; nothing fails unless a test asks for it.
//
// An armed failure makes the call return `status` at entry, before it looks at its arguments, and change
// nothing (mpu_venc_get_fd returns -1). Thread-safe.

#include <cstdint>

namespace mpu::fault {

enum class Operation {
    kAccInit,
    kAccFinalize,
    kSetDevice,
    kResetDevice,
    kCreateContext,
    kDestroyContext,
    kGetRunMode,
    kSysInit,
    kSysExit,
    kCreateEpoll,
    kCtlEpoll,
    kWaitEpoll,
    kDmaMalloc,
    kDmaFree,
    kVpcCreateChannel,
    kVpcDestroyChannel,
    kVpcSetWorkspace,
    kVpcGetLutMemSize,
    kVpcGetRemapLut,
    kVpcLutRemap,
    kVpcCropResize,
    kVpcConvertColor,
    kVpcGetProcessResult,
    kVencGetModParam,
    kVencSetModParam,
    kVencCreateChannel,
    kVencDestroyChannel,
    kVencStartChannel,
    kVencStopChannel,
    kVencGetFd,
    kVencSendFrame,
    kVencQueryStatus,
    kVencGetStream,
    kVencReleaseStream,
    kCount,
};

// The next `count` calls of `operation` fail with `status` (non-zero). Replaces what was armed before for
// that operation.
void FailNext(Operation operation, unsigned int count, std::int32_t status);

// Disarms every operation.
void ClearAll();

// Called by the media unit at the entry of each operation: the status to fail with, or 0 to go on.
std::int32_t Consume(Operation operation);

}  // namespace mpu::fault
