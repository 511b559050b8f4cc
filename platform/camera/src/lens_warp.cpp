#include "lens_warp.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace vcu::camera::internal {

namespace {

// The inverse is solved on a grid this many pixels apart and interpolated in between: the lens model is
// smooth.
constexpr int kGridStep = 8;
constexpr int kNewtonSteps = 12;
constexpr double kTolerancePixels = 0.01;
// A solution whose ray misses the camera pixel by more than this is no solution (past the lens's fold).
constexpr double kAcceptPixels = 0.5;
// Past the picture: one black luma byte, one spare, and a neutral chroma pair at an even offset.
constexpr std::size_t kSentinelBytes = 4;

struct Point {
    double x{0};
    double y{0};
    bool valid{false};
};

// The undistorted view pixel whose ray lands on camera pixel (x, y): Newton's method on distortPoint with a
// numerical Jacobian, from `guess`.
Point solve(const LensSettings& lens, const lens::Intrinsics& view, double x, double y, Point guess) {
    Point p = guess;
    double residual = 1e9;
    for (int step = 0; step < kNewtonSteps; ++step) {
        double fx = 0;
        double fy = 0;
        lens::distortPoint(lens.camera, lens.distortion, view, p.x, p.y, &fx, &fy);
        const double ex = x - fx;
        const double ey = y - fy;
        residual = std::hypot(ex, ey);
        if (residual < kTolerancePixels) {
            break;
        }
        constexpr double h = 0.5;
        double ax = 0;
        double ay = 0;
        double bx = 0;
        double by = 0;
        lens::distortPoint(lens.camera, lens.distortion, view, p.x + h, p.y, &ax, &ay);
        lens::distortPoint(lens.camera, lens.distortion, view, p.x, p.y + h, &bx, &by);
        const double j11 = (ax - fx) / h;
        const double j21 = (ay - fy) / h;
        const double j12 = (bx - fx) / h;
        const double j22 = (by - fy) / h;
        const double det = j11 * j22 - j12 * j21;
        if (std::abs(det) < 1e-9) {
            break;
        }
        p.x += (j22 * ex - j12 * ey) / det;
        p.y += (j11 * ey - j21 * ex) / det;
    }
    double fx = 0;
    double fy = 0;
    lens::distortPoint(lens.camera, lens.distortion, view, p.x, p.y, &fx, &fy);
    p.valid = std::isfinite(p.x) && std::isfinite(p.y) && std::hypot(x - fx, y - fy) < kAcceptPixels;
    return p;
}

}  // namespace

LensWarp::LensWarp(const LensSettings& lens, int width, int height) : width_(width), height_(height) {
    const lens::Intrinsics view = lens.view();
    const int columns = width / kGridStep + 2;
    const int rows = height / kGridStep + 2;
    std::vector<Point> grid(static_cast<std::size_t>(columns * rows));
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            const double x = c * kGridStep;
            const double y = r * kGridStep;
            // Start from a solved neighbour; else from the pinhole guess.
            Point guess{view.cx + (x - lens.camera.cx) * view.fx / lens.camera.fx,
                        view.cy + (y - lens.camera.cy) * view.fy / lens.camera.fy, true};
            if (c > 0 && grid[static_cast<std::size_t>(r * columns + c - 1)].valid) {
                guess = grid[static_cast<std::size_t>(r * columns + c - 1)];
            } else if (r > 0 && grid[static_cast<std::size_t>((r - 1) * columns + c)].valid) {
                guess = grid[static_cast<std::size_t>((r - 1) * columns + c)];
            }
            grid[static_cast<std::size_t>(r * columns + c)] = solve(lens, view, x, y, guess);
        }
    }

    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const auto blackLuma = static_cast<std::int32_t>(pixels * 3 / 2);
    const auto neutralChroma = static_cast<std::int32_t>(pixels / 2 + 2);
    picture_.assign(pixels * 3 / 2 + kSentinelBytes, 0);
    picture_[pixels * 3 / 2] = 16;
    picture_[pixels * 3 / 2 + 2] = 128;
    picture_[pixels * 3 / 2 + 3] = 128;
    luma_.assign(pixels, blackLuma);
    for (int y = 0; y < height; ++y) {
        const int r = y / kGridStep;
        const double fy = static_cast<double>(y - r * kGridStep) / kGridStep;
        for (int x = 0; x < width; ++x) {
            const int c = x / kGridStep;
            const double fx = static_cast<double>(x - c * kGridStep) / kGridStep;
            const Point& p00 = grid[static_cast<std::size_t>(r * columns + c)];
            const Point& p10 = grid[static_cast<std::size_t>(r * columns + c + 1)];
            const Point& p01 = grid[static_cast<std::size_t>((r + 1) * columns + c)];
            const Point& p11 = grid[static_cast<std::size_t>((r + 1) * columns + c + 1)];
            if (!p00.valid || !p10.valid || !p01.valid || !p11.valid) {
                continue;
            }
            const double sx =
                (p00.x * (1 - fx) + p10.x * fx) * (1 - fy) + (p01.x * (1 - fx) + p11.x * fx) * fy;
            const double sy =
                (p00.y * (1 - fx) + p10.y * fx) * (1 - fy) + (p01.y * (1 - fx) + p11.y * fx) * fy;
            const long ix = std::lround(sx);
            const long iy = std::lround(sy);
            if (ix >= 0 && ix < width && iy >= 0 && iy < height) {
                luma_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(x)] = static_cast<std::int32_t>(iy * width + ix);
            }
        }
    }

    // Each chroma pair follows the top-left luma pixel of its 2 x 2 block.
    chroma_.assign(static_cast<std::size_t>(width / 2) * static_cast<std::size_t>(height / 2), neutralChroma);
    for (int y = 0; y < height / 2; ++y) {
        for (int x = 0; x < width / 2; ++x) {
            const std::int32_t source = sourceOf(2 * x, 2 * y);
            if (source >= 0) {  // otherwise the neutral pair
                const std::int32_t sx = source % width;
                const std::int32_t sy = source / width;
                chroma_[static_cast<std::size_t>(y) * static_cast<std::size_t>(width / 2) +
                        static_cast<std::size_t>(x)] = (sy / 2) * width + (sx / 2) * 2;
            }
        }
    }
}

void LensWarp::apply(std::uint8_t* camera) const {
    // Branch-free gathers: pixels without a source read the black pixel and the neutral chroma pair kept past
    // the end of the picture.
    const std::size_t pixels = luma_.size();
    const std::uint8_t* source = picture_.data();
    const std::int32_t* luma = luma_.data();
    for (std::size_t i = 0; i < pixels; ++i) {
        camera[i] = source[luma[i]];
    }
    const std::uint8_t* sourceChroma = source + pixels;
    std::uint8_t* chroma = camera + pixels;
    const std::int32_t* pairs = chroma_.data();
    for (std::size_t i = 0; i < chroma_.size(); ++i) {
        chroma[2 * i] = sourceChroma[pairs[i]];
        chroma[2 * i + 1] = sourceChroma[pairs[i] + 1];
    }
}

}  // namespace vcu::camera::internal
