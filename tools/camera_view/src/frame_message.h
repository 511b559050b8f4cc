#pragma once

// The page's binary message for one encoded frame: a fixed 24-byte little-endian header, then the frame's
// Annex-B bytes as published. One message is built per received frame and shared by every viewer.
//
//   offset  size  field
//        0     1  kind (kFrameKind)
//        1     1  camera index, 0 to 3 (platform id 8 to 11)
//        2     1  flags: bit 0 the published key-frame flag
//        3     1  reserved, 0
//        4     4  the camera's frame number in camera_view, from 0
//        8     8  publish stamp, ns since the epoch (the image header's sec.nsec)
//       16     8  receive time in camera_view, ns since the epoch (CLOCK_REALTIME)

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace camera_view {

constexpr std::uint8_t kFrameKind = 1;
constexpr std::size_t kFrameHeaderSize = 24;

struct FrameHeader {
    std::uint8_t camera{0};
    bool key{false};
    std::uint32_t frameNumber{0};
    std::int64_t publishNs{0};
    std::int64_t receiveNs{0};
};

// Header and payload in one buffer; the only copy of the frame's bytes camera_view makes.
std::shared_ptr<const std::vector<std::uint8_t>> MakeFrameMessage(const FrameHeader& header,
                                                                  const std::uint8_t* data, std::size_t size);

// Reads a message back; false when it is shorter than a header or not a frame.
bool ParseFrameHeader(const std::uint8_t* data, std::size_t size, FrameHeader* header);

}  // namespace camera_view
