#pragma once

// The command line of camera_record.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"

namespace camera_record {

struct RecorderOptions {
    std::optional<double> durationSeconds;         // stop after this long; with neither limit, on a signal
    std::optional<std::uint64_t> framesPerCamera;  // stop when every camera recorded this many frames
    std::string outputDirectory{"out/record"};
    std::vector<int> cameras{8, 9, 10, 11};  // platform ids, ascending
    std::string manifestPath;                // empty: the one in CM_CONFIG_FILE_PATH
    std::optional<double> codeScale;         // scale of the pattern's frame code; searched without
    bool someip{false};                      // subscribe over SOME/IP instead of shared memory
    bool overwrite{false};  // record into a non-empty output directory, replacing a recording
    // Nothing from a publisher that sent before for this long: it is reported silent, and a recording that
    // ends while it is silent ends with kExitPublisherSilent.
    double silenceTimeoutSeconds{2.0};
    bool mcap{false};  // --format mcap: cameras.mcap beside the other outputs
    bool dds{false};   // read the event's DDS topics instead
    bool help{false};
};

// The platform ids of the four cameras; camera index 0 in the event is platform id 8.
inline constexpr int kFirstPlatformId = 8;
inline constexpr int kCameraCount = 4;

// The exit status of a recording that ended while the publisher was silent (it fell silent and did not come
// back before the end). A recorder that could not write its outputs or lost RouDi ends with 1 instead.
inline constexpr int kExitPublisherSilent = 3;

// The command line. Options take their value as the next argument or after '=' (--duration 10,
// --duration=10); the last of a repeated option wins. The error names the option and what was expected.
const camera_tools::CommandLine<RecorderOptions>& RecorderCommandLine();

}  // namespace camera_record
