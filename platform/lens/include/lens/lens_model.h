#pragma once

// Undistortion maps from a pinhole camera calibration with the usual five distortion coefficients (radial
// k1, k2, k3 and tangential p1, p2, as OpenCV's calibration writes them).
//
// For every pixel of the undistorted picture the maps give the column (x map) and row (y map) of the camera
// picture that shows the same ray: the maps the media unit's remap turns into its lookup table.

#include <cstdint>
#include <string>
#include <vector>

#include "ara/core/result.h"

namespace lens {

struct Intrinsics {
    double fx{0};  // focal lengths in pixels
    double fy{0};
    double cx{0};  // principal point in pixels
    double cy{0};
};

struct Distortion {
    double k1{0};
    double k2{0};
    double p1{0};
    double p2{0};
    double k3{0};
};

struct UndistortMaps {
    std::uint32_t width{0};
    std::uint32_t height{0};
    std::vector<float> x;  // width * height values, row by row
    std::vector<float> y;
};

// Where the ray of undistorted pixel (u, v) hits the camera picture. `view` is the pinhole camera of the
// undistorted picture (usually the calibration's own intrinsics; smaller focal lengths show more of the
// field of view, with black where the camera saw nothing).
void distortPoint(const Intrinsics& camera, const Distortion& distortion, const Intrinsics& view, double u,
                  double v, double* x, double* y);

UndistortMaps makeUndistortMaps(std::uint32_t width, std::uint32_t height, const Intrinsics& camera,
                                const Distortion& distortion, const Intrinsics& view);

enum class MapErrc {
    kOpen,   // the file cannot be created
    kWrite,  // the file cannot be written
};

// What failed, and a message that names the file.
struct MapError {
    MapErrc code;
    std::string message;
};

// Writes `values` as raw little-endian 32-bit floats, no header. The error names the file and what failed.
ara::core::Result<void, MapError> writeMapFile(const std::string& path, const std::vector<float>& values);

// Writes both maps, the x map to `pathX` and the y map to `pathY`.
ara::core::Result<void, MapError> writeMapFiles(const UndistortMaps& maps, const std::string& pathX,
                                                const std::string& pathY);

}  // namespace lens
