#pragma once

// The parameters a muxer and a decoder need, taken from a key frame; what else a frame says about its stream
// (codec, NAL units, random access) is video_stream.h's.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "record_error.h"
#include "video_stream.h"

namespace camera_record {

using camera_tools::CodecName;
using camera_tools::DetectCodec;
using camera_tools::IsRandomAccessPoint;
using camera_tools::NalUnit;
using camera_tools::ParameterSets;
using camera_tools::SplitAnnexB;
using camera_tools::VideoCodec;

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
