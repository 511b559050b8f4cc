#pragma once

// The one percentile of the tools' figures.

#include <vector>

namespace camera_tools {

// The nearest-rank percentile of `values` (reordered): the smallest value with at least `percent` % of the
// values at or below it (percent in (0, 100]; 0 or less gives the minimum). `none` when there are no values.
double NearestRank(std::vector<double>& values, double percent, double none = 0.0);

}  // namespace camera_tools
