#include "bench_options.h"

#include <boost/program_options.hpp>
#include <cmath>
#include <sstream>

#include "command_line.h"

namespace camera_bench {
namespace {

namespace po = boost::program_options;

po::options_description describeOptions(BenchOptions* options) {
    po::options_description description = camera_tools::WideOptionTable();
    description.add_options()                                                                           //
        ("seconds", po::value(&options->seconds)->value_name("N"),                                      //
         "measured window of the four-camera run, 1 to 86400 (default 60)")                             //
        ("warmup", po::value(&options->warmupSeconds)->value_name("N"),                                 //
         "seconds discarded before the window, 2 to 600 (default 3)")                                   //
        ("frames", po::value(&options->frames)->value_name("N"),                                        //
         "test-pattern frames of the throughput comparison, 60 to 3000 (default 300)")                  //
        ("rounds", po::value(&options->rounds)->value_name("N"),                                        //
         "comparison rounds, medians reported, 1 to 20 (default 5)")                                    //
        ("skip-ffmpeg", po::bool_switch(&options->skipFfmpeg), "no ffmpeg run (vs_ffmpeg=nan)")         //
        ("skip-system", po::bool_switch(&options->skipSystem), "no four-camera run (its figures nan)")  //
        ("help,h", po::bool_switch(&options->help), "this text");
    return description;
}

// Empty when `value` lies in [low, high]; otherwise the error naming the option.
template <class Number>
std::string outOfRange(const char* name, Number value, Number low, Number high, const char* expected) {
    if (std::isfinite(static_cast<double>(value)) && value >= low && value <= high) {
        return {};
    }
    std::ostringstream text;
    text << "--" << name << " " << value << ": expected " << expected;
    return text.str();
}

}  // namespace

camera_tools::CommandLineResult<BenchOptions> parseBenchOptions(const std::vector<std::string>& arguments) {
    using Parsed = camera_tools::CommandLineResult<BenchOptions>;
    BenchOptions options;
    const auto parsed = camera_tools::ParseCommandLine(describeOptions(&options), arguments);
    if (!parsed.HasValue()) {
        return Parsed::FromError(parsed.Error());
    }
    for (const std::string& error :
         {outOfRange("seconds", options.seconds, 1.0, 86400.0, "seconds from 1 to 86400"),
          outOfRange("warmup", options.warmupSeconds, 2.0, 600.0, "seconds from 2 to 600"),
          outOfRange("frames", options.frames, 60, 3000, "a whole number from 60 to 3000"),
          outOfRange("rounds", options.rounds, 1, 20, "a whole number from 1 to 20")}) {
        if (!error.empty()) {
            return Parsed::FromError({camera_tools::CommandLineErrc::kBadValue, error});
        }
    }
    return Parsed::FromValue(options);
}

const std::string& benchUsage() {
    static const std::string usage = [] {
        BenchOptions defaults;
        return camera_tools::UsageText(
            "usage: camera_bench [--seconds N] [--warmup N] [--frames N] [--rounds N] [--skip-ffmpeg] "
            "[--skip-system]\n\n",
            describeOptions(&defaults));
    }();
    return usage;
}

}  // namespace camera_bench
