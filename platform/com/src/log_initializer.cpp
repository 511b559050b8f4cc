#include "vrt/cm/utils/log_initializer.h"

#include "ara/log/logging.h"

namespace vrt::cm::utils {

std::shared_ptr<CmLogger> LogInitializer::GetLogger() {
    static const std::shared_ptr<CmLogger> logger = std::make_shared<CmLogger>(
        ara::log::CreateLogger(CmLogger::kContextId, "Communication middleware", ara::log::LogLevel::kInfo));
    return logger;
}

}  // namespace vrt::cm::utils
