#include "view_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace camera_view {

namespace {

using ParseResult = ara::core::Result<ViewOptions, std::string>;

bool AllDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

ara::core::Result<ViewOptions, std::string> ParseViewOptions(const std::vector<std::string>& arguments) {
    ViewOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::optional<std::string> inlineValue;
        if (const auto equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
            inlineValue = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (name != "--address" && name != "--port" && name != "--manifest" && name != "--duration") {
            return ParseResult::FromError("unknown option " + arguments[i]);
        }
        if (!inlineValue && i + 1 >= arguments.size()) {
            return ParseResult::FromError(name + " needs a value");
        }
        const std::string value = inlineValue ? *inlineValue : arguments[++i];
        if (name == "--address") {
            if (value.empty()) {
                return ParseResult::FromError("--address: expected an IP address such as 127.0.0.1");
            }
            options.address = value;
        } else if (name == "--port") {
            if (!AllDigits(value) || value.size() > 5 || std::stoul(value) > 65535U) {
                return ParseResult::FromError("--port " + value + ": expected a port number 0 to 65535");
            }
            options.port = static_cast<std::uint16_t>(std::stoul(value));
        } else if (name == "--manifest") {
            options.manifestPath = value;
        } else {
            char* end = nullptr;
            errno = 0;
            const double seconds = std::strtod(value.c_str(), &end);
            if (value.empty() || errno != 0 || *end != '\0' || !std::isfinite(seconds) || seconds <= 0) {
                return ParseResult::FromError("--duration " + value +
                                              ": expected a positive number of seconds");
            }
            options.durationSeconds = seconds;
        }
    }
    return ParseResult::FromValue(options);
}

const char* ViewUsage() {
    return "usage: camera_view [--address IP] [--port PORT] [--manifest PATH] [--duration SECONDS]\n"
           "  Serves the four cameras live to a browser: open http://IP:PORT/ (default "
           "http://127.0.0.1:8090/).\n"
           "  --address   address to listen on (default 127.0.0.1, loopback only; 0.0.0.0 for every "
           "interface)\n"
           "  --port      port to listen on (default 8090; 0 picks a free one, printed at start)\n"
           "  --manifest  platform deployment manifest (default: cm_deployment.json in CM_CONFIG_FILE_PATH)\n"
           "  --duration  stop after this many seconds (default: run until SIGINT or SIGTERM)\n";
}

}  // namespace camera_view
