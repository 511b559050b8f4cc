#include "bench_options.h"

#include <boost/program_options.hpp>
#include <cmath>
#include <sstream>

namespace camera_bench {
namespace {

namespace po = boost::program_options;

po::options_description describeOptions(BenchOptions* options) {
    po::options_description description("options");
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

template <class Number>
bool inRange(const char* name, Number value, Number low, Number high, const char* expected,
             std::string* error) {
    if (std::isfinite(static_cast<double>(value)) && value >= low && value <= high) {
        return true;
    }
    std::ostringstream text;
    text << "--" << name << " " << value << ": expected " << expected;
    *error = text.str();
    return false;
}

}  // namespace

bool parseBenchOptions(int argc, const char* const* argv, BenchOptions* options, std::string* error) {
    try {
        po::variables_map values;
        po::store(po::command_line_parser(argc, argv)
                      .options(describeOptions(options))
                      .style(po::command_line_style::unix_style ^ po::command_line_style::allow_guessing)
                      .run(),
                  values);
        po::notify(values);
    } catch (const po::error& failure) {
        *error = failure.what();
        return false;
    }
    return inRange("seconds", options->seconds, 1.0, 86400.0, "seconds from 1 to 86400", error) &&
           inRange("warmup", options->warmupSeconds, 2.0, 600.0, "seconds from 2 to 600", error) &&
           inRange("frames", options->frames, 60, 3000, "a whole number from 60 to 3000", error) &&
           inRange("rounds", options->rounds, 1, 20, "a whole number from 1 to 20", error);
}

const char* benchUsage() {
    static const std::string usage = [] {
        BenchOptions defaults;
        std::ostringstream text;
        text << "usage: camera_bench [--seconds N] [--warmup N] [--frames N] [--rounds N] [--skip-ffmpeg] "
                "[--skip-system]\n"
             << describeOptions(&defaults);
        return text.str();
    }();
    return usage.c_str();
}

}  // namespace camera_bench
