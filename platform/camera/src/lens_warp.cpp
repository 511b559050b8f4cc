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

struct Point {
    double x{0};
    double y{0};
    bool valid{false};
};

// The undistorted view pixel whose ray lands on camera pixel (x, y): Newton's method on distortPoint with a
// numerical Jacobian, from `guess`.
Point Solve(const LensSettings& lens, const lens::Intrinsics& view, double x, double y, Point guess) {
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
            grid[static_cast<std::size_t>(r * columns + c)] = Solve(lens, view, x, y, guess);
        }
    }

    picture_.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3 / 2, 0);
    // One source block per 2 x 2 block of the camera picture (its chroma pair's block), looked up at the
    // block's centre: a quarter of the gathers of a per-pixel table, at a warp resolution of two pixels.
    const int blockColumns = width / 2;
    blocks_.assign(static_cast<std::size_t>(blockColumns) * static_cast<std::size_t>(height / 2), -1);
    for (int by = 0; by < height / 2; ++by) {
        const double y = 2 * by + 0.5;
        const int r = static_cast<int>(y) / kGridStep;
        const double fy = (y - r * kGridStep) / kGridStep;
        for (int bx = 0; bx < blockColumns; ++bx) {
            const double x = 2 * bx + 0.5;
            const int c = static_cast<int>(x) / kGridStep;
            const double fx = (x - c * kGridStep) / kGridStep;
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
            if (sx >= 0 && sx < width && sy >= 0 && sy < height) {
                blocks_[static_cast<std::size_t>(by) * static_cast<std::size_t>(blockColumns) +
                        static_cast<std::size_t>(bx)] =
                    static_cast<std::int32_t>(sy / 2) * blockColumns + static_cast<std::int32_t>(sx / 2);
            }
        }
    }
}

std::int32_t LensWarp::sourceOf(int x, int y) const {
    const int blockColumns = width_ / 2;
    const std::int32_t block =
        blocks_[static_cast<std::size_t>(y / 2) * static_cast<std::size_t>(blockColumns) +
                static_cast<std::size_t>(x / 2)];
    if (block < 0) {
        return -1;
    }
    return (2 * (block / blockColumns) + (y & 1)) * width_ + 2 * (block % blockColumns) + (x & 1);
}

void LensWarp::apply(std::uint8_t* camera) const {
    constexpr std::uint8_t kBlack[2] = {16, 16};
    constexpr std::uint8_t kNeutral[2] = {128, 128};
    const auto width = static_cast<std::size_t>(width_);
    const std::size_t blockColumns = width / 2;
    const std::size_t blockRows = static_cast<std::size_t>(height_) / 2;
    const std::uint8_t* source = picture_.data();
    const std::uint8_t* sourceChroma = source + width * static_cast<std::size_t>(height_);
    std::uint8_t* chroma = camera + width * static_cast<std::size_t>(height_);
    const std::int32_t* block = blocks_.data();
    for (std::size_t by = 0; by < blockRows; ++by) {
        std::uint8_t* top = camera + 2 * by * width;
        std::uint8_t* bottom = top + width;
        std::uint8_t* pairs = chroma + by * width;
        for (std::size_t bx = 0; bx < blockColumns; ++bx, ++block) {
            const std::int32_t b = *block;
            if (b < 0) {
                std::memcpy(top + 2 * bx, kBlack, 2);
                std::memcpy(bottom + 2 * bx, kBlack, 2);
                std::memcpy(pairs + 2 * bx, kNeutral, 2);
                continue;
            }
            const std::size_t sy = static_cast<std::size_t>(b) / blockColumns;
            const std::size_t sx = static_cast<std::size_t>(b) % blockColumns;
            const std::uint8_t* from = source + 2 * sy * width + 2 * sx;
            std::memcpy(top + 2 * bx, from, 2);
            std::memcpy(bottom + 2 * bx, from + width, 2);
            std::memcpy(pairs + 2 * bx, sourceChroma + sy * width + 2 * sx, 2);
        }
    }
}

}  // namespace vcu::camera::internal
