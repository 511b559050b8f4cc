#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "vcu/visual/publisher.h"

namespace vcu::visual {
namespace {

// A cloud that declares `width` × `height` points and holds `points` zeroed ones.
template <typename Point>
PointCloud<Point> Cloud(std::uint32_t width, std::uint32_t height, std::size_t points) {
    PointCloud<Point> cloud;
    cloud.width = width;
    cloud.height = height;
    cloud.points.resize(points);
    return cloud;
}

TEST(ConvertToStdPointCloudTest, UnorganizedCloudBecomesOneRow) {
    PointCloud<PointXYZI> cloud;
    cloud.header.frameId = "lidar";
    cloud.isDense = true;
    for (int i = 0; i < 5; ++i) {
        cloud.points.push_back({1.0F * i, 2.0F, 3.0F, 0.5F});
    }
    PointCloud2 out;
    ASSERT_EQ(ConvertToStdPointCloud(cloud, out), RetCode::kSuccess);
    EXPECT_EQ(out.height, 1U);
    EXPECT_EQ(out.width, 5U);
    EXPECT_EQ(out.pointStep, 16U);
    EXPECT_EQ(out.rowStep, 0U);  // from the cloud's own width, which is 0
    ASSERT_EQ(out.data.size(), 80U);
    // The points' bytes are copied as they are, so the bytes are what is compared.
    // NOLINTNEXTLINE(bugprone-suspicious-memory-comparison)
    EXPECT_EQ(std::memcmp(out.data.data(), cloud.points.data(), 80), 0);
    EXPECT_EQ(out.header.frameId, "lidar");
    EXPECT_EQ(out.header.seq, cloud.header.seq);
    EXPECT_TRUE(out.isDense);
    EXPECT_FALSE(out.isBigendian);
    ASSERT_EQ(out.fields.size(), 4U);
    EXPECT_EQ(out.fields[3], (PointField{"intensity", 12, PointField::kFloat32, 1}));
}

TEST(ConvertToStdPointCloudTest, OrganizedCloudKeepsItsShape) {
    const auto cloud = Cloud<PointXYZIR>(4, 2, 8);
    PointCloud2 out;
    ASSERT_EQ(ConvertToStdPointCloud(cloud, out), RetCode::kSuccess);
    EXPECT_EQ(out.height, 2U);
    EXPECT_EQ(out.width, 4U);
    EXPECT_EQ(out.pointStep, 20U);
    EXPECT_EQ(out.rowStep, 80U);
    EXPECT_EQ(out.data.size(), 160U);
    EXPECT_EQ(out.fields.back(), (PointField{"ring", 16, PointField::kUint16, 1}));
}

TEST(ConvertToStdPointCloudTest, SizeMismatchLeavesTheOutputUntouched) {
    const auto cloud = Cloud<PointXYZ>(4, 2, 7);
    PointCloud2 out;
    out.width = 99;
    out.data = {1, 2, 3};
    EXPECT_EQ(ConvertToStdPointCloud(cloud, out), RetCode::kSizeMismatch);
    EXPECT_EQ(out.width, 99U);
    EXPECT_EQ(out.data, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_TRUE(out.fields.empty());

    // width × height is computed in 64 bits: 2^16 × 2^16 does not wrap to 0 points.
    EXPECT_EQ(ConvertToStdPointCloud(Cloud<PointXYZ>(65536, 65536, 0), out), RetCode::kSizeMismatch);
}

TEST(ConvertToStdPointCloudTest, EmptyCloudStillGetsItsFieldDescriptors) {
    const PointCloud<PointXYZRGB> cloud;
    PointCloud2 out;
    out.data = {9};
    ASSERT_EQ(ConvertToStdPointCloud(cloud, out), RetCode::kSuccess);
    EXPECT_EQ(out.height, 1U);
    EXPECT_EQ(out.width, 0U);
    EXPECT_TRUE(out.data.empty());
    ASSERT_EQ(out.fields.size(), 4U);
    EXPECT_EQ(out.fields.back(), (PointField{"rgb", 12, PointField::kUint32, 1}));
    EXPECT_EQ(VizConvertToPointField<PointXYZ>().size(), 3U);
}

TEST(TransferTest, RefusesWhatDoesNotFit) {
    std::uint8_t destination[4] = {0, 0, 0, 0};
    const std::uint8_t source[5] = {1, 2, 3, 4, 5};
    EXPECT_FALSE(Transfer(destination, sizeof(destination), source, sizeof(source)));
    EXPECT_FALSE(Transfer(nullptr, 4, source, 4));
    EXPECT_EQ(destination[0], 0);
    EXPECT_TRUE(Transfer(destination, sizeof(destination), source, 4));
    EXPECT_EQ(destination[3], 4);
}

class RecordingPublisher : public Publisher {
  public:
    using Publisher::Publish;
    bool Publish(const PointCloud2& cloud) const override {
        published.push_back(cloud.width);
        return true;
    }
    mutable std::vector<std::uint32_t> published;
};

TEST(PublisherTest, PublishesConvertedCloudsOnly) {
    const RecordingPublisher sut;
    PointCloud<PointXYZI> good;
    good.points.resize(3);
    EXPECT_TRUE(sut.Publish(good));

    EXPECT_FALSE(sut.Publish(Cloud<PointXYZI>(2, 2, 0)));
    EXPECT_EQ(sut.published, (std::vector<std::uint32_t>{3}));
}

}  // namespace
}  // namespace vcu::visual
