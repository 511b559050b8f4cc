#include "video_stream.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "mpu/annex_b.h"

namespace camera_tools {
namespace {

// NAL unit types the recorder looks for.
enum H264Type : std::uint32_t { kH264Idr = 5, kH264Sps = 7, kH264Pps = 8 };
enum H265Type : std::uint32_t { kH265FirstIrap = 16, kH265LastIrap = 21, kH265Vps = 32, kH265Sps, kH265Pps };

bool IsH264Unit(const NalUnit& unit) {
    return unit.size >= 1 && (unit.data[0] & 0x80U) == 0;
}
std::uint32_t H264Type(const NalUnit& unit) {
    return mpu::annex_b::h264NalType(unit.data[0]);
}

// A base-layer H.265 NAL header: forbidden bit 0, layer id 0, temporal id plus one at least 1. The layer id
// straddles both bytes, so an H.264 header is hardly ever mistaken for one.
bool IsH265BaseUnit(const NalUnit& unit) {
    return unit.size >= 2 && (unit.data[0] & 0x81U) == 0 && (unit.data[1] & 0xF8U) == 0 &&
           (unit.data[1] & 0x07U) != 0;
}
std::uint32_t H265Type(const NalUnit& unit) {
    return mpu::annex_b::h265NalType(unit.data[0]);
}

bool IsParameterSet(VideoCodec codec, const NalUnit& unit) {
    if (codec == VideoCodec::kH264) {
        return IsH264Unit(unit) && (H264Type(unit) == kH264Sps || H264Type(unit) == kH264Pps);
    }
    if (codec == VideoCodec::kH265) {
        const std::uint32_t type = H265Type(unit);
        return IsH265BaseUnit(unit) && type >= kH265Vps && type <= kH265Pps;
    }
    return false;
}

}  // namespace

const char* CodecName(VideoCodec codec) noexcept {
    constexpr const char* kNames[] = {"unknown", "h264", "h265"};  // in VideoCodec's order
    const auto index = static_cast<std::size_t>(codec);
    return index < std::size(kNames) ? kNames[index] : kNames[0];
}

std::vector<NalUnit> SplitAnnexB(const std::uint8_t* data, std::size_t size) {
    std::vector<NalUnit> units;
    if (data == nullptr) {
        return units;
    }
    mpu::annex_b::forEachNalHeader(data, size, [data, size, &units](std::size_t header) {
        // A unit ends where the next start code begins, without the zero bytes that may trail it.
        std::size_t end = mpu::annex_b::nextStartCode(data, size, header);
        while (end > header && data[end - 1] == 0) {
            --end;
        }
        if (end > header) {
            units.push_back(NalUnit{data + header, end - header});
        }
    });
    return units;
}

VideoCodec DetectCodec(const std::uint8_t* data, std::size_t size) {
    bool h265Vps = false;
    bool h265Sps = false;
    bool h265Pps = false;
    bool h264Sps = false;
    bool h264Pps = false;
    for (const NalUnit& unit : SplitAnnexB(data, size)) {
        if (IsH265BaseUnit(unit)) {
            const std::uint32_t type = H265Type(unit);
            h265Vps = h265Vps || type == kH265Vps;
            h265Sps = h265Sps || type == kH265Sps;
            h265Pps = h265Pps || type == kH265Pps;
        }
        if (IsH264Unit(unit)) {
            h264Sps = h264Sps || H264Type(unit) == kH264Sps;
            h264Pps = h264Pps || H264Type(unit) == kH264Pps;
        }
    }
    if (h265Vps && h265Sps && h265Pps) {
        return VideoCodec::kH265;
    }
    if (h264Sps && h264Pps) {
        return VideoCodec::kH264;
    }
    return VideoCodec::kUnknown;
}

bool IsRandomAccessPoint(VideoCodec codec, const std::uint8_t* data, std::size_t size) {
    const auto units = SplitAnnexB(data, size);
    return std::any_of(units.begin(), units.end(), [codec](const NalUnit& unit) {
        if (codec == VideoCodec::kH264) {
            return IsH264Unit(unit) && H264Type(unit) == kH264Idr;
        }
        if (codec == VideoCodec::kH265) {
            const std::uint32_t type = H265Type(unit);
            return IsH265BaseUnit(unit) && type >= kH265FirstIrap && type <= kH265LastIrap;
        }
        return false;
    });
}

std::vector<std::uint8_t> ParameterSets(VideoCodec codec, const std::uint8_t* data, std::size_t size) {
    static constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};
    std::vector<std::uint8_t> sets;
    for (const NalUnit& unit : SplitAnnexB(data, size)) {
        if (IsParameterSet(codec, unit)) {
            sets.insert(sets.end(), std::begin(kStartCode), std::end(kStartCode));
            sets.insert(sets.end(), unit.data, unit.data + unit.size);
        }
    }
    return sets;
}

}  // namespace camera_tools
