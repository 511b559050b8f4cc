#include "slice_header.h"

#include "mpu/annex_b.h"

namespace camera_tools {
namespace {

// Bits of a NAL unit's payload with the emulation prevention bytes (00 00 03) taken out. A read past the end
// fails and leaves the reader failed.
class RbspReader {
  public:
    RbspReader(const NalUnit& unit, std::size_t headerBytes)
        : data_(unit.data), size_(unit.size), position_(headerBytes) {}

    bool Ok() const noexcept { return ok_; }

    std::uint32_t Bits(std::uint32_t count) {
        std::uint32_t value = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            value = value << 1U | Bit();
        }
        return value;
    }

    void Skip(std::uint32_t count) {
        for (std::uint32_t i = 0; i < count && ok_; ++i) {
            Bit();
        }
    }

    // ue(v); values beyond 32 bits are refused.
    std::uint32_t Unsigned() {
        std::uint32_t zeros = 0;
        while (ok_ && Bit() == 0) {
            if (++zeros > 31) {
                ok_ = false;
            }
        }
        if (!ok_) {
            return 0;
        }
        return static_cast<std::uint32_t>((std::uint64_t{1} << zeros) - 1U + Bits(zeros));
    }

    // ue(v) that must not exceed `limit`.
    std::uint32_t Unsigned(std::uint32_t limit) {
        const std::uint32_t value = Unsigned();
        if (value > limit) {
            ok_ = false;
        }
        return value;
    }

    // se(v), only to be skipped here.
    void SkipSigned() { Unsigned(); }

