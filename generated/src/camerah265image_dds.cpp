// The image event over DDS: each record becomes a foxglove_msgs/msg/CompressedVideo sample on its camera's
// topic ("rt/<prefix>/cam_<id>/video"), as ROS 2 tools and Foxglove read compressed video.

#include <cstring>
#include <limits>
#include <string_view>

#include "foxglove_msgs/msg/CompressedVideo.h"
#include "impl_type_camerah265image.h"
#include "vrt/cm/dds/dds_record_codec.h"

namespace {

using Sample = foxglove_msgs_msg_dds__CompressedVideo_;

// The type code every image record of the system carries.
constexpr std::int32_t kImageTypeCode = 20;
// The largest access unit taken from the network: far above any key frame of the cameras' sizes.
constexpr std::uint32_t kMaxFrameBytes = 32U * 1024U * 1024U;
constexpr std::size_t kMaxFrameIdBytes = 256;

constexpr const char* kH264 = "h264";
constexpr const char* kH265 = "h265";

// Calls `visit(header, size)` for the NAL units of an Annex-B access unit, in order, until it returns false.
template <typename Visit>
void ForEachNalUnit(const std::uint8_t* data, std::size_t size, Visit&& visit) {
    std::size_t i = 0;
    std::size_t start = std::numeric_limits<std::size_t>::max();
    while (i + 3U <= size) {
        if (data[i] == 0U && data[i + 1U] == 0U && data[i + 2U] == 1U) {
            if (start != std::numeric_limits<std::size_t>::max() && !visit(data + start, i - start)) {
                return;
            }
            start = i + 3U;
            i += 3U;
        } else {
            ++i;
        }
    }
    if (start != std::numeric_limits<std::size_t>::max() && start < size) {
        visit(data + start, size - start);
    }
}

// The parameter sets in front of a key frame tell the codec: H.265 VPS, SPS and PPS of the base layer, or
// H.264 SPS and PPS. The scan ends at the first unit that is no parameter set, delimiter or SEI.
const char* DetectFormatOf(const std::uint8_t* data, std::size_t size) {
    bool h265Vps = false, h265Sps = false, h265Pps = false, h264Sps = false, h264Pps = false;
    ForEachNalUnit(data, size, [&](const std::uint8_t* unit, std::size_t length) {
        if (length < 2U || (unit[0] & 0x80U) != 0U) {
            return false;
        }
        const unsigned h265Type = (unit[0] >> 1U) & 0x3FU;
        const bool h265Base = (unit[0] & 0x01U) == 0U && (unit[1] >> 3U) == 0U && (unit[1] & 0x07U) != 0U;
        const unsigned h264Type = unit[0] & 0x1FU;
        h265Vps = h265Vps || (h265Base && h265Type == 32U);
        h265Sps = h265Sps || (h265Base && h265Type == 33U);
        h265Pps = h265Pps || (h265Base && h265Type == 34U);
        h264Sps = h264Sps || h264Type == 7U;
        h264Pps = h264Pps || h264Type == 8U;
        const bool h265Header = h265Base && (h265Type >= 32U && h265Type <= 40U);
        const bool h264Header = h264Type == 6U || h264Type == 7U || h264Type == 8U || h264Type == 9U;
        return h265Header || h264Header;
    });
    if (h265Vps && h265Sps && h265Pps) {
        return kH265;
    }
    return h264Sps && h264Pps ? kH264 : nullptr;
}

// Whether the access unit's first picture is an IDR (H.264) or IRAP (H.265) picture.
bool IsKeyFrame(bool h265, const std::uint8_t* data, std::size_t size) {
    bool key = false;
    ForEachNalUnit(data, size, [&](const std::uint8_t* unit, std::size_t length) {
        if (length < 1U) {
            return true;
        }
        if (h265) {
            const unsigned type = (unit[0] >> 1U) & 0x3FU;
            if (type < 32U) {  // the first picture's slice
                key = type >= 16U && type <= 23U;
                return false;
            }
            return true;
        }
        const unsigned type = unit[0] & 0x1FU;
        if (type >= 1U && type <= 5U) {
            key = type == 5U;
            return false;
        }
        return true;
    });
    return key;
}

const CameraH265Image& Record(const void* record) {
    return *static_cast<const CameraH265Image*>(record);
}

int CameraOf(const void* record) {
    return Record(record).cameraId;
}

const char* DetectFormat(const void* record) {
    const CameraH265Image& image = Record(record);
    return DetectFormatOf(image.data.data(), image.data.size());
}

bool ToSample(const void* record, const vrt::cm::dds::TopicFields& fields, void* sample) {
    const CameraH265Image& image = Record(record);
    auto& out = *static_cast<Sample*>(sample);
    if (image.header.nsec < 0 || image.header.nsec >= 1000000000 ||
        image.data.size() > std::numeric_limits<std::uint32_t>::max()) {
        return false;
    }
    out.timestamp.sec = image.header.sec;
    out.timestamp.nanosec = static_cast<std::uint32_t>(image.header.nsec);
    // Cyclone only reads the sample while it serializes it: the record's bytes are not copied here.
    out.frame_id = const_cast<char*>(fields.frameId);
    out.data._buffer = const_cast<std::uint8_t*>(image.data.data());
    out.data._length = static_cast<std::uint32_t>(image.data.size());
    out.data._maximum = out.data._length;
    out.data._release = false;
    out.format = const_cast<char*>(fields.format);
    return true;
}

bool FromSample(const void* sample, int camera, void* record, vrt::cm::dds::BlockBytes* /*block*/) {
    const auto& in = *static_cast<const Sample*>(sample);
    auto& image = *static_cast<CameraH265Image*>(record);
    if (in.format == nullptr || in.frame_id == nullptr || camera < 0 ||
        camera > std::numeric_limits<std::int8_t>::max() || in.timestamp.nanosec >= 1000000000U ||
        in.data._length == 0U || in.data._length > kMaxFrameBytes || in.data._buffer == nullptr) {
        return false;
    }
    const std::string_view format(in.format);
    if (format != kH264 && format != kH265) {
        return false;
    }
    const std::size_t frameIdLength = ::strnlen(in.frame_id, kMaxFrameIdBytes + 1U);
    if (frameIdLength > kMaxFrameIdBytes) {
        return false;
    }
    image.typeCode = kImageTypeCode;
    image.cameraId = static_cast<std::int8_t>(camera);
    image.data.assign(in.data._buffer, in.data._buffer + in.data._length);
    image.header.sec = in.timestamp.sec;
    image.header.nsec = static_cast<std::int32_t>(in.timestamp.nanosec);
    image.header.frameId.assign(in.frame_id, frameIdLength);
    image.isKeyFrame = IsKeyFrame(format == kH265, in.data._buffer, in.data._length);
    return true;
}

const vrt::cm::dds::RecordCodec kCodec{
    &foxglove_msgs_msg_dds__CompressedVideo__desc,
    "foxglove_msgs::msg::dds_::CompressedVideo_",
    "video",
    true,
    &CameraOf,
    &DetectFormat,
    &ToSample,
    &FromSample,
};

}  // namespace

const vrt::cm::dds::RecordCodec& DdsCodec(const CameraH265Image*) {
    return kCodec;
}
