#include "view_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "command_line.h"

namespace camera_view {

namespace {

bool AllDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

const std::vector<camera_tools::Option<ViewOptions>>& Table() {
    using Options = ViewOptions;
    static const std::vector<camera_tools::Option<Options>> table = {
        {{"address", "IP",
          "address to listen on (default 127.0.0.1, loopback only; 0.0.0.0 for every interface)"},
         "an IP address such as 127.0.0.1",
         [](const std::string& value, Options& options) {
             options.address = value;
             return !value.empty();
         }},
        {{"port", "PORT", "port to listen on (default 8090; 0 picks a free one, printed at start)"},
         "a port number 0 to 65535",
         [](const std::string& value, Options& options) {
             if (!AllDigits(value) || value.size() > 5 || std::stoul(value) > 65535U) {
                 return false;
             }
             options.port = static_cast<std::uint16_t>(std::stoul(value));
             return true;
         }},
        {{"manifest", "PATH",
          "platform deployment manifest (default: cm_deployment.json in CM_CONFIG_FILE_PATH)"},
         "the path of a deployment manifest",
         [](const std::string& value, Options& options) {
             options.manifestPath = value;
             return true;
         }},
        {{"duration", "SECONDS", "stop after this many seconds (default: run until SIGINT or SIGTERM)"},
         "a positive number of seconds",
         [](const std::string& value, Options& options) {
             char* end = nullptr;
             errno = 0;
             const double seconds = std::strtod(value.c_str(), &end);
             if (value.empty() || errno != 0 || *end != '\0' || !std::isfinite(seconds) || seconds <= 0) {
                 return false;
             }
             options.durationSeconds = seconds;
             return true;
         }},
    };
    return table;
}

}  // namespace

ara::core::Result<ViewOptions, std::string> ParseViewOptions(const std::vector<std::string>& arguments) {
    return camera_tools::ParseOptions(Table(), arguments);
}

const std::string& ViewUsage() {
    static const std::string usage = camera_tools::UsageText(
        "usage: camera_view [--address IP] [--port PORT] [--manifest PATH] [--duration SECONDS]\n"
        "  Serves the four cameras live to a browser: open http://IP:PORT/ (default "
        "http://127.0.0.1:8090/).\n\n",
        camera_tools::DescribeOptions(Table()));
    return usage;
}

}  // namespace camera_view
