#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ara/core/result.h"
#include "lens_warp.h"

namespace vcu::camera::internal {

enum class SourceKind { kPattern, kNv12File, kVideoFile };

const char* toString(SourceKind kind) noexcept;

// How one camera produces its pictures.
struct SourceSettings {
    static constexpr int kDefaultFps = 30;
    static constexpr int kDefaultBufferCount = 4;

    SourceKind kind{SourceKind::kPattern};
    std::string path;  // file of an nv12 or video source
    int fps{kDefaultFps};
    int bufferCount{kDefaultBufferCount};
    // The test pattern as this lens shows it (keys lens_fx .. lens_zoom of the camera's own section).
    std::optional<LensSettings> lens;
};

struct ConfigError {
    std::string message;
};

// getenv-like: the variable's value, or null when it is not set.
using EnvironmentLookup = std::function<const char*(const char*)>;

// Finds and reads the platform configuration file and the environment overrides (see vcu/camera/camera.h)
// and returns the settings of each camera of `cameraIds`, in that order. Relative paths in the file are taken
// from the file's directory, those in the environment from the working directory.
using SourceSettingsResult = ara::core::Result<std::vector<SourceSettings>, ConfigError>;

SourceSettingsResult loadSourceSettings(const std::vector<unsigned int>& cameraIds,
                                        const EnvironmentLookup& environment);

}  // namespace vcu::camera::internal
