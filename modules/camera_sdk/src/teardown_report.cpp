#include "teardown_report.h"

#include <cstdint>
#include <utility>

#include "ara/log/logging.h"

mpu::ReleaseReport TeardownReport(ara::log::Logger& logger, std::string cameraTag, std::string released,
                                  std::string failed, bool withStatus) {
    return [&logger, cameraTag = std::move(cameraTag), released = std::move(released),
            failed = std::move(failed), withStatus](std::int32_t status) {
        if (status == 0) {
            if (!released.empty()) {
                logger.LogInfo(ARA_LOG_HERE) << cameraTag << released;
            }
        } else if (withStatus) {
            logger.LogError(ARA_LOG_HERE) << cameraTag << failed << status;
        } else {
            logger.LogError(ARA_LOG_HERE) << cameraTag << failed;
        }
    };
}
