#pragma once

// Test seam: makes calls of the shared-buffer service fail on purpose, so the error paths of code that uses
// the service can be exercised. Not for production use; nothing fails unless a test asks for it.
//
// An armed failure makes the call return `status` at entry, before it looks at its arguments, and change
// nothing (RegisterMediaResource returns false instead). Thread-safe.

#include "fault/fault_table.h"

namespace hal_buff::fault {

// FailNext(operation, count, status): the next `count` calls of `operation` fail with `status` (non-zero),
// replacing what was armed before for it. ClearAll(): disarms every operation of every seam.
// Consume(operation): called by the service at the entry of each operation, the status to fail with or 0 to
// go on.
using namespace ::fault::seam;

enum class Operation {
    kRegisterMediaResource,
    kBuffInit,
    kCreatePool,
    kAllocByPool,
    kGetDataPtr,
    kSetDataLen,
    kGetDataLen,
    kFree,
    kCount,
};

}  // namespace hal_buff::fault
