#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "serialize_test_support.h"
#include "vrt/common/serializer.h"

namespace vrt::common::test {
namespace {

using serialize::ResultCode;

Bytes Encode(const CameraH265Image& image, const SomeipValues& values) {
    return SerializeExactly(image, SomeipTransport<CameraH265Image>(values));
}

TEST(SomeipSerializerTest, BigEndianLayoutWithLengthFieldsOfFourBytes) {
    const Bytes expected{
        0x00, 0x00, 0x00, 0x23,                                     // struct length 35
        0x00, 0x00, 0x00, 0x14,                                     // typeCode 20
        0x03,                                                       // cameraId
        0x00, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03,                   // data
        0x00, 0x00, 0x00, 0x12,                                     // header length 18
        0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x06,             // sec, nsec
        0x00, 0x00, 0x00, 0x06, 0xEF, 0xBB, 0xBF, 'a',  'b', 0x00,  // frameId: BOM, text, zero
        0x01,                                                       // isKeyFrame
    };
    EXPECT_EQ(Encode(MakeImage(), {}), expected);
}

TEST(SomeipSerializerTest, LittleEndianSwapsNumbersAndLengthFields) {
    SomeipValues values;
    values.byteOrder = SerializeConfig::kLittleEndian;
    values.structLength = 2;
    values.vectorLength = 1;
    values.stringLength = 2;
    const Bytes expected{
        0x1C, 0x00,                                      // struct length 28
        0x14, 0x00, 0x00, 0x00,                          // typeCode 20
        0x03,                                            // cameraId
        0x03, 0x01, 0x02, 0x03,                          // data
        0x10, 0x00,                                      // header length 16
        0x05, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00,  // sec, nsec
        0x06, 0x00, 0xEF, 0xBB, 0xBF, 'a',  'b',  0x00,  // frameId
        0x01,
    };
    EXPECT_EQ(Encode(MakeImage(), values), expected);
}

TEST(SomeipSerializerTest, NoLengthTopStructKeepsTheNestedLength) {
    SomeipValues values;
    values.structLength = 1;
    values.noLengthTop = true;
    values.plainString = true;
    const Bytes expected{
        0x00, 0x00, 0x00, 0x14, 0x03,                    // typeCode, cameraId
        0x00, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03,        // data
        0x0E,                                            // header length 14
        0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x06,  // sec, nsec
        0x00, 0x00, 0x00, 0x02, 'a',  'b',               // plain string: no BOM, no zero
        0x01,
    };
    EXPECT_EQ(Encode(MakeImage(), values), expected);
}

TEST(SomeipSerializerTest, StructLengthZeroWritesNoStructLengths) {
    SomeipValues values;
    values.structLength = 0;
    const Bytes encoded = Encode(MakeImage(), values);
    ASSERT_EQ(encoded.size(), 4U + 1U + 7U + 8U + 10U + 1U);
    EXPECT_EQ(encoded[0], 0x00);
    EXPECT_EQ(encoded[3], 0x14);
    EXPECT_EQ(encoded[12], 0x00);  // sec follows data directly
    EXPECT_EQ(encoded[15], 0x05);
}

TEST(SomeipSerializerTest, EmptyDataWritesOnlyAZeroLengthField) {
    SomeipValues values;
    values.vectorLength = 2;
    values.noLengthTop = true;
    const Bytes encoded = Encode(MakeImage({}), values);
    ASSERT_GE(encoded.size(), 9U);
    EXPECT_EQ((Bytes{encoded.begin() + 5, encoded.begin() + 9}), (Bytes{0x00, 0x00, 0x00, 0x00}));
    // The two zero bytes are the length field; the header's length field follows at once.
    EXPECT_EQ(encoded[10], 0x12);
}

TEST(SomeipSerializerTest, PaddingAfterVectorsAndStructsIsSkippedNotWritten) {
    SomeipValues values;
    values.alignment = 4;
    const Bytes encoded = Encode(MakeImage({7, 8}), values);
    const Bytes expected{
        0x00, 0x00, 0x00, 0x25,                          // struct length 37, padding inside counted
        0x00, 0x00, 0x00, 0x14, 0x03,                    // typeCode, cameraId
        0x00, 0x00, 0x00, 0x02, 0x07, 0x08,              // data ends at 15
        0xAA,                                            // padding to 16, left as it was
        0x00, 0x00, 0x00, 0x12,                          // header length 18
        0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x06,  //
        0x00, 0x00, 0x00, 0x06, 0xEF, 0xBB, 0xBF, 'a',  'b', 0x00,  // header ends at 38
        0xAA, 0xAA,                                                 // padding to 40
        0x01,                                                       // no padding counted after the last field
    };
    EXPECT_EQ(encoded, expected);
}

TEST(SomeipSerializerTest, TlvTagsEveryMemberAndUsesTheLengthFieldWireTypes) {
    SomeipValues values;
    values.tlv = true;
    values.structLength = 2;
    values.alignment = 8;  // ignored with TLV
    const Bytes expected{
        0x00, 0x31,                                         // top struct length 49 (not a member: no tag)
        0x20, 0x00, 0x00, 0x00, 0x00, 0x14,                 // wire type 2, id 0: typeCode
        0x00, 0x01, 0x03,                                   // wire type 0, id 1: cameraId
        0x70, 0x02, 0x00, 0x00, 0x00, 0x03, 1,    2,    3,  // wire type 7 (4-byte length), id 2: data
        0x60, 0x03, 0x00, 0x18,                             // wire type 6 (2-byte length), id 3: header, 24
        0x20, 0x00, 0x00, 0x00, 0x00, 0x05,                 //   sec
        0x20, 0x01, 0x00, 0x00, 0x00, 0x06,                 //   nsec
        0x70, 0x02, 0x00, 0x00, 0x00, 0x06, 0xEF, 0xBB, 0xBF, 'a', 'b', 0x00,  // frameId
        0x00, 0x04, 0x01,  // wire type 0, id 4: isKeyFrame
    };
    EXPECT_EQ(Encode(MakeImage(), values), expected);
}

TEST(SomeipSerializerTest, TlvMemberWithoutConfiguredLengthGetsFourByteLength) {
    SomeipValues values;
    values.tlv = true;
    values.structLength = 0;
    values.noLengthTop = true;
    const Bytes encoded = Encode(MakeImage(), values);
    // The header tag carries wire type 7 and a 4-byte length although struct length fields are off.
    const Bytes headerTag{0x70, 0x03, 0x00, 0x00, 0x00, 0x18};
    EXPECT_NE(std::search(encoded.begin(), encoded.end(), headerTag.begin(), headerTag.end()), encoded.end());
}

TEST(SomeipSerializerTest, MissingMemberNodesLeaveTheMembersOut) {
    auto root = MakeUniformSomeipConfig<CameraH265Image>(MakeValues({}));
    auto truncated = std::make_shared<SomeipSerializeConfig>(static_cast<const SerializeConfig&>(*root));
    for (std::size_t i = 0; i < 3; ++i) {
        truncated->AddChildNodeConfig(root->GetChildNodeConfigList()[i]);
    }
    TransportSerializeConfig transport;
    transport.serializeType = 1;
    transport.someipConfig = truncated;
    const Serializer<CameraH265Image> sut(transport);

    Bytes buffer(64, 0xAA);
    const auto result = sut.Serialize(MakeImage(), buffer.data(), buffer.size());
    EXPECT_EQ(result.GetCode(), ResultCode::kSerializeFailed);
    EXPECT_EQ(result.GetErrorElements(),
              (std::vector<std::string>{"inconsistent_serialization_node_config",
                                        "inconsistent_serialization_node_config"}));
    const Bytes written{0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00, 0x14, 0x03,
                        0x00, 0x00, 0x00, 0x03, 1,    2,    3,    0xAA};
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 17), written);
}

