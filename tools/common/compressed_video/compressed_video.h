#pragma once

// foxglove_msgs/msg/CompressedVideo, the ROS 2 form of Foxglove's CompressedVideo schema, as ROS 2's DDS
// layers put it on the wire: CDR (XCDR1) little endian behind the encapsulation header 00 01 00 00. One
// message is one camera frame: the capture stamp, the camera's frame id (cam_<id>), the access unit as
// published (Annex B, parameter sets in front of every key frame) and the codec ("h264" or "h265"). The
// recorder's MCAP file and camera_view's Foxglove WebSocket channels carry exactly these bytes.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace camera_tools {

inline constexpr std::string_view kCompressedVideoSchemaName = "foxglove_msgs/msg/CompressedVideo";
inline constexpr std::string_view kCompressedVideoSchemaEncoding = "ros2msg";  // MCAP's and Foxglove's name
inline constexpr std::string_view kCompressedVideoMessageEncoding = "cdr";

// The message definition, then the one it uses behind a line of 80 '=' and "MSG: builtin_interfaces/Time",
// as the ros2msg schema encoding concatenates them.
std::string_view CompressedVideoSchema();

// A frame as the message carries it; the views point into the caller's buffers.
struct CompressedVideo {
    std::int32_t sec{0};
    std::uint32_t nanosec{0};
    std::string_view frameId;
    const std::uint8_t* data{nullptr};
    std::size_t size{0};
    std::string_view format;
};

// The number of bytes EncodeCompressedVideo writes for `video`.
std::size_t CompressedVideoCdrSize(const CompressedVideo& video) noexcept;

// Writes exactly CompressedVideoCdrSize(video) bytes at `out`: the encapsulation header, then the fields with
// CDR's alignment (relative to the end of the header) and strings with their terminating NUL counted in
// their length. Padding bytes are zero.
void EncodeCompressedVideo(const CompressedVideo& video, std::uint8_t* out) noexcept;

// Reads a message back; the views of `video` point into `bytes`. False when `bytes` is no little-endian CDR
// CompressedVideo: another encapsulation, a length beyond the end, a string without its NUL.
bool DecodeCompressedVideo(const std::uint8_t* bytes, std::size_t size, CompressedVideo* video) noexcept;

// The format name of an Annex-B access unit from its parameter sets: "h265" when it carries an H.265 VPS, SPS
// or PPS, "h264" when it carries an H.264 SPS or PPS, "" when it carries none (a frame that is no key frame).
std::string_view AnnexBVideoFormat(const std::uint8_t* data, std::size_t size) noexcept;

}  // namespace camera_tools
