#include "view_options.h"

#include "command_line.h"
#include "host_policy.h"

namespace camera_view {

namespace {

constexpr const char kAllowHost[] = "allow-host";
constexpr const char kAllowHostExpected[] = "a host name or an IP address such as camera-pc or 192.168.1.20";
constexpr const char kAllowOrigin[] = "allow-origin";
constexpr const char kAllowOriginExpected[] = "a web origin such as https://app.foxglove.dev";

std::optional<std::uint16_t> ParsePort(const std::string& text) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(text) > 65535U) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(std::stoul(text));
}

using Options = ViewOptions;

const std::vector<camera_tools::Option<Options>>& ViewOptionTable() {
    static const std::vector<camera_tools::Option<Options>> table = {
        {{"address", "IP",
          "address to listen on (default 127.0.0.1, loopback only; 0.0.0.0 for every interface)"},
         "an IP address such as 127.0.0.1",
         camera_tools::StoreText(&Options::address)},
        {{"port", "PORT", "port to listen on (default 8090; 0 picks a free one, printed at start)"},
         "a port number 0 to 65535",
         camera_tools::StoreParsed(&Options::port, ParsePort)},
        {{kAllowHost, "NAME",
          "a further name (or address) the browser may reach this server by, besides localhost, 127.0.0.1, "
          "[::1] and --address; repeatable"},
         kAllowHostExpected,
         // Checks the last occurrence; ParseViewOptions reads every one.
         [](const std::string& value, Options&) { return NormalizeHostName(value).has_value(); }},
        {{kAllowOrigin, "ORIGIN",
          "the origin of a web page that may open the Foxglove WebSocket, e.g. https://app.foxglove.dev "
          "(clients that send no Origin, like Foxglove's desktop app, need none); repeatable"},
         kAllowOriginExpected,
         [](const std::string& value, Options&) { return NormalizeOrigin(value).has_value(); }},
        {{"manifest", "PATH",
          "platform deployment manifest (default: cm_deployment.json in CM_CONFIG_FILE_PATH)"},
         "the path of a deployment manifest",
         camera_tools::StoreText(&Options::manifestPath, true)},
        {{"duration", "SECONDS", "stop after this many seconds (default: run until SIGINT or SIGTERM)"},
         "a positive number of seconds",
         camera_tools::StoreParsed(&Options::durationSeconds, camera_tools::ParsePositive)},
        {{"transport", "NAME",
          "shm (default; iox-roudi must run), someip (the event's SOMEIP transport) or dds (its DDS topics)"},
         "shm, someip or dds",
         [](const std::string& value, Options& options) {
             options.transport = value;
             return value == "shm" || value == "someip" || value == "dds";
         }},
    };
    return table;
}

const camera_tools::CommandLine<Options>& ViewCommandLine() {
    static const camera_tools::CommandLine<Options> commandLine(
        "usage: camera_view [--address IP] [--port PORT] [--allow-host NAME]... [--allow-origin ORIGIN]...\n"
        "                   [--manifest PATH] [--duration SECONDS] [--transport shm|someip|dds]\n"
        "  Serves the four cameras live to a browser: open http://IP:PORT/ (default "
        "http://127.0.0.1:8090/);\n"
        "  and to Foxglove: open connection ws://IP:PORT (Foxglove WebSocket protocol).\n"
        "  It answers only requests that name it (localhost, 127.0.0.1, [::1], the --address, or an\n"
        "  --allow-host NAME) and viewers from its own page.\n\n",
        ViewOptionTable());
    return commandLine;
}

}  // namespace

camera_tools::CommandLineResult<ViewOptions> ParseViewOptions(const std::vector<std::string>& arguments) {
    using Parsed = camera_tools::CommandLineResult<ViewOptions>;
    auto parsed = ViewCommandLine().Parse(arguments);
    if (!parsed.HasValue()) {
        return parsed;
    }
    // The table keeps the last value of a repeated option; --allow-host keeps them all.
    ViewOptions options = std::move(parsed).Value();
    const auto values =
        camera_tools::ParseCommandLine(camera_tools::DescribeOptions(ViewOptionTable()), arguments);
    if (!values.HasValue()) {
        return Parsed::FromError(values.Error());
    }
    if (const auto origins = values.Value().find(kAllowOrigin); origins != values.Value().end()) {
        for (const std::string& value : origins->second.as<std::vector<std::string>>()) {
            auto origin = NormalizeOrigin(value);
            if (!origin) {
                return Parsed::FromError(
                    {camera_tools::CommandLineErrc::kBadValue, std::string("--") + kAllowOrigin + " " +
                                                                   (value.empty() ? "''" : value) +
                                                                   ": expected " + kAllowOriginExpected});
            }
            options.allowedOrigins.push_back(std::move(*origin));
        }
    }
    const auto found = values.Value().find(kAllowHost);
    if (found != values.Value().end()) {
        for (const std::string& value : found->second.as<std::vector<std::string>>()) {
            auto name = NormalizeHostName(value);
            if (!name) {
                return Parsed::FromError(
                    {camera_tools::CommandLineErrc::kBadValue, std::string("--") + kAllowHost + " " +
                                                                   (value.empty() ? "''" : value) +
                                                                   ": expected " + kAllowHostExpected});
            }
            options.allowedHosts.push_back(std::move(*name));
        }
    }
    return Parsed::FromValue(std::move(options));
}

const std::string& ViewUsage() {
    return ViewCommandLine().Usage();
}

}  // namespace camera_view
