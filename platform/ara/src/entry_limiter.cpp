#include "entry_limiter.h"

namespace ara::log::internal {

bool EntryLimiter::Allow(std::string_view key, std::uint32_t periodMs, std::uint32_t maxCount) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = windows_.find(std::string(key));
    if (found == windows_.end()) {
        found = windows_.emplace(std::string(key), Window{now, 0}).first;
    }
    Window& window = found->second;
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

}  // namespace ara::log::internal
