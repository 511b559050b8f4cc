#pragma once

#include <cstdint>

#include "mpu/fault_injection.h"
#include "mpu/mpu_common.h"

namespace mpu::internal {

// The entry of a call of the media API or the accelerator runtime: a failure armed for `operation` (the test
// seam) is returned at once, before any argument is looked at; otherwise `body` runs and gives the status.
template <class Body>
std::int32_t Guarded(fault::Operation operation, Body body) {
    if (const std::int32_t injected = fault::Consume(operation)) {
        return injected;
    }
    return body();
}

// As above, for a call whose record `required` must be given: a null one is refused with MPU_ERR_NULL_PTR.
template <class Body>
std::int32_t Guarded(fault::Operation operation, const void* required, Body body) {
    return Guarded(operation,
                   [&]() -> std::int32_t { return required == nullptr ? MPU_ERR_NULL_PTR : body(); });
}

}  // namespace mpu::internal
