#pragma once

namespace ara::rm {

// Registers this process with the platform's resource manager, which media buffers need on the vehicle.
// Here the shared-buffer service manages its resources itself, so registration always succeeds unless a
// test arms hal_buff::fault::Operation::kRegisterMediaResource. Thread-safe.
bool RegisterMediaResource();

}  // namespace ara::rm
