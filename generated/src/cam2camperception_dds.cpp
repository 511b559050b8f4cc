// The camera driving service's perception events over DDS: each record becomes a
// vrt_msgs/msg/Cam2CamPerception sample on its event's camera topic ("rt/<prefix>/cam_<id>/perception"),
// carrying its shared-buffer block's bytes.

#include <cstring>
#include <limits>

#include "hal_buff/hal_buff.h"
#include "perception/impl_type_cam2camperceptionstruct.h"
#include "vrt/cm/dds/dds_record_codec.h"
#include "vrt_msgs/msg/Cam2CamPerception.h"

namespace {

using Sample = vrt_msgs_msg_dds__Cam2CamPerception_;

constexpr std::uint32_t kMaxBlockBytes = 32U * 1024U * 1024U;
constexpr std::size_t kMaxFrameIdBytes = 256;

bool ToSample(const void* record, const vrt::cm::dds::TopicFields& /*fields*/, void* sample) {
    const auto& perception = *static_cast<const perception::Cam2CamPerceptionStruct*>(record);
    auto& out = *static_cast<Sample*>(sample);
    if (perception.header.nsec < 0 || perception.header.nsec >= 1000000000) {
        return false;
    }
    out.timestamp.sec = perception.header.sec;
    out.timestamp.nanosec = static_cast<std::uint32_t>(perception.header.nsec);
    // Cyclone only reads the sample while it serializes it: neither the block nor the strings are copied
    // here.
    out.frame_id = const_cast<char*>(perception.header.frameId.c_str());
    out.type_code = perception.typeCode;
    out.seq = perception.seq;
    if (Mbuf* block = perception.GetMbufPtr(); block != nullptr) {
        void* data = nullptr;
        std::uint64_t capacity = 0U;
        std::uint64_t length = 0U;
        if (halMbufGetDataPtr(block, &data, &capacity) != HAL_BUFF_OK ||
            halMbufGetDataLen(block, &length) != HAL_BUFF_OK || length > capacity ||
            length > kMaxBlockBytes) {
            return false;
        }
        out.data._buffer = static_cast<std::uint8_t*>(data);
        out.data._length = static_cast<std::uint32_t>(length);
        out.data._maximum = out.data._length;
        out.data._release = false;
    }
    return true;
}

bool FromSample(const void* sample, int /*camera*/, void* record, vrt::cm::dds::BlockBytes* block) {
    const auto& in = *static_cast<const Sample*>(sample);
    auto& perception = *static_cast<perception::Cam2CamPerceptionStruct*>(record);
    if (in.frame_id == nullptr || in.timestamp.nanosec >= 1000000000U || in.data._length > kMaxBlockBytes ||
        (in.data._length > 0U && in.data._buffer == nullptr)) {
        return false;
    }
    const std::size_t frameIdLength = ::strnlen(in.frame_id, kMaxFrameIdBytes + 1U);
    if (frameIdLength > kMaxFrameIdBytes) {
        return false;
    }
    perception.typeCode = in.type_code;
    perception.seq = in.seq;
    perception.header.sec = in.timestamp.sec;
    perception.header.nsec = static_cast<std::int32_t>(in.timestamp.nanosec);
    perception.header.frameId.assign(in.frame_id, frameIdLength);
    perception.SetMbufPtr(nullptr);
    *block = vrt::cm::dds::BlockBytes{in.data._buffer, in.data._length};
    return true;
}

const vrt::cm::dds::RecordCodec kCodec{
    &vrt_msgs_msg_dds__Cam2CamPerception__desc,
    "vrt_msgs::msg::dds_::Cam2CamPerception_",
    "perception",
    true,
    nullptr,  // one event per camera
    nullptr,
    &ToSample,
    &FromSample,
};

}  // namespace

namespace perception {

const vrt::cm::dds::RecordCodec& DdsCodec(const Cam2CamPerceptionStruct*) {
    return kCodec;
}

}  // namespace perception
