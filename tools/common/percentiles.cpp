#include "percentiles.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <numeric>

namespace camera_tools {

double NearestRank(std::vector<double>& values, double percent, double none) {
    if (values.empty()) {
        return none;
    }
    // percent * n first: 99 * 100 / 100 is exactly 99, while 0.99 * 100 need not be. The small allowance
    // keeps a product like 99.9 * 1000 (99900.00000000001) from rounding up to the next rank.
    const double exactRank = percent * static_cast<double>(values.size()) / 100.0;
    const double rank = std::clamp(std::ceil(exactRank - 1e-9), 1.0, static_cast<double>(values.size()));
    const auto index = static_cast<std::ptrdiff_t>(rank) - 1;
    std::nth_element(values.begin(), values.begin() + index, values.end());
    return values[static_cast<std::size_t>(index)];
}

Distribution summarize(std::vector<double>& values) {
    Distribution result;
    result.count = values.size();
    if (values.empty()) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        result.min = result.mean = result.p50 = result.p90 = result.p99 = result.p999 = result.max = nan;
        return result;
    }
    std::sort(values.begin(), values.end());
    result.min = values.front();
    result.max = values.back();
    result.mean = std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
    result.p50 = NearestRank(values, 50);
    result.p90 = NearestRank(values, 90);
    result.p99 = NearestRank(values, 99);
    result.p999 = NearestRank(values, 99.9);
    return result;
}

double median(std::vector<double> values) {
    return NearestRank(values, 50, std::numeric_limits<double>::quiet_NaN());
}

}  // namespace camera_tools
