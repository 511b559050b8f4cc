#include "percentiles.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

namespace camera_bench {

double percentileOfSorted(const std::vector<double>& sorted, double percent) {
    if (sorted.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    // percent * n first: 99 * 100 / 100 is exactly 99, while 0.99 * 100 is not. The small allowance keeps a
    // product like 99.9 * 1000 (99900.00000000001) from rounding up to the next rank.
    const double exactRank = percent * static_cast<double>(sorted.size()) / 100.0;
    const double rank = std::ceil(exactRank - 1e-9);
    const auto index = static_cast<std::size_t>(std::clamp(rank, 1.0, static_cast<double>(sorted.size())));
    return sorted[index - 1];
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
    result.p50 = percentileOfSorted(values, 50);
    result.p90 = percentileOfSorted(values, 90);
    result.p99 = percentileOfSorted(values, 99);
    result.p999 = percentileOfSorted(values, 99.9);
    return result;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return percentileOfSorted(values, 50);
}

}  // namespace camera_bench
