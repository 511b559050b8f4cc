#include "media_log.h"

#include "ara/log/logging.h"

namespace mpu::internal {

ara::log::Logger& mediaLogger() {
    static ara::log::Logger& logger =
        ara::log::CreateLogger("MPU", "Media processing unit", ara::log::LogLevel::kInfo);
    return logger;
}

}  // namespace mpu::internal
