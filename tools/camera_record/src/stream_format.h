#pragma once

// What the bytes of one encoded frame say about their stream: the NAL units of an Annex-B access unit, the
// codec (from the NAL headers of the parameter sets), whether the frame is a random access point, and the
// parameters a muxer and a decoder need, taken from a key frame.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "record_error.h"

namespace camera_record {

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

struct StreamParameters {
    VideoCodec codec{VideoCodec::kUnknown};
    int width{0};
    int height{0};
    std::vector<std::uint8_t> extradata;  // the parameter sets, Annex-B
};

// The stream's parameters from a frame a recording can start with: a random access point that carries its
// parameter sets. The error says what the frame lacks.
RecordResult<StreamParameters> ProbeKeyFrame(const std::uint8_t* data, std::size_t size);

}  // namespace camera_record
