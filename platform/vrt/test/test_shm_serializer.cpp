#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "perception/impl_type_cam2camperceptionstruct.h"
#include "serialize_test_support.h"
#include "vrt/common/serializer.h"

namespace vrt::common::test {
namespace {

using serialize::ResultCode;

TEST(ShmSerializerTest, DefaultImageIsAllZeros) {
    const Bytes encoded = SerializeExactly(CameraH265Image{}, ShmTransport());
    EXPECT_EQ(encoded, Bytes(4 + 1 + 4 + 4 + 4 + 4 + 1, 0x00));
}

TEST(ShmSerializerTest, HostOrderNumbersAndConfiguredLengthWidths) {
    ASSERT_FALSE(serialize::kHostIsBigEndian) << "golden bytes assume a little-endian host";
    const Bytes expected{
        0x14, 0x00, 0x00, 0x00,                          // typeCode
        0x03,                                            // cameraId
        0x03, 0x00, 0x01, 0x02, 0x03,                    // data: 2-byte count
        0x05, 0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00,  // sec, nsec
        0x02, 'a',  'b',                                 // frameId: 1-byte length, no BOM, no zero
        0x01,                                            // isKeyFrame
    };
    EXPECT_EQ(SerializeExactly(MakeImage(), ShmTransport(2, 1)), expected);
}

TEST(ShmSerializerTest, PerceptionRecordSkipsTheBlockPointer) {
    perception::Cam2CamPerceptionStruct record;
    record.typeCode = 7;
    record.seq = -1;
    record.SetMbufPtr(reinterpret_cast<Mbuf*>(std::uintptr_t{0x1234}));
    record.header.frameId = "x";
    const Bytes expected{0x07, 0x00, 0x00, 0x00, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 0x00, 0x00, 'x'};
    EXPECT_EQ(SerializeExactly(record, ShmTransport()), expected);
}

// A record that may go as one block; its padding makes block and member-wise copies differ in size.
struct PlainRecord {
    std::int8_t a{1};
    std::int32_t b{2};
    static bool IsPlane() { return true; }
    template <typename V>
    void enumerate(V& visitor) const {
        visitor(a);
        visitor(b);
    }
};
struct Holder {
    PlainRecord inner;
    template <typename V>
    void enumerate(V& visitor) const {
        visitor(inner);
    }
};

TEST(ShmSerializerTest, PlainStructsAreBlockCopiedOnlyWhenAllowed) {
    auto config = std::make_shared<SerializeConfig>();
    TransportSerializeConfig transport;
    transport.serializeType = 0;
    transport.shmConfig = config;

    EXPECT_EQ(Serializer<PlainRecord>(transport).GetSize(PlainRecord{}).Value(), 5U);
    config->SetDirectlyCopy(true);
    EXPECT_EQ(Serializer<PlainRecord>(transport).GetSize(PlainRecord{}).Value(), sizeof(PlainRecord));
    config->SetStructPolicy(1);
    EXPECT_EQ(Serializer<PlainRecord>(transport).GetSize(PlainRecord{}).Value(), 5U);
    EXPECT_EQ(Serializer<Holder>(transport).GetSize(Holder{}).Value(), sizeof(PlainRecord));

    Bytes shortBuffer(sizeof(PlainRecord) - 1, 0xAA);
    const auto result =
        Serializer<Holder>(transport).Serialize(Holder{}, shortBuffer.data(), shortBuffer.size());
    EXPECT_EQ(result.GetErrorElements(), (std::vector<std::string>{"struct_plain_type"}));
    EXPECT_EQ(shortBuffer, Bytes(sizeof(PlainRecord) - 1, 0xAA));
}

TEST(ShmSerializerTest, EachFieldFailsWithItsOwnElementAndTheWalkGoesOn) {
    const Serializer<CameraH265Image> sut(ShmTransport());
    const CameraH265Image image = MakeImage({1, 2, 3, 4, 5, 6, 7, 8});
    // typeCode and cameraId fit, data (12 bytes) does not, sec does, nsec does not, frameId does not, the
    // key-frame flag takes the last byte.
    Bytes buffer(4 + 1 + 4 + 1 + 8, 0xAA);
    const auto result = sut.Serialize(image, buffer.data(), 10);
    EXPECT_EQ(result.GetCode(), ResultCode::kSerializeFailed);
    EXPECT_EQ(result.GetErrorElements(),
              (std::vector<std::string>{"vector_with_trivially_copyable_type", "trivially_copyable_type",
                                        "string_type"}));
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 10), (Bytes{0x14, 0, 0, 0, 0x03, 0x05, 0, 0, 0, 0x01}));
    EXPECT_EQ(Bytes(buffer.begin() + 10, buffer.end()), Bytes(8, 0xAA));
}

TEST(ShmSerializerTest, MissingConfigurationIsReportedBySerializeAndSize) {
    TransportSerializeConfig transport;
    transport.serializeType = 0;
    const Serializer<CameraH265Image> sut(transport);
    std::uint8_t buffer[8];
    const auto result = sut.Serialize(MakeImage(), buffer, sizeof(buffer));
    EXPECT_EQ(result.GetCode(), ResultCode::kConfigMissing);
    EXPECT_EQ(result.GetMessage(), "Empty configuration");
    const auto size = sut.GetSize(MakeImage());
    ASSERT_FALSE(size.HasValue());
    EXPECT_EQ(size.Error().GetMessage(), "Empty configuration");
}

}  // namespace
}  // namespace vrt::common::test
