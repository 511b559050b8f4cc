#pragma once

#include <string>

#include "ara/log/logger.h"
#include "mpu/mpu_owners.h"

// How the preprocessor's owners report giving a resource back: `released` at info level (nothing when empty)
// on success, else `failed` at error level, followed by the status when `withStatus`; each line starts with
// the camera's tag. The logger must outlive the report.
mpu::ReleaseReport TeardownReport(ara::log::Logger& logger, std::string cameraTag, std::string released,
                                  std::string failed, bool withStatus);
