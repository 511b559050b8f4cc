#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <typeinfo>
#include <vector>

#include "impl_type_camerah265image.h"
#include "perception/impl_type_cam2camperceptionstruct.h"
#include "perception/impl_type_lidar2lidarperception.h"

namespace {

// Records the address of every field enumerate hands over.
struct AddressVisitor {
    std::vector<const void*> seen;
    template <typename U>
    void operator()(const U& field) {
        seen.push_back(&field);
    }
};

TEST(RecordsTest, DefaultConstructionZeroesEverything) {
    const CameraH265Image image;
    EXPECT_EQ(image.typeCode, 0);
    EXPECT_EQ(image.cameraId, 0);
    EXPECT_TRUE(image.data.empty());
    EXPECT_EQ(image.header, DriverHeader{});
    EXPECT_EQ(image.header.sec, 0);
    EXPECT_EQ(image.header.nsec, 0);
    EXPECT_TRUE(image.header.frameId.empty());
    EXPECT_FALSE(image.isKeyFrame);

    const perception::Cam2CamPerceptionStruct perception;
    EXPECT_EQ(perception.typeCode, 0);
    EXPECT_EQ(perception.seq, 0);
    EXPECT_EQ(perception.GetMbufPtr(), nullptr);

    const perception::LiDAR2LiDARPerception cloud;
    EXPECT_EQ(cloud.header, perception::SensorHeader{});
    EXPECT_TRUE(cloud.points.empty());
    EXPECT_EQ(perception::PointXYZIT{}, (perception::PointXYZIT{0.0F, 0.0F, 0.0F, 0U}));
}

TEST(RecordsTest, NoneOfTheEventRecordsIsPlain) {
    EXPECT_FALSE(CameraH265Image::IsPlane());
    EXPECT_FALSE(DriverHeader::IsPlane());
    EXPECT_FALSE(perception::Cam2CamPerceptionStruct::IsPlane());
}

TEST(RecordsTest, EnumerateVisitsSerializedFieldsInWireOrder) {
    CameraH265Image image;
    AddressVisitor imageVisitor;
    image.enumerate(imageVisitor);
    EXPECT_EQ(imageVisitor.seen, (std::vector<const void*>{&image.typeCode, &image.cameraId, &image.data,
                                                           &image.header, &image.isKeyFrame}));

    const perception::Cam2CamPerceptionStruct perception;
    AddressVisitor perceptionVisitor;
    perception.enumerate(perceptionVisitor);
    // Three fields: the block pointer never goes on the wire.
    EXPECT_EQ(perceptionVisitor.seen,
              (std::vector<const void*>{&perception.typeCode, &perception.seq, &perception.header}));

    perception::LiDAR2LiDARPerception cloud;
    AddressVisitor cloudVisitor;
    cloud.enumerate(cloudVisitor);
    EXPECT_EQ(cloudVisitor.seen, (std::vector<const void*>{&cloud.header, &cloud.points}));
}

TEST(RecordsTest, CopiesShareTheBlockButNotTheBytes) {
    auto* block = reinterpret_cast<Mbuf*>(std::uintptr_t{0x1000});  // never dereferenced
    perception::Cam2CamPerceptionStruct original;
    original.SetMbufPtr(block);
    original.header.frameId = "cam";
    {
        perception::Cam2CamPerceptionStruct copy(original);
        EXPECT_EQ(copy.GetMbufPtr(), block);
        copy.header.frameId += "_copy";
        perception::Cam2CamPerceptionStruct assigned;
        assigned = copy;
        EXPECT_EQ(assigned.GetMbufPtr(), block);
        EXPECT_EQ(assigned.header.frameId, "cam_copy");
    }
    EXPECT_EQ(original.GetMbufPtr(), block);
    EXPECT_EQ(original.header.frameId, "cam");

    CameraH265Image image;
    image.data = {1, 2};
    CameraH265Image imageCopy = image;
    imageCopy.data[0] = 9;
    EXPECT_EQ(image.data[0], 1);
}

}  // namespace
