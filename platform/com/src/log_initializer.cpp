#include "vrt/cm/utils/log_initializer.h"

#include "ara/log/logging.h"

namespace vrt::cm::utils {

bool CmLogger::LimitedEntry(const std::string& key, std::uint32_t periodMs, std::uint32_t maxCount) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    Window& window = windows_[key];
    if (window.count == 0 || now - window.start >= std::chrono::milliseconds(periodMs)) {
        window.start = now;
        window.count = 0;
    }
    if (window.count >= maxCount) {
        return false;
    }
    ++window.count;
    return true;
}

std::shared_ptr<CmLogger> LogInitializer::GetLogger() {
    static const std::shared_ptr<CmLogger> logger = std::make_shared<CmLogger>(
        ara::log::CreateLogger(CmLogger::kContextId, "Communication middleware", ara::log::LogLevel::kInfo));
    return logger;
}

}  // namespace vrt::cm::utils
