#pragma once

#include "ara/log/logger.h"

namespace mpu::internal {

// The media unit's log context, "MPU": refused calls are logged here with the values that were refused.
ara::log::Logger& mediaLogger();

}  // namespace mpu::internal
