#include "compressed_video.h"

#include <cstring>

namespace camera_tools {

namespace {

constexpr std::size_t kEncapsulationSize = 4;
// CDR_LE: representation identifier 0x0001, options 0x0000.
constexpr std::uint8_t kEncapsulation[kEncapsulationSize] = {0x00, 0x01, 0x00, 0x00};

constexpr std::string_view kSchema =
    "builtin_interfaces/Time timestamp\n"
    "string frame_id\n"
    "uint8[] data\n"
    "string format\n"
    "================================================================================\n"
    "MSG: builtin_interfaces/Time\n"
    "int32 sec\n"
    "uint32 nanosec\n";

// Offsets are counted from the end of the encapsulation header, as CDR aligns.
std::size_t Align4(std::size_t offset) noexcept {
    return (offset + 3U) & ~static_cast<std::size_t>(3U);
}

void Put32(std::uint8_t* out, std::uint32_t value) noexcept {
    out[0] = static_cast<std::uint8_t>(value);
    out[1] = static_cast<std::uint8_t>(value >> 8U);
    out[2] = static_cast<std::uint8_t>(value >> 16U);
    out[3] = static_cast<std::uint8_t>(value >> 24U);
}

std::uint32_t Get32(const std::uint8_t* in) noexcept {
    return static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8U |
           static_cast<std::uint32_t>(in[2]) << 16U | static_cast<std::uint32_t>(in[3]) << 24U;
}

// The body's layout: where each variable field starts, relative to the body.
struct Layout {
    std::size_t frameId;  // its length field
    std::size_t data;
    std::size_t format;
    std::size_t end;
};

Layout LayOut(std::size_t frameIdSize, std::size_t dataSize, std::size_t formatSize) noexcept {
    Layout layout{};
    layout.frameId = 8;  // after sec and nanosec
    layout.data = Align4(layout.frameId + 4 + frameIdSize + 1);
    layout.format = Align4(layout.data + 4 + dataSize);
    layout.end = layout.format + 4 + formatSize + 1;
    return layout;
}

// A CDR string at `offset` of `body`: its length (NUL included) must fit and end in the NUL.
bool ReadString(const std::uint8_t* body, std::size_t size, std::size_t offset, std::string_view* text,
                std::size_t* next) noexcept {
    if (offset + 4 > size) {
        return false;
    }
    const std::uint32_t length = Get32(body + offset);
    if (length == 0 || length > size - offset - 4 || body[offset + 4 + length - 1] != 0) {
        return false;
    }
    *text = std::string_view(reinterpret_cast<const char*>(body + offset + 4), length - 1);
    *next = offset + 4 + length;
    return true;
}

}  // namespace

std::string_view CompressedVideoSchema() {
    return kSchema;
}

std::size_t CompressedVideoCdrSize(const CompressedVideo& video) noexcept {
    return kEncapsulationSize + LayOut(video.frameId.size(), video.size, video.format.size()).end;
}

void EncodeCompressedVideo(const CompressedVideo& video, std::uint8_t* out) noexcept {
    std::memcpy(out, kEncapsulation, kEncapsulationSize);
    std::uint8_t* body = out + kEncapsulationSize;
    const Layout layout = LayOut(video.frameId.size(), video.size, video.format.size());
    Put32(body, static_cast<std::uint32_t>(video.sec));
    Put32(body + 4, video.nanosec);

    Put32(body + layout.frameId, static_cast<std::uint32_t>(video.frameId.size() + 1));
    std::uint8_t* at = body + layout.frameId + 4;
    std::memcpy(at, video.frameId.data(), video.frameId.size());
    at += video.frameId.size();
    std::memset(at, 0, static_cast<std::size_t>(body + layout.data - at));  // the NUL and the padding

    Put32(body + layout.data, static_cast<std::uint32_t>(video.size));
    at = body + layout.data + 4;
    if (video.size > 0) {
        std::memcpy(at, video.data, video.size);
    }
    at += video.size;
    std::memset(at, 0, static_cast<std::size_t>(body + layout.format - at));

    Put32(body + layout.format, static_cast<std::uint32_t>(video.format.size() + 1));
    std::memcpy(body + layout.format + 4, video.format.data(), video.format.size());
    body[layout.end - 1] = 0;
}

bool DecodeCompressedVideo(const std::uint8_t* bytes, std::size_t size, CompressedVideo* video) noexcept {
    if (size < kEncapsulationSize + 8 || std::memcmp(bytes, kEncapsulation, kEncapsulationSize) != 0) {
        return false;
    }
    const std::uint8_t* body = bytes + kEncapsulationSize;
    const std::size_t bodySize = size - kEncapsulationSize;
    CompressedVideo decoded;
    decoded.sec = static_cast<std::int32_t>(Get32(body));
    decoded.nanosec = Get32(body + 4);
    std::size_t next = 0;
    if (!ReadString(body, bodySize, 8, &decoded.frameId, &next)) {
        return false;
    }
    const std::size_t dataAt = Align4(next);
    if (dataAt + 4 > bodySize) {
        return false;
    }
    const std::uint32_t dataSize = Get32(body + dataAt);
    if (dataSize > bodySize - dataAt - 4) {
        return false;
    }
    decoded.data = body + dataAt + 4;
    decoded.size = dataSize;
    if (!ReadString(body, bodySize, Align4(dataAt + 4 + dataSize), &decoded.format, &next)) {
        return false;
    }
    *video = decoded;
    return true;
}

std::string_view AnnexBVideoFormat(const std::uint8_t* data, std::size_t size) noexcept {
    // After each start code (00 00 01, also the tail of 00 00 00 01), the NAL unit header.
    for (std::size_t i = 0; i + 4 < size; ++i) {
        if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) {
            continue;
        }
        const std::uint8_t first = data[i + 3];
        const std::uint8_t second = data[i + 4];
        // H.265: forbidden bit 0, type 32..34, layer 0, temporal id 1. As H.264 these would be NAL types 0, 2
        // and 4, which no encoder of ours writes.
        if ((first == 0x40 || first == 0x42 || first == 0x44) && second == 0x01) {
            return "h265";
        }
        // H.264: forbidden bit 0, type 7 (SPS) or 8 (PPS).
        if ((first & 0x80U) == 0 && ((first & 0x1FU) == 7 || (first & 0x1FU) == 8)) {
            return "h264";
        }
    }
    return "";
}

}  // namespace camera_tools
