// Independent check of the SOME/IP encoding: encoded CameraH265Image events go into a pcap file as SOME/IP
// notifications on UDP, tshark's SOME/IP dissector decodes them with parameter configuration files written
// here, and every field it reports must match what was encoded, with nothing flagged malformed.
//
// Big-endian layouts are described to tshark as the standard describes them (dynamic arrays and strings,
// struct length fields, TLV). tshark reads length fields and tags big-endian only, so a little-endian
// layout is described field by field, its length fields as little-endian integers and each string and
// array with the fixed length of that one message; every message therefore has its own event id.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "serialize_test_support.h"
#include "someip_pcap.h"
#include "tshark_pdml.h"
#include "vrt/common/serializer.h"

namespace vrt::common::test {
namespace {

namespace fs = std::filesystem;

// ---- one encoded message, how tshark is told its layout, and what tshark must report ----

struct Case {
    SomeipValues values;
    CameraH265Image image;
};

std::size_t TlvWidth(std::size_t width) {
    return (width == 1 || width == 2 || width == 4) ? width : 4;
}

std::string Quote(const std::vector<std::string>& fields) {
    std::string line;
    for (const auto& field : fields) {
        line += (line.empty() ? "\"" : ",\"") + field + "\"";
    }
    return line + "\n";
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%x", value);
    return text;
}

// Base types by id (the name in brackets says how to read the raw bytes back).
const char* kI32Be = "1";
const char* kI32Le = "2";
const char* kI8 = "3";
const char* kU8 = "4";
const char* kU16Le = "5";
const char* kU32Le = "6";
const char* kBaseTypes =
    "\"1\",\"i32be\",\"int32\",\"TRUE\",\"32\",\"32\"\n"
    "\"2\",\"i32le\",\"int32\",\"FALSE\",\"32\",\"32\"\n"
    "\"3\",\"i8\",\"int8\",\"TRUE\",\"8\",\"8\"\n"
    "\"4\",\"u8\",\"uint8\",\"TRUE\",\"8\",\"8\"\n"
    "\"5\",\"u16le\",\"uint16\",\"FALSE\",\"16\",\"16\"\n"
    "\"6\",\"u32le\",\"uint32\",\"FALSE\",\"32\",\"32\"\n";

const char* LengthType(std::size_t width) {
    return width == 1 ? kU8 : (width == 2 ? kU16Le : kU32Le);
}

// Configuration rows for one message and the lines the dissection must give, in order.
struct Description {
    std::string parameters, structs, arrays, strings;
    std::vector<std::string> expected;
};

Description Describe(const Case& c, std::size_t index) {
    const SomeipValues& v = c.values;
    const CameraH265Image& image = c.image;
    const bool le = v.byteOrder == SerializeConfig::kLittleEndian;
    const std::string i32 = le ? kI32Le : kI32Be;
    const std::string top = Hex(static_cast<std::uint32_t>(0x100 * index + 1));
    const std::string header = Hex(static_cast<std::uint32_t>(0x100 * index + 2));
    const std::string event = Hex(static_cast<std::uint32_t>(0x8000 + index));
    const std::string topName = "CameraH265Image_" + std::to_string(index);
    const std::string headerName = "DriverHeader_" + std::to_string(index);

    // Sizes of the encoded items, worked out here from the encoding rules.
    const std::size_t text = image.header.frameId.size();
    const std::size_t stringContent = v.plainString ? text : text + 4;
    const std::size_t stringWidth = v.tlv ? TlvWidth(v.stringLength) : v.stringLength;
    const std::size_t vectorWidth = v.tlv ? TlvWidth(v.vectorLength) : v.vectorLength;
    const std::size_t headerWidth = v.tlv ? TlvWidth(v.structLength) : v.structLength;
    const std::size_t tag = v.tlv ? 2 : 0;
    const std::size_t headerContent = tag + 4 + tag + 4 + tag + stringWidth + stringContent;
    const std::size_t topWidth = v.noLengthTop ? 0 : v.structLength;
    const std::size_t topContent = tag + 4 + tag + 1 + tag + vectorWidth + image.data.size() + tag +
                                   headerWidth + headerContent + tag + 1;

    Description d;
    d.parameters =
        Quote({Hex(kTsharkServiceId), event, "1", "2", "FALSE", "1", "0", "image", "4", top, "image"});
    std::vector<std::vector<std::string>> topItems, headerItems;
    auto add = [](std::vector<std::vector<std::string>>& items, const std::string& name, const char* type,
                  const std::string& ref) {
        items.push_back({name, type, ref});
    };
    auto& e = d.expected;
    auto tagLine = [&](int wireType, int id) {
        if (v.tlv) {
            e.push_back("tag " + std::to_string(wireType) + " " + std::to_string(id));
        }
    };
    const int complexWireType[] = {0, 5, 6, 0, 7};

    e.push_back("struct " + topName);
    if (le) {
        if (topWidth != 0) {
            add(topItems, "structLength", "1", LengthType(topWidth));
            e.push_back("structLength " + std::to_string(topContent));
        }
        add(topItems, "typeCode", "1", i32);
        add(topItems, "cameraId", "1", kI8);
        add(topItems, "dataLength", "1", LengthType(v.vectorLength));
        add(topItems, "data", "3", top);
        add(topItems, "headerLength", "1", LengthType(v.structLength));
        add(topItems, "header", "4", header);
        add(topItems, "isKeyFrame", "1", kU8);
        if (v.structLength == 0) {
            topItems.erase(topItems.begin() + static_cast<std::ptrdiff_t>(topItems.size()) - 3);
        }
        add(headerItems, "sec", "1", i32);
        add(headerItems, "nsec", "1", i32);
        add(headerItems, "frameIdLength", "1", LengthType(v.stringLength));
        add(headerItems, "frameId", "2", top);
        d.arrays = Quote({top, "data", "1", kU8, "1", "data", "0", std::to_string(image.data.size()),
                          std::to_string(image.data.size()), "0", "0"});
        d.strings = Quote({top, "str", "utf-8", "FALSE", std::to_string(stringContent), "0", "FALSE", "0"});
        e.push_back("typeCode " + std::to_string(image.typeCode));
        e.push_back("cameraId " + std::to_string(image.cameraId));
        e.push_back("dataLength " + std::to_string(image.data.size()));
        e.push_back("array data");
        for (const std::uint8_t byte : image.data) {
            e.push_back("data " + std::to_string(byte));
        }
        if (v.structLength != 0) {
            e.push_back("headerLength " + std::to_string(headerContent));
        }
        e.push_back("struct " + headerName);
        e.push_back("sec " + std::to_string(image.header.sec));
        e.push_back("nsec " + std::to_string(image.header.nsec));
        e.push_back("frameIdLength " + std::to_string(stringContent));
        e.push_back("string frameId " + image.header.frameId);
        e.push_back("isKeyFrame " + std::to_string(image.isKeyFrame ? 1 : 0));
    } else {
        if (topWidth != 0) {
            e.push_back("length " + std::to_string(topContent));
        }
        add(topItems, "typeCode", "1", i32);
        add(topItems, "cameraId", "1", kI8);
        add(topItems, "data", "3", top);
        add(topItems, "header", "4", header);
        add(topItems, "isKeyFrame", "1", kU8);
        add(headerItems, "sec", "1", i32);
        add(headerItems, "nsec", "1", i32);
        add(headerItems, "frameId", "2", top);
        d.arrays = Quote({top, "data", "1", kU8, "1", "data", "0", "0", "1000000",
                          std::to_string(8 * v.vectorLength), "0"});
        d.strings =
            Quote({top, "str", "utf-8", "TRUE", "1000000", std::to_string(8 * v.stringLength), "TRUE", "0"});
        e.push_back("typeCode " + std::to_string(image.typeCode));
        tagLine(2, 0);
        e.push_back("cameraId " + std::to_string(image.cameraId));
        tagLine(0, 1);
        e.push_back("array data");
        tagLine(complexWireType[vectorWidth], 2);
        e.push_back("length " + std::to_string(image.data.size()));
        for (const std::uint8_t byte : image.data) {
            e.push_back("data " + std::to_string(byte));
        }
        e.push_back("struct " + headerName);
        tagLine(complexWireType[headerWidth], 3);
        if (headerWidth != 0) {
            e.push_back("length " + std::to_string(headerContent));
        }
        e.push_back("sec " + std::to_string(image.header.sec));
        tagLine(2, 0);
        e.push_back("nsec " + std::to_string(image.header.nsec));
        tagLine(2, 1);
        e.push_back("string frameId " + image.header.frameId);
        tagLine(complexWireType[stringWidth], 2);
        e.push_back("length " + std::to_string(stringContent));
        e.push_back("isKeyFrame " + std::to_string(image.isKeyFrame ? 1 : 0));
        tagLine(0, 4);
    }

    const std::string wtlv = (v.tlv && !le) ? "TRUE" : "FALSE";
    auto structRows = [&](const std::string& id, const std::string& name, std::size_t width,
                          const std::vector<std::vector<std::string>>& items) {
        std::string rows;
        for (std::size_t i = 0; i < items.size(); ++i) {
            rows +=
                Quote({id, name, std::to_string(le ? 0 : 8 * width), "0", wtlv, std::to_string(items.size()),
                       std::to_string(i), items[i][0], items[i][1], items[i][2], items[i][0]});
        }
        return rows;
    };
    d.structs = structRows(top, topName, topWidth, topItems) +
                structRows(header, headerName, v.structLength, headerItems);
    return d;
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    auto values = [](std::uint8_t order, std::uint8_t structLength, std::uint8_t vectorLength,
                     std::uint8_t stringLength, bool tlv, bool noLengthTop, bool plainString) {
        SomeipValues v;
        v.byteOrder = order;
        v.structLength = structLength;
        v.vectorLength = vectorLength;
        v.stringLength = stringLength;
        v.tlv = tlv;
        v.noLengthTop = noLengthTop;
        v.plainString = plainString;
        return v;
    };
    CameraH265Image negative = MakeImage({0x00, 0x00, 0x00, 0x01, 0x40}, "vcu_camera_instance_71");
    negative.typeCode = -20;
    negative.cameraId = -1;
    negative.header.sec = -3;
    negative.header.nsec = 999999999;
    negative.isKeyFrame = false;
    const std::vector<CameraH265Image> images{MakeImage(), CameraH265Image{}, negative,
                                              MakeImage(Bytes(40, 0xC3), "cam 2")};
    constexpr auto kBig = SerializeConfig::kBigEndian;
    constexpr auto kLittle = SerializeConfig::kLittleEndian;
    const std::vector<SomeipValues> layouts{
        values(kBig, 4, 4, 4, false, false, false),   values(kBig, 2, 2, 2, false, false, false),
        values(kBig, 1, 1, 1, false, false, false),   values(kBig, 0, 4, 4, false, false, false),
        values(kBig, 4, 4, 2, false, true, false),    values(kBig, 2, 4, 4, false, false, true),
        values(kBig, 2, 4, 4, true, false, false),    values(kBig, 0, 1, 2, true, true, false),
        values(kBig, 4, 2, 1, true, false, false),    values(kLittle, 4, 4, 4, false, false, false),
        values(kLittle, 2, 2, 1, false, false, true), values(kLittle, 1, 1, 4, false, false, false),
        values(kLittle, 0, 4, 2, false, true, false),
    };
    for (const auto& layout : layouts) {
        for (const auto& image : images) {
            cases.push_back({layout, image});
        }
    }
    return cases;
}

TEST(SomeipTsharkTest, EveryFieldTsharkReportsMatchesTheEncodedEvent) {
    ASSERT_EQ(std::system("command -v tshark >/dev/null 2>&1"), 0)
        << "tshark is not installed; scripts/install-deps.sh installs it";

    const fs::path dir = fs::temp_directory_path() / ("someip_tshark_" + std::to_string(::getpid()));
    fs::create_directories(dir / "wireshark");
    const std::vector<Case> cases = Cases();
    std::vector<Bytes> frames;
    std::vector<Description> descriptions;
    std::string parameters, structs, arrays, strings;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Serializer<CameraH265Image> serializer(SomeipTransport<CameraH265Image>(cases[i].values));
        const auto size = serializer.GetSize(cases[i].image);
        ASSERT_TRUE(size.HasValue());
        Bytes payload(size.Value());
        ASSERT_TRUE(serializer.Serialize(cases[i].image, payload.data(), payload.size()).IsSuccess());
        frames.push_back(UdpFrame(SomeipNotification(static_cast<std::uint16_t>(0x8000 + i + 1),
                                                     static_cast<std::uint16_t>(i + 1), payload)));
        descriptions.push_back(Describe(cases[i], i + 1));
        parameters += descriptions.back().parameters;
        structs += descriptions.back().structs;
        arrays += descriptions.back().arrays;
        strings += descriptions.back().strings;
    }
    WritePcap(dir / "events.pcap", frames);
    std::ofstream(dir / "wireshark" / "SOMEIP_parameter_list") << parameters;
    std::ofstream(dir / "wireshark" / "SOMEIP_parameter_structs") << structs;
    std::ofstream(dir / "wireshark" / "SOMEIP_parameter_arrays") << arrays;
    std::ofstream(dir / "wireshark" / "SOMEIP_parameter_strings") << strings;
    std::ofstream(dir / "wireshark" / "SOMEIP_parameter_base_types") << kBaseTypes;

