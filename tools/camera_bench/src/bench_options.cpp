#include "bench_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace camera_bench {
namespace {

bool parseDecimal(const char* text, double low, double high, double* value) {
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(parsed) || parsed < low ||
        parsed > high) {
        return false;
    }
    *value = parsed;
    return true;
}

bool parseWhole(const char* text, long low, long high, int* value) {
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    *value = static_cast<int>(parsed);
    return true;
}

}  // namespace

bool parseBenchOptions(int argc, const char* const* argv, BenchOptions* options, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--skip-ffmpeg") {
            options->skipFfmpeg = true;
            continue;
        }
        if (name == "--skip-system") {
            options->skipSystem = true;
            continue;
        }
        if (name == "--help" || name == "-h") {
            options->help = true;
            continue;
        }
        const bool takesValue =
            name == "--seconds" || name == "--warmup" || name == "--frames" || name == "--rounds";
        if (!takesValue) {
            *error = "unknown option " + name;
            return false;
        }
        if (i + 1 >= argc) {
            *error = name + " needs a value";
            return false;
        }
        const char* value = argv[++i];
        bool ok = false;
        const char* expected = "";
        if (name == "--seconds") {
            ok = parseDecimal(value, 1.0, 86400.0, &options->seconds);
            expected = "seconds from 1 to 86400";
        } else if (name == "--warmup") {
            ok = parseDecimal(value, 2.0, 600.0, &options->warmupSeconds);
            expected = "seconds from 2 to 600";
        } else if (name == "--frames") {
            ok = parseWhole(value, 60, 3000, &options->frames);
            expected = "a whole number from 60 to 3000";
        } else {
            ok = parseWhole(value, 1, 20, &options->rounds);
            expected = "a whole number from 1 to 20";
        }
        if (!ok) {
            *error = name + " " + value + ": expected " + expected;
            return false;
        }
    }
    return true;
}

const char* benchUsage() {
    return "usage: camera_bench [--seconds N] [--warmup N] [--frames N] [--rounds N] [--skip-ffmpeg] "
           "[--skip-system]\n"
           "  --seconds N    measured window of the four-camera run (default 60)\n"
           "  --warmup N     seconds discarded before the window (default 3, at least 2)\n"
           "  --frames N     test-pattern frames of the throughput comparison (default 300)\n"
           "  --rounds N     comparison rounds, medians reported (default 5)\n"
           "  --skip-ffmpeg  no ffmpeg run (vs_ffmpeg=nan)\n"
           "  --skip-system  no four-camera run (its figures nan)\n";
}

}  // namespace camera_bench
