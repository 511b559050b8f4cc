#pragma once

// Test seam: makes calls of the accelerator runtime and the media API fail on purpose, so the error paths of
// code that uses them can be exercised. Not for production use; nothing fails unless a test asks for it.
//
// An armed failure makes the call return `status` at entry, before it looks at its arguments, and change
// nothing (mpu_venc_get_fd returns -1). Thread-safe.

#include "fault/fault_table.h"

namespace mpu::fault {

// FailNext(operation, count, status): the next `count` calls of `operation` fail with `status` (non-zero),
// replacing what was armed before for it. ClearAll(): disarms every operation of every seam.
// Consume(operation): called by the media unit at the entry of each operation, the status to fail with or 0
// to go on.
using namespace ::fault::seam;

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

}  // namespace mpu::fault
