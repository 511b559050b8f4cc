#include "percentile.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

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

}  // namespace camera_tools
