#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "serialize_test_support.h"

// SOME/IP notifications in Ethernet / IPv4 / UDP frames, written as a pcap file for tshark to read.
namespace vrt::common::test {

inline constexpr std::uint16_t kTsharkServiceId = 0x1234;
inline constexpr std::uint16_t kTsharkUdpPort = 30501;

// A notification of kTsharkServiceId with its 16-byte header.
Bytes SomeipNotification(std::uint16_t eventId, std::uint16_t session, const Bytes& payload);
// `data` as the payload of a UDP datagram to kTsharkUdpPort, in an Ethernet frame.
Bytes UdpFrame(const Bytes& data);
void WritePcap(const std::filesystem::path& path, const std::vector<Bytes>& frames);

}  // namespace vrt::common::test
