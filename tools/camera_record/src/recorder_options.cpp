#include "recorder_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "command_line.h"

namespace camera_record {
namespace {

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

}  // namespace

const camera_tools::CommandLine<RecorderOptions>& RecorderCommandLine() {
    using Options = RecorderOptions;
    static const camera_tools::CommandLine<Options> commandLine(
        "usage: camera_record [--duration SECONDS] [--frames COUNT] [--output DIR] [--cameras 8,9,10,11]\n"
        "                     [--manifest PATH] [--code-scale SCALE] [--transport shm|someip|dds]\n"
        "                     [--silence-timeout SECONDS] [--overwrite] [--format files|mcap]\n"
        "\n"
        "Records the cameras' encoded frames published on the visualization image event (35045) over shared\n"
        "memory. Per camera: cam_<id>.h264 (or .h265), cam_<id>.mp4 and cam_<id>_index.csv; at the end\n"
        "summary.txt and contact_sheet.png. Runs until SIGINT/SIGTERM, the duration, or until every camera\n"
        "recorded COUNT frames. A non-empty DIR is refused unless --overwrite is given. iox-roudi must run. "
        "Exit status 3 when the publisher had fallen silent by "
        "the\n"
        "end, 1 when outputs could not be written or RouDi was lost, 2 for a bad command line.\n"
        "\n",
        {
            {{"duration", "SECONDS", "stop after this many seconds"},
             "a number of seconds greater than 0",
             camera_tools::StoreParsed(&Options::durationSeconds, camera_tools::ParsePositive)},
            {{"frames", "COUNT", "stop when every camera recorded COUNT frames (from its first key frame)"},
             "a whole number of frames per camera greater than 0",
             camera_tools::StoreParsed(&Options::framesPerCamera, ParseCount)},
            {{"output", "DIR",
              "output directory, created when missing, refused when not empty (default out/record)"},
             "a directory",
             camera_tools::StoreText(&Options::outputDirectory)},
            {{"overwrite", nullptr,
              "record into a DIR that is not empty: the files of a recording in it are removed first, other "
              "files are kept"},
             "no value",
             [](const std::string& /*value*/, Options& options) {
                 options.overwrite = true;
                 return true;
             }},
            {{"cameras", "LIST", "platform ids of the cameras to record (default 8,9,10,11)"},
             "a comma-separated list of distinct camera ids from 8 to 11, e.g. 8,9,10,11",
             camera_tools::StoreParsed(&Options::cameras, ParseCameras)},
            {{"manifest", "PATH", "deployment manifest (default $CM_CONFIG_FILE_PATH/cm_deployment.json)"},
             "the path of a deployment manifest (cm_deployment.json)",
             camera_tools::StoreText(&Options::manifestPath)},
            {{"transport", "NAME",
              "shm (default; iox-roudi must run), someip (the event's SOMEIP transport) or dds (its DDS "
              "topics)"},
             "shm, someip or dds",
             [](const std::string& value, Options& options) {
                 options.someip = value == "someip";
                 options.dds = value == "dds";
                 return value == "shm" || value == "someip" || value == "dds";
             }},
            {{"silence-timeout", "SECONDS",
              "report the publisher silent after this long without a sample (default 2)"},
             "a number of seconds greater than 0",
             camera_tools::StoreParsed(&Options::silenceTimeoutSeconds, camera_tools::ParsePositive)},
            {{"format", "NAME",
              "files (default: the outputs above) or mcap (the same, and cameras.mcap: every camera in one "
              "MCAP "
              "file for Foxglove and ROS 2)"},
             "files or mcap",
             [](const std::string& value, Options& options) {
                 options.mcap = value == "mcap";
                 return value == "files" || value == "mcap";
             }},
            {{"code-scale", "SCALE",
              "size of the test pattern's frame code in the pictures (found by itself when not given; 0.667 "
              "for "
              "1920x1080 resized to 1280x720)"},
             "a scale greater than 0, e.g. 0.667",
             camera_tools::StoreParsed(&Options::codeScale, camera_tools::ParsePositive)},
        });
    return commandLine;
}

}  // namespace camera_record
