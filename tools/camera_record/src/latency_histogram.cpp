#include "latency_histogram.h"

#include <algorithm>
#include <cmath>

namespace camera_record {
namespace {

const double kLogRatio = std::log(LatencyHistogram::kBinRatio);

}  // namespace

std::size_t LatencyHistogram::BinOf(double latencyMs) {
    const double magnitude = std::fabs(latencyMs);
    if (!(magnitude >= kSmallestMs)) {  // also NaN
        return kBinsPerSign;
    }
    const double step = std::floor(std::log(magnitude / kSmallestMs) / kLogRatio);
    const auto offset = static_cast<std::size_t>(std::min(step, static_cast<double>(kBinsPerSign - 1))) + 1U;
    return latencyMs < 0.0 ? kBinsPerSign - offset : kBinsPerSign + offset;
}

double LatencyHistogram::ValueOf(std::size_t bin) {
    if (bin == kBinsPerSign) {
        return 0.0;
    }
    const std::size_t offset = bin > kBinsPerSign ? bin - kBinsPerSign : kBinsPerSign - bin;
    // The middle of the bin [smallest * ratio^(offset - 1), smallest * ratio^offset), on the log scale.
    const double magnitude = kSmallestMs * std::pow(kBinRatio, static_cast<double>(offset) - 0.5);
    return bin > kBinsPerSign ? magnitude : -magnitude;
}

void LatencyHistogram::Add(double latencyMs) {
    if (std::isnan(latencyMs)) {
        return;
    }
    ++counts_[BinOf(latencyMs)];
    min_ = count_ == 0 ? latencyMs : std::min(min_, latencyMs);
    max_ = count_ == 0 ? latencyMs : std::max(max_, latencyMs);
    ++count_;
}

double LatencyHistogram::Percentile(double percent) const {
    if (count_ == 0) {
        return 0.0;
    }
    if (percent <= 0.0) {
        return min_;
    }
    const double wanted = std::ceil(std::min(percent, 100.0) / 100.0 * static_cast<double>(count_));
    const auto rank = std::max<std::uint64_t>(static_cast<std::uint64_t>(wanted), 1U);
    std::uint64_t seen = 0;
    for (std::size_t bin = 0; bin < counts_.size(); ++bin) {
        seen += counts_[bin];
        if (seen >= rank) {
            return std::clamp(ValueOf(bin), min_, max_);
        }
    }
    return max_;
}

}  // namespace camera_record
