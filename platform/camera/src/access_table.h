#pragma once

#include <vector>

#include "ara/log/logger.h"
#include "vcu/camera/camera_types.h"

namespace vcu::camera::internal {

inline constexpr int kMaxPictureSide = 8192;

// Checks the access table CameraInit was given; logs each refused entry with its field and value.
bool validateAccessTable(const std::vector<CameraAccessConfig>& configs, const ara::log::Logger& logger);

}  // namespace vcu::camera::internal