    const std::string command = "XDG_CONFIG_HOME='" + dir.string() + "' tshark -n -r '" +
                                (dir / "events.pcap").string() +
                                "' -d udp.port==" + std::to_string(kTsharkUdpPort) + ",someip -T pdml > '" +
                                (dir / "out.pdml").string() + "' 2> '" + (dir / "err.txt").string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    std::stringstream pdml;
    pdml << std::ifstream(dir / "out.pdml").rdbuf();
    std::stringstream errors;
    errors << std::ifstream(dir / "err.txt").rdbuf();
    EXPECT_EQ(errors.str().find("rror"), std::string::npos) << errors.str();

    const std::string text = pdml.str();
    std::vector<std::string> packets;
    for (std::size_t at = text.find("<packet>"); at != std::string::npos;) {
        const std::size_t next = text.find("<packet>", at + 1);
        packets.push_back(text.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next;
    }
    ASSERT_EQ(packets.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const SomeipValues& v = cases[i].values;
        SCOPED_TRACE("message " + std::to_string(i + 1) + ": byte order " + std::to_string(v.byteOrder) +
                     ", struct length " + std::to_string(v.structLength) + (v.tlv ? ", TLV" : "") +
                     (v.noLengthTop ? ", no top length" : "") + (v.plainString ? ", plain strings" : ""));
        const Dissection dissection = ReadPacket(packets[i]);
        EXPECT_TRUE(dissection.problems.empty()) << ::testing::PrintToString(dissection.problems);
        EXPECT_EQ(dissection.lines, descriptions[i].expected);
    }
    if (!HasFailure()) {
        fs::remove_all(dir);
    }
}

}  // namespace
}  // namespace vrt::common::test
