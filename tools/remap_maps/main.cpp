// camera_remap_maps: writes the two undistortion map files of a camera from its calibration.
//
//   camera_remap_maps --width 1920 --height 1080 --fx 1000 --fy 1000 --cx 959.5 --cy 539.5
//                     --k1 -0.3 --k2 0.1 [--p1 0] [--p2 0] [--k3 0] [--zoom 1.0]
//                     --out-x cam_8_x.bin --out-y cam_8_y.bin
//
// --zoom scales the focal lengths of the undistorted view: below 1 it shows more of the field of view (with
// black where the camera saw nothing), above 1 it crops into the picture.

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

#include "lens/lens_model.h"
#include "vcu/os/files.h"

namespace {

void usage() {
    std::cerr << "usage: camera_remap_maps --width W --height H --fx FX --fy FY --cx CX --cy CY\n"
                 "                         [--k1 K1] [--k2 K2] [--p1 P1] [--p2 P2] [--k3 K3] [--zoom Z]\n"
                 "                         --out-x FILE --out-y FILE\n";
}

bool parseNumber(const std::string& text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return !text.empty() && end != nullptr && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    // A closed standard descriptor would be taken by the first file opened, which would get the output.
    vcu::os::OpenStandardDescriptors();
    std::map<std::string, std::string> options;
    for (int i = 1; i < argc; ++i) {
        const std::string key = argv[i];
        if (key.rfind("--", 0) != 0 || i + 1 >= argc) {
            usage();
            return 2;
        }
        options[key.substr(2)] = argv[++i];
    }
    const auto number = [&](const char* key, bool required, double fallback, double* value) {
        const auto found = options.find(key);
        if (found == options.end()) {
            if (required) {
                std::cerr << "camera_remap_maps: --" << key << " is required\n";
                return false;
            }
            *value = fallback;
            return true;
        }
        if (!parseNumber(found->second, value)) {
            std::cerr << "camera_remap_maps: --" << key << " is not a number: " << found->second << "\n";
            return false;
        }
        return true;
    };

    double width = 0, height = 0, zoom = 1;
    lens::Intrinsics camera;
    lens::Distortion distortion;
    const bool ok = number("width", true, 0, &width) && number("height", true, 0, &height) &&
                    number("fx", true, 0, &camera.fx) && number("fy", true, 0, &camera.fy) &&
                    number("cx", true, 0, &camera.cx) && number("cy", true, 0, &camera.cy) &&
                    number("k1", false, 0, &distortion.k1) && number("k2", false, 0, &distortion.k2) &&
                    number("p1", false, 0, &distortion.p1) && number("p2", false, 0, &distortion.p2) &&
                    number("k3", false, 0, &distortion.k3) && number("zoom", false, 1, &zoom);
    if (!ok || options.count("out-x") == 0 || options.count("out-y") == 0) {
        usage();
        return 2;
    }
    if (width < 2 || height < 2 || width > 8192 || height > 8192 ||
        static_cast<std::uint32_t>(width) % 2 != 0 || static_cast<std::uint32_t>(height) % 2 != 0 ||
        camera.fx <= 0 || camera.fy <= 0 || zoom <= 0) {
        std::cerr << "camera_remap_maps: width and height must be even (2..8192), fx, fy and zoom positive\n";
        return 2;
    }

    lens::Intrinsics view = camera;
    view.fx *= zoom;
    view.fy *= zoom;
    const lens::UndistortMaps maps = lens::makeUndistortMaps(
        static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), camera, distortion, view);
    if (const auto written = lens::writeMapFiles(maps, options["out-x"], options["out-y"]); !written) {
        std::cerr << "camera_remap_maps: " << written.Error().message << "\n";
        return 1;
    }
    std::cout << "camera_remap_maps: wrote " << maps.x.size() << " values to " << options["out-x"] << " and "
              << options["out-y"] << "\n";
    return 0;
}
