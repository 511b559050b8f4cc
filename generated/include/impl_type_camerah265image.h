#pragma once

#include <cstdint>
#include <vector>

#include "impl_type_driverheader.h"

// One encoded frame of one camera, as the visualization service's image event carries it.
struct CameraH265Image {
    std::int32_t typeCode{0};
    std::int8_t cameraId{0};
    std::vector<std::uint8_t> data;  // the encoder's stream bytes of the frame
    DriverHeader header;
    bool isKeyFrame{false};

    static bool IsPlane() { return false; }

    template <typename Visitor>
    void enumerate(Visitor& visitor) {
        visitor(typeCode);
        visitor(cameraId);
        visitor(data);
        visitor(header);
        visitor(isKeyFrame);
    }
    template <typename Visitor>
    void enumerate(Visitor& visitor) const {
        visitor(typeCode);
        visitor(cameraId);
        visitor(data);
        visitor(header);
        visitor(isKeyFrame);
    }

    friend bool operator==(const CameraH265Image& lhs, const CameraH265Image& rhs) {
        return lhs.typeCode == rhs.typeCode && lhs.cameraId == rhs.cameraId && lhs.data == rhs.data &&
               lhs.header == rhs.header && lhs.isKeyFrame == rhs.isKeyFrame;
    }
    friend bool operator!=(const CameraH265Image& lhs, const CameraH265Image& rhs) { return !(lhs == rhs); }
};

namespace vrt::cm::dds {
struct RecordCodec;
}  // namespace vrt::cm::dds

// Over DDS the record travels as the ROS 2 message foxglove_msgs/msg/CompressedVideo, one topic per camera
// (src/camerah265image_dds.cpp).
const vrt::cm::dds::RecordCodec& DdsCodec(const CameraH265Image*);
