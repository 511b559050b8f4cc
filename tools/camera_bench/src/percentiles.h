#pragma once

// Order statistics of measured values (latencies, per-stage times).

#include <cstddef>
#include <vector>

namespace camera_bench {

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

}  // namespace camera_bench
