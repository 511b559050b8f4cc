#include "access_table.h"

#include <set>
#include <string>

namespace vcu::camera::internal {

namespace {

bool ValidSide(std::int32_t side) {
    return side > 0 && side <= kMaxPictureSide && side % 2 == 0;
}

}  // namespace

bool validateAccessTable(const std::vector<CameraAccessConfig>& configs, const ara::log::Logger& logger) {
    if (configs.empty()) {
        logger.LogError(ARA_LOG_HERE) << "camera access table is empty";
        return false;
    }
    bool valid = true;
    std::set<std::int32_t> ids;
    for (std::size_t index = 0; index < configs.size(); ++index) {
        const CameraAccessConfig& config = configs[index];
        const std::string entry = "camera access table entry " + std::to_string(index) + " (camera " +
                                  std::to_string(config.cameraId) + "): ";
        if (config.cameraId < 0) {
            logger.LogError(ARA_LOG_HERE) << entry << "cameraId is negative";
            valid = false;
        } else if (!ids.insert(config.cameraId).second) {
            logger.LogError(ARA_LOG_HERE)
                << entry << "cameraId " << config.cameraId << " appears more than once";
            valid = false;
        }
        if (config.imageFormat != kImageFormatNv12) {
            logger.LogError(ARA_LOG_HERE) << entry << "imageFormat \"" << config.imageFormat
                                          << "\" is not supported, expected \"" << kImageFormatNv12 << "\"";
            valid = false;
        }
        if (!ValidSide(config.width)) {
            logger.LogError(ARA_LOG_HERE) << entry << "width " << config.width
                                          << " is not an even number from 2 to " << kMaxPictureSide;
            valid = false;
        }
        if (!ValidSide(config.height)) {
            logger.LogError(ARA_LOG_HERE) << entry << "height " << config.height
                                          << " is not an even number from 2 to " << kMaxPictureSide;
            valid = false;
        }
    }
    return valid;
}

}  // namespace vcu::camera::internal
