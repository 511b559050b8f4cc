#include "recorder_options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace camera_record {
namespace {

using ParseResult = ara::core::Result<RecorderOptions, std::string>;

std::optional<double> ParsePositive(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(value) || value <= 0.0) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::uint64_t> ParseCount(const std::string& text) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), nullptr, 10);
    if (errno != 0 || value == 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(value);
}

std::optional<std::vector<int>> ParseCameras(const std::string& text) {
    std::vector<int> cameras;
    std::stringstream list(text);
    std::string item;
    while (std::getline(list, item, ',')) {
        const auto id = ParseCount(item);
        if (!id || *id < kFirstPlatformId || *id >= kFirstPlatformId + kCameraCount) {
            return std::nullopt;
        }
        const int platformId = static_cast<int>(*id);
        if (std::find(cameras.begin(), cameras.end(), platformId) != cameras.end()) {
            return std::nullopt;
        }
        cameras.push_back(platformId);
    }
    if (cameras.empty() || text.back() == ',') {
        return std::nullopt;
    }
    std::sort(cameras.begin(), cameras.end());
    return cameras;
}

ParseResult Invalid(const std::string& option, const std::string& value, const std::string& expected) {
    return ParseResult::FromError("--" + option + " " + value + ": expected " + expected);
}

}  // namespace

ara::core::Result<RecorderOptions, std::string> ParseOptions(const std::vector<std::string>& arguments) {
    RecorderOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        if (name == "-h" || name == "--help") {
            options.help = true;
            continue;
        }
        if (name.rfind("--", 0) != 0 || name.size() == 2) {
            return ParseResult::FromError("unexpected argument '" + name + "'");
        }
        name = name.substr(2);
        std::optional<std::string> value;
        if (const std::size_t equals = name.find('='); equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        static const char* const kKnown[] = {"duration", "frames",     "output",   "cameras",
                                             "manifest", "code-scale", "transport"};
        if (std::find(std::begin(kKnown), std::end(kKnown), name) == std::end(kKnown)) {
            return ParseResult::FromError("unknown option --" + name);
        }
        if (!value) {
            if (i + 1 >= arguments.size()) {
                return ParseResult::FromError("--" + name + " needs a value");
            }
            value = arguments[++i];
        }

        if (name == "duration") {
            options.durationSeconds = ParsePositive(*value);
            if (!options.durationSeconds) {
                return Invalid(name, *value, "a number of seconds greater than 0");
            }
        } else if (name == "frames") {
            options.framesPerCamera = ParseCount(*value);
            if (!options.framesPerCamera) {
                return Invalid(name, *value, "a whole number of frames per camera greater than 0");
            }
        } else if (name == "output") {
            if (value->empty()) {
                return Invalid(name, "''", "a directory");
            }
            options.outputDirectory = *value;
        } else if (name == "cameras") {
            auto cameras = ParseCameras(*value);
            if (!cameras) {
                return Invalid(name, *value,
                               "a comma-separated list of distinct camera ids from 8 to 11, e.g. 8,9,10,11");
            }
            options.cameras = std::move(*cameras);
        } else if (name == "manifest") {
            if (value->empty()) {
                return Invalid(name, "''", "the path of a deployment manifest (cm_deployment.json)");
            }
            options.manifestPath = *value;
        } else if (name == "transport") {
            if (*value != "shm" && *value != "someip") {
                return Invalid(name, *value, "shm or someip");
            }
            options.someip = *value == "someip";
        } else {
            options.codeScale = ParsePositive(*value);
            if (!options.codeScale) {
                return Invalid(name, *value, "a scale greater than 0, e.g. 0.667");
            }
        }
    }
    return ParseResult::FromValue(std::move(options));
}

const char* Usage() {
    return "usage: camera_record [--duration SECONDS] [--frames COUNT] [--output DIR] [--cameras 8,9,10,11]\n"
           "                     [--manifest PATH] [--code-scale SCALE] [--transport shm|someip]\n"
           "\n"
           "Records the cameras' encoded frames published on the visualization image event (35045) over "
           "shared\n"
           "memory. Per camera: cam_<id>.h264 (or .h265), cam_<id>.mp4 and cam_<id>_index.csv; at the end\n"
           "summary.txt and contact_sheet.png. Runs until SIGINT/SIGTERM, the duration, or until every "
           "camera\n"
           "recorded COUNT frames. iox-roudi must run.\n"
           "\n"
           "  --duration SECONDS  stop after this many seconds\n"
           "  --frames COUNT      stop when every camera recorded COUNT frames (from its first key frame)\n"
           "  --output DIR        output directory, created when missing (default out/record)\n"
           "  --cameras LIST      platform ids of the cameras to record (default 8,9,10,11)\n"
           "  --manifest PATH     deployment manifest (default $CM_CONFIG_FILE_PATH/cm_deployment.json)\n"
           "  --transport NAME    shm (default; iox-roudi must run) or someip (the event's SOMEIP "
           "transport)\n"
           "  --code-scale SCALE  size of the test pattern's frame code in the pictures (found by itself "
           "when\n"
           "                      not given; 0.667 for 1920x1080 resized to 1280x720)\n";
}

}  // namespace camera_record