  private:
    std::uint32_t Bit() {
        if (bit_ == 0) {
            // A 03 after two zero bytes was put there so that the payload holds no start code.
            if (zeros_ >= 2 && position_ < size_ && data_[position_] == 3) {
                ++position_;
                zeros_ = 0;
            }
            if (position_ >= size_) {
                ok_ = false;
                return 0;
            }
            current_ = data_[position_++];
            zeros_ = current_ == 0 ? zeros_ + 1 : 0;
            bit_ = 8;
        }
        --bit_;
        return current_ >> bit_ & 1U;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_;
    std::uint32_t current_{0};
    std::uint32_t bit_{0};
    std::uint32_t zeros_{0};
    bool ok_{true};
};

enum H264Type : std::uint32_t { kH264Slice = 1, kH264Idr = 5, kH264Sps = 7, kH264Pps = 8 };
enum H265Type : std::uint32_t {
    kH265LastSubLayerNonReference = 14,
    kH265FirstIrap = 16,
    kH265LastBla = 18,
    kH265IdrWithLeading = 19,
    kH265IdrWithoutLeading = 20,
    kH265LastIrap = 23,
    kH265LastVcl = 31,
    kH265Sps = 33,
    kH265Pps = 34,
};
enum H265Leading : std::uint32_t { kH265FirstLeading = 6, kH265LastLeading = 9 };

// Profiles whose sequence parameter set carries the chroma format, bit depths and scaling lists.
bool HasChromaFields(std::uint32_t profile) {
    switch (profile) {
        case 100:
        case 110:
        case 122:
        case 244:
        case 44:
        case 83:
        case 86:
        case 118:
        case 128:
        case 138:
        case 139:
        case 134:
        case 135:
            return true;
        default:
            return false;
    }
}

void SkipScalingList(RbspReader& reader, int size) {
    std::int32_t last = 8;
    std::int32_t next = 8;
    for (int j = 0; j < size && reader.Ok(); ++j) {
        if (next != 0) {
            // se(v): the code number k stands for (-1)^(k+1) * ceil(k / 2).
            const std::uint32_t code = reader.Unsigned();
            const std::int32_t delta = (code & 1U) != 0 ? static_cast<std::int32_t>((code + 1U) / 2U)
                                                        : -static_cast<std::int32_t>(code / 2U);
            next = ((last + delta) % 256 + 256) % 256;
        }
        last = next == 0 ? last : next;
    }
}

}  // namespace

std::optional<SlicePosition> SliceHeaderReader::Read(const std::uint8_t* data, std::size_t size) {
    std::optional<SlicePosition> position;
    for (const NalUnit& unit : SplitAnnexB(data, size)) {
        if (codec_ == VideoCodec::kH264 && unit.size >= 1 && (unit.data[0] & 0x80U) == 0) {
            const std::uint32_t type = mpu::annex_b::h264NalType(unit.data[0]);
            if (type == kH264Sps) {
                ReadH264Sequence(unit);
            } else if (type == kH264Pps) {
                ReadH264Picture(unit);
            } else if (type >= kH264Slice && type <= kH264Idr) {
                return ReadH264Slice(unit);
            }
        } else if (codec_ == VideoCodec::kH265 && unit.size >= 2 && (unit.data[0] & 0x81U) == 0 &&
                   (unit.data[1] & 0xF8U) == 0) {
            const std::uint32_t type = mpu::annex_b::h265NalType(unit.data[0]);
            if (type == kH265Sps) {
                ReadH265Sequence(unit);
            } else if (type == kH265Pps) {
                ReadH265Picture(unit);
            } else if (type <= kH265LastVcl) {
                // The picture's first slice segment says where it starts; later segments of the same picture
                // carry no order count of their own.
                return ReadH265Slice(unit);
            }
        }
    }
    return position;
}

bool SliceHeaderReader::ReadH264Sequence(const NalUnit& unit) {
    RbspReader reader(unit, 1);
    const std::uint32_t profile = reader.Bits(8);
    reader.Skip(16);  // constraint flags, level
    const std::uint32_t id = reader.Unsigned(31);
    H264Sequence sequence;
    if (HasChromaFields(profile)) {
        const std::uint32_t chromaFormat = reader.Unsigned(3);
        if (chromaFormat == 3) {
            sequence.separateColourPlane = reader.Bits(1) != 0;
        }
        reader.Unsigned(14);  // bit depth of luma
        reader.Unsigned(14);  // and chroma
        reader.Skip(1);       // qpprime_y_zero_transform_bypass_flag
        if (reader.Bits(1) != 0) {
            const int lists = chromaFormat != 3 ? 8 : 12;
            for (int i = 0; i < lists && reader.Ok(); ++i) {
                if (reader.Bits(1) != 0) {
                    SkipScalingList(reader, i < 6 ? 16 : 64);
                }
            }
        }
    }
    sequence.log2MaxFrameNum = reader.Unsigned(12) + 4U;
    if (!reader.Ok()) {
        return false;
    }
    sequence.known = true;
    h264Sequences_[id] = sequence;
    return true;
}

bool SliceHeaderReader::ReadH264Picture(const NalUnit& unit) {
    RbspReader reader(unit, 1);
    const std::uint32_t id = reader.Unsigned(255);
    const std::uint32_t sequence = reader.Unsigned(31);
    if (!reader.Ok()) {
        return false;
    }
    h264Pictures_[id] = static_cast<std::uint8_t>(sequence);
    return true;
}

std::optional<SlicePosition> SliceHeaderReader::ReadH264Slice(const NalUnit& unit) const {
    RbspReader reader(unit, 1);
    reader.Unsigned();   // first_mb_in_slice
    reader.Unsigned(9);  // slice_type
    const std::uint32_t pictureId = reader.Unsigned(255);
    if (!reader.Ok() || !h264Pictures_[pictureId] || !h264Sequences_[*h264Pictures_[pictureId]].known) {
        return std::nullopt;
    }
    const H264Sequence& sequence = h264Sequences_[*h264Pictures_[pictureId]];
    if (sequence.separateColourPlane) {
        reader.Skip(2);
    }
    SlicePosition position;
    position.number = reader.Bits(sequence.log2MaxFrameNum);
    position.modulus = std::int64_t{1} << sequence.log2MaxFrameNum;
    position.randomAccess = mpu::annex_b::h264NalType(unit.data[0]) == kH264Idr;
    position.numberingRestarts = position.randomAccess;
    position.reference = (unit.data[0] >> 5U & 3U) != 0;
    if (!reader.Ok()) {
        return std::nullopt;
    }
    return position;
}

bool SliceHeaderReader::ReadH265Sequence(const NalUnit& unit) {
    RbspReader reader(unit, 2);
    reader.Skip(4);  // sps_video_parameter_set_id
    const std::uint32_t subLayers = reader.Bits(3);
    reader.Skip(1);   // sps_temporal_id_nesting_flag
    reader.Skip(96);  // the general profile, tier and level
    std::array<bool, 8> profilePresent{};
    std::array<bool, 8> levelPresent{};
    for (std::uint32_t i = 0; i < subLayers; ++i) {
        profilePresent[i] = reader.Bits(1) != 0;
        levelPresent[i] = reader.Bits(1) != 0;
    }
    if (subLayers > 0) {
        reader.Skip(2 * (8 - subLayers));
    }
    for (std::uint32_t i = 0; i < subLayers; ++i) {
        reader.Skip((profilePresent[i] ? 88 : 0) + (levelPresent[i] ? 8 : 0));
    }
    const std::uint32_t id = reader.Unsigned(15);
    H265Sequence sequence;
    if (reader.Unsigned(3) == 3) {
        sequence.separateColourPlane = reader.Bits(1) != 0;
    }
    reader.Unsigned();  // width
    reader.Unsigned();  // height
    if (reader.Bits(1) != 0) {
        for (int side = 0; side < 4; ++side) {
            reader.Unsigned();  // the conformance window's offsets
        }
    }
    reader.Unsigned(8);  // bit depth of luma
    reader.Unsigned(8);  // and chroma
    sequence.log2MaxPocLsb = reader.Unsigned(12) + 4U;
    if (!reader.Ok()) {
        return false;
    }
    sequence.known = true;
    h265Sequences_[id] = sequence;
    return true;
}

bool SliceHeaderReader::ReadH265Picture(const NalUnit& unit) {
    RbspReader reader(unit, 2);
    const std::uint32_t id = reader.Unsigned(63);
    H265Picture picture;
    picture.sequence = reader.Unsigned(15);
    reader.Skip(1);  // dependent_slice_segments_enabled_flag
    picture.outputFlagPresent = reader.Bits(1) != 0;
    picture.extraSliceHeaderBits = reader.Bits(3);
    if (!reader.Ok()) {
        return false;
    }
    picture.known = true;
    h265Pictures_[id] = picture;
    return true;
}

std::optional<SlicePosition> SliceHeaderReader::ReadH265Slice(const NalUnit& unit) {
    const std::uint32_t type = mpu::annex_b::h265NalType(unit.data[0]);
    const std::uint32_t temporalId = (unit.data[1] & 0x07U) - 1U;
    RbspReader reader(unit, 2);
    if (reader.Bits(1) == 0) {
        return std::nullopt;  // not the picture's first slice segment
    }
    if (type >= kH265FirstIrap && type <= kH265LastIrap) {
        reader.Skip(1);  // no_output_of_prior_pics_flag
    }
    const std::uint32_t pictureId = reader.Unsigned(63);
    if (!reader.Ok() || !h265Pictures_[pictureId].known ||
        !h265Sequences_[h265Pictures_[pictureId].sequence].known) {
        return std::nullopt;
    }
    const H265Picture& picture = h265Pictures_[pictureId];
    const H265Sequence& sequence = h265Sequences_[picture.sequence];
    reader.Skip(picture.extraSliceHeaderBits);
    reader.Unsigned(2);  // slice_type
    if (picture.outputFlagPresent) {
        reader.Skip(1);
    }
    if (sequence.separateColourPlane) {
        reader.Skip(2);
    }
    SlicePosition position;
    position.modulus = std::int64_t{1} << sequence.log2MaxPocLsb;
    position.randomAccess = type >= kH265FirstIrap && type <= kH265LastIrap;
    position.reference = temporalId == 0 && !(type <= kH265LastSubLayerNonReference && type % 2 == 0) &&
                         !(type >= kH265FirstLeading && type <= kH265LastLeading);
    position.numberingRestarts = type >= kH265FirstIrap && type <= kH265IdrWithoutLeading;
    if (type == kH265IdrWithLeading || type == kH265IdrWithoutLeading) {
        position.number = 0;
    } else {
        const std::int64_t lsb = reader.Bits(sequence.log2MaxPocLsb);
        if (!reader.Ok()) {
            return std::nullopt;
        }
        // The count's most significant part follows from the previous reference picture's, assuming the
        // two are less than half the modulus apart; a broken link access starts it at 0.
        const std::int64_t previousLsb = previousReferenceCount_ & (position.modulus - 1);
        std::int64_t msb = previousReferenceCount_ - previousLsb;
        if (type >= kH265FirstIrap && type <= kH265LastBla) {
            msb = 0;
        } else if (lsb < previousLsb && previousLsb - lsb >= position.modulus / 2) {
            msb += position.modulus;
        } else if (lsb > previousLsb && lsb - previousLsb > position.modulus / 2) {
            msb -= position.modulus;
        }
        position.number = msb + lsb;
    }
    if (position.reference) {
        previousReferenceCount_ = position.number;
    }
    return position;
}

}  // namespace camera_tools
