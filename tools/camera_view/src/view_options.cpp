#include "view_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "command_line.h"

namespace camera_view {

namespace {

using ParseResult = ara::core::Result<ViewOptions, std::string>;

bool AllDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

const camera_tools::po::options_description& Described() {
    static const camera_tools::po::options_description options = camera_tools::TextOptions({
        {"address", "IP",
         "address to listen on (default 127.0.0.1, loopback only; 0.0.0.0 for every interface)"},
        {"port", "PORT", "port to listen on (default 8090; 0 picks a free one, printed at start)"},
        {"manifest", "PATH",
         "platform deployment manifest (default: cm_deployment.json in CM_CONFIG_FILE_PATH)"},
        {"duration", "SECONDS", "stop after this many seconds (default: run until SIGINT or SIGTERM)"},
    });
    return options;
}

}  // namespace

ara::core::Result<ViewOptions, std::string> ParseViewOptions(const std::vector<std::string>& arguments) {
    auto parsed = camera_tools::ParseCommandLine(Described(), arguments);
    if (!parsed.HasValue()) {
        return ParseResult::FromError(parsed.Error());
    }
    const auto& values = parsed.Value();
    ViewOptions options;
    options.help = values.count("help") != 0;
    if (const auto value = camera_tools::TextValue(values, "address")) {
        if (value->empty()) {
            return ParseResult::FromError("--address: expected an IP address such as 127.0.0.1");
        }
        options.address = *value;
    }
    if (const auto value = camera_tools::TextValue(values, "port")) {
        if (!AllDigits(*value) || value->size() > 5 || std::stoul(*value) > 65535U) {
            return ParseResult::FromError("--port " + *value + ": expected a port number 0 to 65535");
        }
        options.port = static_cast<std::uint16_t>(std::stoul(*value));
    }
    if (const auto value = camera_tools::TextValue(values, "manifest")) {
        options.manifestPath = *value;
    }
    if (const auto value = camera_tools::TextValue(values, "duration")) {
        char* end = nullptr;
        errno = 0;
        const double seconds = std::strtod(value->c_str(), &end);
        if (value->empty() || errno != 0 || *end != '\0' || !std::isfinite(seconds) || seconds <= 0) {
            return ParseResult::FromError("--duration " + *value + ": expected a positive number of seconds");
        }
        options.durationSeconds = seconds;
    }
    return ParseResult::FromValue(options);
}

const std::string& ViewUsage() {
    static const std::string usage = camera_tools::UsageText(
        "usage: camera_view [--address IP] [--port PORT] [--manifest PATH] [--duration SECONDS]\n"
        "  Serves the four cameras live to a browser: open http://IP:PORT/ (default "
        "http://127.0.0.1:8090/).\n\n",
        Described());
    return usage;
}

}  // namespace camera_view
