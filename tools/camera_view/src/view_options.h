#pragma once

// The command line of camera_view.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"

namespace camera_view {

struct ViewOptions {
    std::string address{"127.0.0.1"};         // loopback unless asked otherwise
    std::uint16_t port{8090};                 // 0: any free port
    std::vector<std::string> allowedHosts;    // --allow-host, normalized (see NormalizeHostName)
    std::vector<std::string> allowedOrigins;  // --allow-origin, normalized (see NormalizeOrigin)
    std::string manifestPath;                 // empty: the one in CM_CONFIG_FILE_PATH
    std::optional<double> durationSeconds;
    std::string transport{"shm"};  // the event's transport to subscribe on: shm, someip or dds
    bool help{false};
};

// The command line (--port 8090 or --port=8090). The error names the option and what was expected.
camera_tools::CommandLineResult<ViewOptions> ParseViewOptions(const std::vector<std::string>& arguments);

// The usage text.
const std::string& ViewUsage();

}  // namespace camera_view
