#include "view_options.h"

#include "command_line.h"

namespace camera_view {

namespace {

std::optional<std::uint16_t> ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(text) > 65535U) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(std::stoul(text));
}

}  // namespace

const camera_tools::CommandLine<ViewOptions>& ViewCommandLine() {
    using Options = ViewOptions;
    static const camera_tools::CommandLine<Options> commandLine(
        "usage: camera_view [--address IP] [--port PORT] [--manifest PATH] [--duration SECONDS]\n"
        "  Serves the four cameras live to a browser: open http://IP:PORT/ (default "
        "http://127.0.0.1:8090/).\n\n",
        {
            {{"address", "IP",
              "address to listen on (default 127.0.0.1, loopback only; 0.0.0.0 for every interface)"},
             "an IP address such as 127.0.0.1",
             camera_tools::StoreText(&Options::address)},
            {{"port", "PORT", "port to listen on (default 8090; 0 picks a free one, printed at start)"},
             "a port number 0 to 65535",
             camera_tools::StoreParsed(&Options::port, ParsePort)},
            {{"manifest", "PATH",
              "platform deployment manifest (default: cm_deployment.json in CM_CONFIG_FILE_PATH)"},
             "the path of a deployment manifest",
             camera_tools::StoreText(&Options::manifestPath, true)},
            {{"duration", "SECONDS", "stop after this many seconds (default: run until SIGINT or SIGTERM)"},
             "a positive number of seconds",
             camera_tools::StoreParsed(&Options::durationSeconds, camera_tools::ParsePositive)},
        });
    return commandLine;
}

}  // namespace camera_view