// The element that fails first when the buffer ends inside each field of the big-endian layout above.
const char* FirstFailingElement(std::size_t size) {
    if (size < 4)
        return "struct_length_field";
    if (size < 8)
        return "trivially_copyable_type";  // typeCode
    if (size < 9)
        return "trivially_copyable_type";  // cameraId
    if (size < 16)
        return "vector_with_trivially_copyable_type";
    if (size < 20)
        return "struct_length_field";  // header
    if (size < 28)
        return "trivially_copyable_type";  // sec, nsec
    if (size < 38)
        return "string_type";
    return "trivially_copyable_type";  // isKeyFrame
}

TEST(SomeipSerializerTest, ShortBuffersFailTheirFieldAndNeverWritePastTheEnd) {
    const Serializer<CameraH265Image> sut(SomeipTransport<CameraH265Image>({}));
    const CameraH265Image image = MakeImage();
    constexpr std::size_t kFull = 39;
    ASSERT_EQ(sut.GetSize(image).Value(), kFull);
    for (std::size_t size = 0; size < kFull; ++size) {
        Bytes backing(kFull + 8, 0xAA);
        const auto result = sut.Serialize(image, backing.data(), size);
        EXPECT_EQ(result.GetCode(), ResultCode::kSerializeFailed) << "size " << size;
        ASSERT_FALSE(result.GetErrorElements().empty()) << "size " << size;
        EXPECT_EQ(result.GetErrorElements().front(), FirstFailingElement(size)) << "size " << size;
        EXPECT_TRUE(std::all_of(backing.begin() + static_cast<std::ptrdiff_t>(size), backing.end(),
                                [](std::uint8_t byte) { return byte == 0xAA; }))
            << "size " << size;
    }
}

