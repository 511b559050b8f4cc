#pragma once

// The command line of camera_bench.

#include <string>
#include <vector>

#include "command_line.h"

namespace camera_bench {

struct BenchOptions {
    double seconds{60.0};       // measured window of the full-system run
    double warmupSeconds{3.0};  // discarded before it (workers 1 to 3 start one second after worker 0)
    int frames{300};            // frames of the throughput comparison
    int rounds{5};              // comparison rounds; medians are reported
    bool skipFfmpeg{false};
    bool skipSystem{false};
    bool help{false};
};

// Parses the arguments after the program name. The error names the option and what it expects on an unknown
// option, a missing value or a value out of range.
camera_tools::CommandLineResult<BenchOptions> parseBenchOptions(const std::vector<std::string>& arguments);

const std::string& benchUsage();

}  // namespace camera_bench
