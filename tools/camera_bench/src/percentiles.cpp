#include "percentiles.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "percentile.h"

namespace camera_bench {

using camera_tools::NearestRank;

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
    return camera_tools::NearestRank(values, 50, std::numeric_limits<double>::quiet_NaN());
}

}  // namespace camera_bench
