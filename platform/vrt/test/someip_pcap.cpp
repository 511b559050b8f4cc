#include "someip_pcap.h"

#include <fstream>

namespace vrt::common::test {

namespace fs = std::filesystem;

namespace {

void Put16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8U));
    out.push_back(static_cast<std::uint8_t>(value));
}
void Put32(Bytes& out, std::uint32_t value) {
    Put16(out, static_cast<std::uint16_t>(value >> 16U));
    Put16(out, static_cast<std::uint16_t>(value));
}
void PutLe32(std::ofstream& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.put(static_cast<char>((value >> (8 * i)) & 0xFFU));
    }
}

}  // namespace

Bytes SomeipNotification(std::uint16_t eventId, std::uint16_t session, const Bytes& payload) {
    Bytes message;
    Put16(message, kTsharkServiceId);
    Put16(message, eventId);
    Put32(message, static_cast<std::uint32_t>(8 + payload.size()));
    Put16(message, 0);  // client id
    Put16(message, session);
    message.push_back(1);     // protocol version
    message.push_back(1);     // interface version
    message.push_back(0x02);  // notification
    message.push_back(0x00);  // return code
    message.insert(message.end(), payload.begin(), payload.end());
    return message;
}

Bytes UdpFrame(const Bytes& data) {
    Bytes frame(12, 0x00);  // MAC addresses
    Put16(frame, 0x0800);
    const std::size_t ipStart = frame.size();
    frame.push_back(0x45);
    frame.push_back(0);
    Put16(frame, static_cast<std::uint16_t>(20 + 8 + data.size()));
    Put32(frame, 0);  // id, flags, fragment offset
    frame.push_back(64);
    frame.push_back(17);
    Put16(frame, 0);  // checksum, filled below
    Put32(frame, 0x7F000001);
    Put32(frame, 0x7F000001);
    std::uint32_t sum = 0;
    for (std::size_t i = ipStart; i < ipStart + 20; i += 2) {
        sum += static_cast<std::uint32_t>(frame[i] << 8U | frame[i + 1]);
    }
    sum = (sum & 0xFFFFU) + (sum >> 16U);
    sum = (sum & 0xFFFFU) + (sum >> 16U);
    frame[ipStart + 10] = static_cast<std::uint8_t>(~sum >> 8U);
    frame[ipStart + 11] = static_cast<std::uint8_t>(~sum);
    Put16(frame, 40000);
    Put16(frame, kTsharkUdpPort);
    Put16(frame, static_cast<std::uint16_t>(8 + data.size()));
    Put16(frame, 0);  // no UDP checksum
    frame.insert(frame.end(), data.begin(), data.end());
    return frame;
}

void WritePcap(const fs::path& path, const std::vector<Bytes>& frames) {
    std::ofstream out(path, std::ios::binary);
    PutLe32(out, 0xA1B2C3D4);
    PutLe32(out, 0x00040002);  // version 2.4
    PutLe32(out, 0);
    PutLe32(out, 0);
    PutLe32(out, 65535);
    PutLe32(out, 1);  // Ethernet
    std::uint32_t second = 1;
    for (const auto& frame : frames) {
        PutLe32(out, second++);
        PutLe32(out, 0);
        PutLe32(out, static_cast<std::uint32_t>(frame.size()));
        PutLe32(out, static_cast<std::uint32_t>(frame.size()));
        out.write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
    }
}

}  // namespace vrt::common::test
