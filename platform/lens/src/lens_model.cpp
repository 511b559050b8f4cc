#include "lens/lens_model.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace lens {

void distortPoint(const Intrinsics& camera, const Distortion& d, const Intrinsics& view, double u, double v,
                  double* x, double* y) {
    const double xn = (u - view.cx) / view.fx;
    const double yn = (v - view.cy) / view.fy;
    const double r2 = xn * xn + yn * yn;
    const double radial = 1.0 + r2 * (d.k1 + r2 * (d.k2 + r2 * d.k3));
    const double xd = xn * radial + 2.0 * d.p1 * xn * yn + d.p2 * (r2 + 2.0 * xn * xn);
    const double yd = yn * radial + d.p1 * (r2 + 2.0 * yn * yn) + 2.0 * d.p2 * xn * yn;
    *x = camera.fx * xd + camera.cx;
    *y = camera.fy * yd + camera.cy;
}

UndistortMaps makeUndistortMaps(std::uint32_t width, std::uint32_t height, const Intrinsics& camera,
                                const Distortion& distortion, const Intrinsics& view) {
    UndistortMaps maps;
    maps.width = width;
    maps.height = height;
    const std::size_t count = std::size_t{width} * height;
    maps.x.resize(count);
    maps.y.resize(count);
    for (std::uint32_t v = 0; v < height; ++v) {
        for (std::uint32_t u = 0; u < width; ++u) {
            double x = 0;
            double y = 0;
            distortPoint(camera, distortion, view, u, v, &x, &y);
            const std::size_t i = std::size_t{v} * width + u;
            maps.x[i] = static_cast<float>(x);
            maps.y[i] = static_cast<float>(y);
        }
    }
    return maps;
}

ara::core::Result<void, MapError> writeMapFile(const std::string& path, const std::vector<float>& values) {
    using Written = ara::core::Result<void, MapError>;
    static_assert(sizeof(float) == 4, "map files hold 32-bit floats");
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "map files are little-endian");
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) {
        return Written::FromError(
            {MapErrc::kOpen, "cannot open " + path + " for writing: " + std::strerror(errno)});
    }
    file.write(reinterpret_cast<const char*>(values.data()),
               static_cast<std::streamsize>(values.size() * sizeof(float)));
    file.close();
    if (!file) {
        return Written::FromError({MapErrc::kWrite, "cannot write " + path});
    }
    return Written::FromValue();
}

ara::core::Result<void, MapError> writeMapFiles(const UndistortMaps& maps, const std::string& pathX,
                                                const std::string& pathY) {
    auto written = writeMapFile(pathX, maps.x);
    return written.HasValue() ? writeMapFile(pathY, maps.y) : written;
}

}  // namespace lens
