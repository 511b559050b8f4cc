#pragma once

// What the bytes of one encoded frame say about their stream: the NAL units of an Annex-B access unit, the
// codec (from the NAL headers of the parameter sets) and whether the frame is a random access point. Shared
// by the recorder and the live view.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace camera_tools {

enum class VideoCodec : std::uint8_t { kUnknown, kH264, kH265 };

// "h264" or "h265" ("unknown" otherwise): the name in the recorder's outputs and its files' extension.
const char* CodecName(VideoCodec codec) noexcept;

// One NAL unit inside a caller's buffer: its header first, without the start code and without the zero
// bytes that may trail it.
struct NalUnit {
    const std::uint8_t* data;
    std::size_t size;
};

// The NAL units of an Annex-B byte stream (start codes 00 00 01 or 00 00 00 01). Bytes before the first
// start code are not part of any unit.
std::vector<NalUnit> SplitAnnexB(const std::uint8_t* data, std::size_t size);

// H.264 when the frame carries a sequence and a picture parameter set, H.265 when it carries a video,
// sequence and picture parameter set of the base layer; kUnknown otherwise (frames between key frames).
VideoCodec DetectCodec(const std::uint8_t* data, std::size_t size);

// Whether the frame holds an IDR slice (H.264) or an IRAP picture (H.265): decoding can start with it.
bool IsRandomAccessPoint(VideoCodec codec, const std::uint8_t* data, std::size_t size);

// The frame's parameter sets, in stream order, each behind a 4-byte start code.
std::vector<std::uint8_t> ParameterSets(VideoCodec codec, const std::uint8_t* data, std::size_t size);

}  // namespace camera_tools
