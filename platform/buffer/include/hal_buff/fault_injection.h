#pragma once

// Test seam: makes calls of the shared-buffer service fail on purpose, so the error paths of code that uses
// the service can be exercised. Not for production use; nothing fails unless a test asks for it.
//
// An armed failure makes the call return `status` at entry, before it looks at its arguments, and change
// nothing (RegisterMediaResource returns false instead). Thread-safe.

#include <cstdint>

namespace hal_buff::fault {

enum class Operation {
    kRegisterMediaResource,
    kBuffInit,
    kCreatePool,
    kAllocByPool,
    kGetDataPtr,
    kSetDataLen,
    kGetDataLen,
    kFree,
};

// The next `count` calls of `operation` fail with `status` (non-zero). Replaces what was armed before for
// that operation.
void FailNext(Operation operation, unsigned int count, std::int32_t status);

// Disarms every operation.
void ClearAll();

// Called by the service at the entry of each operation: the status to fail with, or 0 to go on.
std::int32_t Consume(Operation operation);

}  // namespace hal_buff::fault
