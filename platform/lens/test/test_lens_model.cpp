#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "lens/lens_model.h"

namespace {

const lens::Intrinsics kCamera{1000.0, 1000.0, 959.5, 539.5};

TEST(LensModelTest, WithoutDistortionTheMapsAreTheIdentity) {
    const lens::UndistortMaps maps = lens::makeUndistortMaps(64, 32, kCamera, {}, kCamera);
    ASSERT_EQ(maps.x.size(), 64u * 32u);
    for (std::uint32_t v = 0; v < 32; ++v) {
        for (std::uint32_t u = 0; u < 64; ++u) {
            ASSERT_FLOAT_EQ(maps.x[v * 64 + u], static_cast<float>(u));
            ASSERT_FLOAT_EQ(maps.y[v * 64 + u], static_cast<float>(v));
        }
    }
}

TEST(LensModelTest, FollowsTheRadialAndTangentialModel) {
    lens::Distortion distortion{0.1, 0.01, 0.0, 0.0, 0.001};
    double x = 0;
    double y = 0;
    // One focal length right of the centre: r = 1, so the radial factor is 1 + k1 + k2 + k3.
    lens::distortPoint(kCamera, distortion, kCamera, 959.5 + 1000.0, 539.5, &x, &y);
    EXPECT_NEAR(x, 959.5 + 1000.0 * 1.111, 1e-9);
    EXPECT_NEAR(y, 539.5, 1e-9);
    // Tangential terms move a point on the axis sideways: p1 shifts y by p1 * r^2, p2 shifts x by 3 p2 x^2.
    distortion = {0.0, 0.0, 0.002, 0.003, 0.0};
    lens::distortPoint(kCamera, distortion, kCamera, 959.5 + 1000.0, 539.5, &x, &y);
    EXPECT_NEAR(x, 959.5 + 1000.0 * (1 + 3 * 0.003), 1e-9);
    EXPECT_NEAR(y, 539.5 + 1000.0 * 0.002, 1e-9);
    // The principal point does not move, and a wider view reaches further out.
    lens::distortPoint(kCamera, {-0.3, 0.1, 0.001, 0.001, 0.0}, kCamera, 959.5, 539.5, &x, &y);
    EXPECT_DOUBLE_EQ(x, 959.5);
    lens::Intrinsics wide = kCamera;
    wide.fx = wide.fy = 500.0;
    lens::distortPoint(kCamera, {}, wide, 959.5 + 100.0, 539.5, &x, &y);
    EXPECT_NEAR(x, 959.5 + 200.0, 1e-9);
}

TEST(LensModelTest, MapFileHoldsRawLittleEndianFloats) {
    const std::string path = ::testing::TempDir() + "lens_model_map.bin";
    const std::vector<float> values{1.5f, -2.25f, 1919.0f};
    const auto written = lens::writeMapFile(path, values);
    ASSERT_TRUE(written.HasValue()) << written.Error().message;
    std::ifstream file(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 12u);
    const unsigned char oneAndAHalf[4] = {0x00, 0x00, 0xC0, 0x3F};
    EXPECT_EQ(std::memcmp(bytes.data(), oneAndAHalf, 4), 0);
    std::remove(path.c_str());
    const auto refused = lens::writeMapFile("/nonexistent/dir/map.bin", values);
    ASSERT_FALSE(refused.HasValue());
    EXPECT_EQ(refused.Error().code, lens::MapErrc::kOpen);
    EXPECT_NE(refused.Error().message.find("/nonexistent/dir/map.bin"), std::string::npos);
}

}  // namespace
