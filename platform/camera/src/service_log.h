#pragma once

#include "ara/log/logger.h"

namespace vcu::camera::internal {

// The camera service's log context, "VCAM".
ara::log::Logger& serviceLogger();

}  // namespace vcu::camera::internal
