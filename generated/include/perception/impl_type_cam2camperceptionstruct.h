#pragma once

#include <cstdint>

#include "impl_type_driverheader.h"

struct Mbuf;  // the platform's shared-buffer block, opaque here

namespace vrt::cm::dds {
struct RecordCodec;
}  // namespace vrt::cm::dds

namespace perception {

// A perception camera event: a few fields plus the shared-buffer block that carries the image data. The block
// is not serialized; it travels as the event's raw-data block. The record never owns the block: copies name
// the same block and destruction leaves it alone.
struct Cam2CamPerceptionStruct {
    std::int32_t typeCode{0};
    std::int8_t seq{0};
    Mbuf* mbufPtr{nullptr};
    DriverHeader header;

    static bool IsPlane() { return false; }

    void SetMbufPtr(Mbuf* mbuf) { mbufPtr = mbuf; }
    Mbuf* GetMbufPtr() const { return mbufPtr; }

    // The block pointer is deliberately not visited.
    template <typename Visitor>
    void enumerate(Visitor& visitor) {
        visitor(typeCode);
        visitor(seq);
        visitor(header);
    }
    template <typename Visitor>
    void enumerate(Visitor& visitor) const {
        visitor(typeCode);
        visitor(seq);
        visitor(header);
    }

    // Compares the serialized fields and the block pointer.
    friend bool operator==(const Cam2CamPerceptionStruct& lhs, const Cam2CamPerceptionStruct& rhs) {
        return lhs.typeCode == rhs.typeCode && lhs.seq == rhs.seq && lhs.mbufPtr == rhs.mbufPtr &&
               lhs.header == rhs.header;
    }
    friend bool operator!=(const Cam2CamPerceptionStruct& lhs, const Cam2CamPerceptionStruct& rhs) {
        return !(lhs == rhs);
    }
};

// Over DDS the record travels as vrt_msgs/msg/Cam2CamPerception, on its event's camera topic
// (src/cam2camperception_dds.cpp).
const vrt::cm::dds::RecordCodec& DdsCodec(const Cam2CamPerceptionStruct*);

}  // namespace perception