TEST(SomeipSerializerTest, LengthThatDoesNotFitItsFieldFails) {
    SomeipValues values;
    values.vectorLength = 1;
    const Serializer<CameraH265Image> sut(SomeipTransport<CameraH265Image>(values));
    EXPECT_TRUE(sut.GetSize(MakeImage(Bytes(255, 1))).HasValue());
    const auto tooLong = sut.GetSize(MakeImage(Bytes(256, 1)));
    ASSERT_FALSE(tooLong.HasValue());
    EXPECT_EQ(tooLong.Error().GetErrorElements(),
              (std::vector<std::string>{"vector_with_trivially_copyable_type"}));
}

TEST(SomeipSerializerTest, DispatchRefusesMissingBufferAndUnknownType) {
    const Serializer<CameraH265Image> sut(SomeipTransport<CameraH265Image>({}));
    const auto noBuffer = sut.Serialize(MakeImage(), nullptr, 100);
    EXPECT_EQ(noBuffer.GetCode(), ResultCode::kSerializeFailed);
    EXPECT_EQ(noBuffer.GetMessage(), "Empty serialize payload");
    EXPECT_TRUE(noBuffer.GetDetails().empty());

    TransportSerializeConfig unknown = SomeipTransport<CameraH265Image>({});
    unknown.serializeType = 3;
    const Serializer<CameraH265Image> unknownSut(unknown);
    std::uint8_t buffer[64];
    EXPECT_EQ(unknownSut.Serialize(MakeImage(), buffer, sizeof(buffer)).GetMessage(),
              "Unkown Serialize Type");
    const auto size = unknownSut.GetSize(MakeImage());
    ASSERT_FALSE(size.HasValue());
    EXPECT_EQ(size.Error().GetCode(), ResultCode::kSerializeFailed);
    EXPECT_EQ(size.Error().GetMessage(), "Unkown Serialize Type");

    TransportSerializeConfig empty;
    empty.serializeType = 1;
    const Serializer<CameraH265Image> emptySut(empty);
    EXPECT_EQ(emptySut.Serialize(MakeImage(), buffer, sizeof(buffer)).GetCode(), ResultCode::kConfigMissing);
}

}  // namespace
}  // namespace vrt::common::test
