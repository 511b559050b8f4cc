#include "vrt/cm/someip/someip_status.h"

#include <iterator>

namespace vrt::cm::someip {

// Indexed by DropReason.
constexpr const char* kDropReasonNames[] = {
    "truncated", "wrongLength", "wrongProtocol", "unknownService",   "unknownMethod", "tpBadOffset",
    "tpOverlap", "tpTooLarge",  "tpTimedOut",    "tpEvicted",        "tpDuplicate",   "queueFull",
    "tpRefused", "late",        "duplicate",     "publisherRestart", "foreignSender", "foreignOffer",
};
static_assert(std::size(kDropReasonNames) == static_cast<std::size_t>(DropReason::kCount));

const char* ToString(DropReason reason) noexcept {
    const auto index = static_cast<std::size_t>(reason);
    return index < std::size(kDropReasonNames) ? kDropReasonNames[index] : "unknown";
}

std::uint64_t DropCounters::Total() const noexcept {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < counts_.size(); ++i) {
        if (static_cast<DropReason>(i) != DropReason::kTpDuplicate) {
            total += counts_[i].load(std::memory_order_relaxed);
        }
    }
    return total;
}

std::string DropCounters::Describe() const {
    std::string text;
    for (std::size_t i = 0; i < counts_.size(); ++i) {
        const std::uint64_t count = counts_[i].load(std::memory_order_relaxed);
        if (count != 0) {
            text += (text.empty() ? "" : " ") + std::string(ToString(static_cast<DropReason>(i))) + "=" +
                    std::to_string(count);
        }
    }
    return text;
}

}  // namespace vrt::cm::someip
