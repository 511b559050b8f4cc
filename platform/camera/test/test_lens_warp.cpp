#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "lens_warp.h"
#include "pattern_source.h"

namespace {

using namespace vcu::camera::internal;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

// The demo's wide-angle lens: strong barrel distortion, viewed a little wider (camera_remap_maps --zoom
// 0.85).
LensSettings WideLens() {
    LensSettings lens;
    lens.camera = lens::Intrinsics{1100, 1100, 959.5, 539.5};
    lens.distortion = lens::Distortion{-0.32, 0.12, 0.001, -0.0005, -0.02};
    lens.zoom = 0.85;
    return lens;
}

TEST(LensWarpTest, WithoutDistortionEveryPixelShowsItself) {
    LensSettings lens;
    lens.camera = lens::Intrinsics{1000, 1000, 319.5, 239.5};
    const LensWarp sut(lens, 640, 480);
    for (int y = 0; y < 480; y += 7) {
        for (int x = 0; x < 640; x += 5) {
            ASSERT_EQ(sut.sourceOf(x, y), y * 640 + x) << x << "," << y;
        }
    }
}

// What makes the undistorted picture straight: where the undistortion maps look for undistorted pixel p
// (distortPoint), the lens-warped pattern shows p.
TEST(LensWarpTest, TheUndistortionMapsOfTheSameLensFindEachPixelWhereTheWarpPutIt) {
    const LensSettings lens = WideLens();
    const LensWarp sut(lens, kWidth, kHeight);
    const lens::Intrinsics view = lens.view();
    int checked = 0;
    // Away from the picture's edge, where rounding may step outside it.
    for (int v = 3; v < kHeight - 3; v += 37) {
        for (int u = 3; u < kWidth - 3; u += 41) {
            double x = 0;
            double y = 0;
            lens::distortPoint(lens.camera, lens.distortion, view, u, v, &x, &y);
            const long cx = std::lround(x);
            const long cy = std::lround(y);
            if (cx < 0 || cx >= kWidth || cy < 0 || cy >= kHeight) {
                continue;  // the camera never saw this ray: black corners of the undistorted picture
            }
            const std::int32_t source = sut.sourceOf(static_cast<int>(cx), static_cast<int>(cy));
            ASSERT_GE(source, 0) << u << "," << v << " -> " << cx << "," << cy;
            // Rounding to the camera pixel moves up to half a pixel there, which the lens magnifies near the
            // edge by at most 1 / zoom and the radial stretch.
            EXPECT_NEAR(source % kWidth, u, 2.5) << u << "," << v;
            EXPECT_NEAR(source / kWidth, v, 2.5) << u << "," << v;
            ++checked;
        }
    }
    EXPECT_GT(checked, 1000);
}

TEST(LensWarpTest, CameraPixelsBeyondThePictureAreBlack) {
    LensSettings lens = WideLens();
    lens.zoom = 1.6;  // a narrow view: the lens sees much more than the picture holds
    LensWarp sut(lens, kWidth, kHeight);
    EXPECT_EQ(sut.sourceOf(0, 0), -1);
    EXPECT_GE(sut.sourceOf(kWidth / 2, kHeight / 2), 0);

    std::fill_n(sut.picture(), kWidth * kHeight * 3 / 2, 200);
    std::vector<std::uint8_t> camera(kWidth * kHeight * 3 / 2, 0);
    sut.apply(camera.data());
    EXPECT_EQ(camera[0], 16);                                     // black luma
    EXPECT_EQ(camera[kWidth * kHeight], 128);                     // neutral chroma
    EXPECT_EQ(camera[(kHeight / 2) * kWidth + kWidth / 2], 200);  // the picture in the middle
}

TEST(LensWarpTest, ThePatternThroughALensIsBentButKeepsItsCentre) {
    PatternSource straight(8, kWidth, kHeight);
    PatternSource bent(8, kWidth, kHeight, WideLens());
    EXPECT_EQ(bent.describe(), "test pattern through a lens");
    std::vector<std::uint8_t> a(kWidth * kHeight * 3 / 2);
    std::vector<std::uint8_t> b(a.size());
    ASSERT_TRUE(straight.fill(a.data(), kWidth, kHeight, 5));
    ASSERT_TRUE(bent.fill(b.data(), kWidth, kHeight, 5));
    EXPECT_NE(a, b);
    // Corners differ a lot; near the principal point the lens changes the scale only (1 / zoom).
    EXPECT_EQ(a[(kHeight / 2) * kWidth + kWidth / 2], b[(kHeight / 2) * kWidth + kWidth / 2]);
}

}  // namespace
