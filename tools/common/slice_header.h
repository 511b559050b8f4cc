#pragma once

// Where a frame stands in its stream, from the first slice header of its access unit: the H.264 frame_num or
// the H.265 picture order count, which advance by a known step from frame to frame, so that a gap means
// frames that never arrived. Reading a slice header needs a few fields of the sequence and picture parameter
// sets, which key frames carry; the reader keeps them per id. The bytes come from the network: every read is
// bounded by its NAL unit, and a unit that ends early or holds a value out of range yields nothing. Not
// thread-safe: one reader per camera.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "video_stream.h"

namespace camera_tools {

struct SlicePosition {
    bool randomAccess{false};       // an IDR (H.264) or IRAP (H.265) picture: decoding can start here
    bool numberingRestarts{false};  // IDR, or H.265 broken link access: the number starts over here
    // Whether later pictures may refer to this one (H.264 nal_ref_idc != 0; H.265: a picture of temporal
    // layer 0 that is not a sub-layer non-reference or leading picture).
    bool reference{true};
    // H.264: frame_num. H.265: the picture order count, its most significant part derived from the previous
    // reference picture (0 at an IDR).
    std::int64_t number{0};
    // H.264: MaxFrameNum, the modulus of frame_num. H.265: MaxPicOrderCntLsb, the range a count can jump by
    // and still be derived right.
    std::int64_t modulus{0};
};

class SliceHeaderReader {
  public:
    explicit SliceHeaderReader(VideoCodec codec) : codec_(codec) {}

    // Takes the parameter sets of the access unit and reads its first slice header. Nothing when the unit
    // holds no slice, names a parameter set not seen yet, or cannot be read.
    std::optional<SlicePosition> Read(const std::uint8_t* data, std::size_t size);

  private:
    struct H264Sequence {
        bool known{false};
        bool separateColourPlane{false};
        std::uint32_t log2MaxFrameNum{0};
    };
    struct H265Sequence {
        bool known{false};
        bool separateColourPlane{false};
        std::uint32_t log2MaxPocLsb{0};
    };
    struct H265Picture {
        bool known{false};
        std::uint32_t sequence{0};
        bool outputFlagPresent{false};
        std::uint32_t extraSliceHeaderBits{0};
    };

    bool ReadH264Sequence(const NalUnit& unit);
    bool ReadH264Picture(const NalUnit& unit);
    std::optional<SlicePosition> ReadH264Slice(const NalUnit& unit) const;
    bool ReadH265Sequence(const NalUnit& unit);
    bool ReadH265Picture(const NalUnit& unit);
    std::optional<SlicePosition> ReadH265Slice(const NalUnit& unit);

    VideoCodec codec_;
    std::array<H264Sequence, 32> h264Sequences_{};
    std::array<std::optional<std::uint8_t>, 256> h264Pictures_{};  // picture set id -> sequence set id
    std::array<H265Sequence, 16> h265Sequences_{};
    std::array<H265Picture, 64> h265Pictures_{};
    // H.265: the order count of the previous reference picture, which the next count is derived from.
    std::int64_t previousReferenceCount_{0};
};

}  // namespace camera_tools
