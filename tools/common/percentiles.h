#pragma once

// Order statistics of the tools' figures (latencies, per-stage times): the one percentile and a summary.

#include <cstddef>
#include <vector>

namespace camera_tools {

// The nearest-rank percentile of `values` (reordered): the smallest value with at least `percent` % of the
// values at or below it (percent in (0, 100]; 0 or less gives the minimum). `none` when there are no values.
double NearestRank(std::vector<double>& values, double percent, double none = 0.0);

struct Distribution {
    std::size_t count{0};
    double min{0};
    double mean{0};
    double p50{0};
    double p90{0};
    double p99{0};
    double p999{0};
    double max{0};
};

// Sorts `values` in place and summarizes them; every figure is NaN (count 0) when there are none.
Distribution summarize(std::vector<double>& values);

// The 50th percentile by nearest rank; NaN when there are no values.
double median(std::vector<double> values);

}  // namespace camera_tools
