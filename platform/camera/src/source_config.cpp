#include "source_config.h"

#include <algorithm>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <map>
#include <optional>
#include <system_error>

namespace vcu::camera::internal {

namespace {

constexpr const char* kConfigFileVariable = "VCU_CAMERA_CONFIG";
constexpr const char* kConfigDirectoryVariable = "CM_CONFIG_FILE_PATH";
constexpr const char* kConfigFileName = "vcu_camera.ini";
constexpr const char* kSourceVariablePrefix = "VCU_CAMERA_SOURCE_";
constexpr const char* kFpsVariable = "VCU_CAMERA_FPS";
constexpr const char* kDefaultsSection = "camera";
constexpr const char* kCameraSectionPrefix = "camera_";

constexpr int kMinFps = 1;
constexpr int kMaxFps = 240;
constexpr int kMinBuffers = 2;
constexpr int kMaxBuffers = 64;

// What one section sets; unset keys fall back to [camera], then to the built-in defaults.
struct SectionValues {
    std::optional<SourceKind> kind;
    std::optional<std::string> path;
    std::optional<int> fps;
    std::optional<int> bufferCount;
    std::map<std::string, double> lens;  // lens_* keys by name, without the prefix
};

constexpr const char* kLensPrefix = "lens_";
// The lens keys, as camera_remap_maps names its options: the first four are required.
constexpr const char* kLensKeys[] = {"fx", "fy", "cx", "cy", "k1", "k2", "p1", "p2", "k3", "zoom"};
constexpr std::size_t kRequiredLensKeys = 4;

std::optional<double> ParseNumber(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

// The lens of a section's lens_* keys; the error names what is missing or wrong.
using ConfigCheck = ara::core::Result<void, ConfigError>;
using LensResult = ara::core::Result<LensSettings, ConfigError>;

LensResult MakeLens(const std::map<std::string, double>& keys) {
    for (std::size_t i = 0; i < kRequiredLensKeys; ++i) {
        if (keys.count(kLensKeys[i]) == 0) {
            return LensResult::FromError(
                ConfigError{std::string("lens_") + kLensKeys[i] +
                            " is missing; a lens needs lens_fx, lens_fy, lens_cx and lens_cy"});
        }
    }
    const auto value = [&keys](const char* key, double fallback) {
        const auto found = keys.find(key);
        return found != keys.end() ? found->second : fallback;
    };
    LensSettings lens;
    lens.camera = lens::Intrinsics{value("fx", 0), value("fy", 0), value("cx", 0), value("cy", 0)};
    lens.distortion =
        lens::Distortion{value("k1", 0), value("k2", 0), value("p1", 0), value("p2", 0), value("k3", 0)};
    lens.zoom = value("zoom", 1.0);
    if (lens.camera.fx <= 0 || lens.camera.fy <= 0 || lens.zoom <= 0) {
        return LensResult::FromError(ConfigError{"lens_fx, lens_fy and lens_zoom must be positive"});
    }
    return lens;
}

void Apply(const SectionValues& values, SourceSettings& settings) {
    if (values.kind) {
        settings.kind = *values.kind;
    }
    if (values.path) {
        settings.path = *values.path;
    }
    if (values.fps) {
        settings.fps = *values.fps;
    }
    if (values.bufferCount) {
        settings.bufferCount = *values.bufferCount;
    }
}

std::optional<int> ParseInt(const std::string& text, int min, int max) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || ptr != end || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

// Each source kind with its name in the file and the environment.
struct KindName {
    SourceKind kind;
    const char* name;
};
constexpr KindName kKindNames[] = {
    {SourceKind::kPattern, "pattern"}, {SourceKind::kNv12File, "nv12"}, {SourceKind::kVideoFile, "video"}};

std::optional<SourceKind> ParseKind(const std::string& text) {
    for (const KindName& entry : kKindNames) {
        if (text == entry.name) {
            return entry.kind;
        }
    }
    return std::nullopt;
}

std::string RangeText(int min, int max) {
    return "an integer from " + std::to_string(min) + " to " + std::to_string(max);
}

class ConfigFileReader {
  public:
    explicit ConfigFileReader(std::string path) : path_(std::move(path)) {}

    // Parses every section; the first problem ends the parse.
    ConfigCheck read(std::map<std::string, SectionValues>& sections) const {
        boost::property_tree::ptree tree;
        try {
            boost::property_tree::ini_parser::read_ini(path_, tree);
        } catch (const boost::property_tree::ini_parser_error& error) {
            return fail(error.message() + " (line " + std::to_string(error.line()) + ")");
        }
        for (const auto& [name, node] : tree) {
            if (node.empty() && !node.data().empty()) {
                return fail("key '" + name + "' is outside any section; expected it under [" +
                            kDefaultsSection + "] or [" + kCameraSectionPrefix + "<id>]");
            }
            if (!isKnownSection(name)) {
                return fail("unknown section [" + name + "]; expected [" + kDefaultsSection + "] or [" +
                            kCameraSectionPrefix + "<id>] with a numeric camera id");
            }
            SectionValues values;
            if (ConfigCheck checked = readSection(name, node, values); !checked) {
                return checked;
            }
            sections[name] = values;
        }
        return {};
    }

  private:
    static bool isKnownSection(const std::string& name) {
        if (name == kDefaultsSection) {
            return true;
        }
        const std::string prefix = kCameraSectionPrefix;
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
            return false;
        }
        unsigned int id = 0;
        const char* end = name.data() + name.size();
        const auto [ptr, error] = std::from_chars(name.data() + prefix.size(), end, id);
        return error == std::errc{} && ptr == end;
    }

    ConfigCheck readSection(const std::string& section, const boost::property_tree::ptree& node,
                            SectionValues& values) const {
        for (const auto& [key, child] : node) {
            const std::string& value = child.data();
            if (key == "source") {
                values.kind = ParseKind(value);
                if (!values.kind) {
                    return badValue(section, key, value, "pattern, nv12 or video");
                }
            } else if (key == "path") {
                if (value.empty()) {
                    return badValue(section, key, value, "a file name");
                }
                const std::filesystem::path file(value);
                values.path =
                    file.is_absolute() ? value : (std::filesystem::path(path_).parent_path() / file).string();
            } else if (key == "fps") {
                values.fps = ParseInt(value, kMinFps, kMaxFps);
                if (!values.fps) {
                    return badValue(section, key, value, RangeText(kMinFps, kMaxFps));
                }
            } else if (key == "buffers") {
                values.bufferCount = ParseInt(value, kMinBuffers, kMaxBuffers);
                if (!values.bufferCount) {
                    return badValue(section, key, value, RangeText(kMinBuffers, kMaxBuffers));
                }
            } else if (key.rfind(kLensPrefix, 0) == 0 && section != kDefaultsSection &&
                       std::find(std::begin(kLensKeys), std::end(kLensKeys), key.substr(5)) !=
                           std::end(kLensKeys)) {
                const auto number = ParseNumber(value);
                if (!number) {
                    return badValue(section, key, value, "a number");
                }
                values.lens[key.substr(5)] = *number;
            } else {
                return fail("unknown key '" + key + "' in section [" + section +
                            "]; expected source, path, fps or buffers" +
                            (section == kDefaultsSection ? std::string()
                                                         : ", or the lens keys lens_fx .. lens_zoom"));
            }
        }
        return {};
    }

    ConfigCheck fail(const std::string& what) const {
        return ConfigCheck::FromError(ConfigError{"camera configuration " + path_ + ": " + what});
    }

    ConfigCheck badValue(const std::string& section, const std::string& key, const std::string& value,
                         const std::string& expected) const {
        return fail("[" + section + "] " + key + " = '" + value + "': expected " + expected);
    }

    std::string path_;
};

// VCU_CAMERA_SOURCE_<id>: pattern | nv12:<path> | video:<path>.
ConfigCheck ReadSourceVariable(const std::string& name, const std::string& value, SectionValues& values) {
    const auto colon = value.find(':');
    const std::string kindText = value.substr(0, colon);
    const auto kind = ParseKind(kindText);
    const bool needsPath = kind && *kind != SourceKind::kPattern;
    const bool hasPath = colon != std::string::npos && colon + 1 < value.size();
    if (!kind || needsPath != hasPath) {
        return ConfigCheck::FromError(ConfigError{"environment " + name + " = '" + value +
                                                  "': expected pattern, nv12:<path> or video:<path>"});
    }
    values.kind = kind;
    if (hasPath) {
        values.path = value.substr(colon + 1);
    }
    return {};
}

}  // namespace

const char* toString(SourceKind kind) noexcept {
    for (const KindName& entry : kKindNames) {
        if (entry.kind == kind) {
            return entry.name;
        }
    }
    return "unknown";
}

SourceSettingsResult loadSourceSettings(const std::vector<unsigned int>& cameraIds,
                                        const EnvironmentLookup& environment) {
    const auto lookup = [&environment](const std::string& name) -> std::optional<std::string> {
        const char* value = environment(name.c_str());
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    };

    std::string file;
    bool fileRequired = false;
    if (const auto named = lookup(kConfigFileVariable); named && !named->empty()) {
        file = *named;
        fileRequired = true;
    } else if (const auto directory = lookup(kConfigDirectoryVariable); directory && !directory->empty()) {
        file = (std::filesystem::path(*directory) / kConfigFileName).string();
    }

    std::map<std::string, SectionValues> sections;
    if (!file.empty()) {
        std::error_code error;
        const bool exists = std::filesystem::is_regular_file(file, error);
        if (!exists && fileRequired) {
            return SourceSettingsResult::FromError(ConfigError{std::string("camera configuration ") + file +
                                                               " named by " + kConfigFileVariable +
                                                               " is not a readable file"});
        }
        if (exists) {
            if (ConfigCheck checked = ConfigFileReader(file).read(sections); !checked) {
                return SourceSettingsResult::FromError(checked.Error());
            }
        }
    }

    std::optional<int> fpsOverride;
    if (const auto fps = lookup(kFpsVariable)) {
        fpsOverride = ParseInt(*fps, kMinFps, kMaxFps);
        if (!fpsOverride) {
            return SourceSettingsResult::FromError(ConfigError{std::string("environment ") + kFpsVariable +
                                                               " = '" + *fps + "': expected " +
                                                               RangeText(kMinFps, kMaxFps)});
        }
    }

    std::vector<SourceSettings> result;
    result.reserve(cameraIds.size());
    for (const unsigned int id : cameraIds) {
        SourceSettings settings;
        const std::string section = kCameraSectionPrefix + std::to_string(id);
        if (const auto defaults = sections.find(kDefaultsSection); defaults != sections.end()) {
            Apply(defaults->second, settings);
        }
        if (const auto own = sections.find(section); own != sections.end()) {
            Apply(own->second, settings);
            if (!own->second.lens.empty()) {
                const LensResult lens = MakeLens(own->second.lens);
                if (!lens) {
                    return SourceSettingsResult::FromError(ConfigError{
                        "camera configuration " + file + ": [" + section + "] " + lens.Error().message});
                }
                settings.lens = lens.Value();
            }
        }
        const std::string variable = kSourceVariablePrefix + std::to_string(id);
        if (const auto source = lookup(variable)) {
            SectionValues values;
            if (ConfigCheck checked = ReadSourceVariable(variable, *source, values); !checked) {
                return SourceSettingsResult::FromError(checked.Error());
            }
            Apply(values, settings);
        }
        if (fpsOverride) {
            settings.fps = *fpsOverride;
        }
        if (settings.lens && settings.kind != SourceKind::kPattern) {
            return SourceSettingsResult::FromError(
                ConfigError{"camera " + std::to_string(id) + ": the lens_* keys of [" + section +
                            "] apply to the test pattern only, not to source " + toString(settings.kind)});
        }
        if (settings.kind != SourceKind::kPattern && settings.path.empty()) {
            return SourceSettingsResult::FromError(ConfigError{
                "camera " + std::to_string(id) + ": source " + toString(settings.kind) +
                " needs a path (key 'path' in [" + section + "] or [" + kDefaultsSection + "] of " +
                (file.empty() ? std::string("the camera configuration") : file) + ", or " + variable + ")"});
        }
        result.push_back(std::move(settings));
    }
    return result;
}

}  // namespace vcu::camera::internal
