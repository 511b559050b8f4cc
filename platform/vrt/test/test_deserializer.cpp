#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "perception/impl_type_cam2camperceptionstruct.h"
#include "perception/impl_type_lidar2lidarperception.h"
#include "serialize_test_support.h"
#include "vrt/common/deserializer.h"
#include "vrt/common/serializer.h"

namespace vrt::common::test {
namespace {

using serialize::ResultCode;

// Every SOME/IP setting the records meet, in combination.
std::vector<SomeipValues> SomeipVariants() {
    std::vector<SomeipValues> variants;
    for (const std::uint8_t order : {SerializeConfig::kBigEndian, SerializeConfig::kLittleEndian}) {
        for (const std::uint8_t structLength : {0, 1, 2, 4}) {
            for (const bool tlv : {false, true}) {
                for (const std::uint8_t alignment : {0, 4, 8}) {
                    SomeipValues values;
                    values.byteOrder = order;
                    values.structLength = structLength;
                    values.vectorLength = structLength == 1 ? 2 : 4;
                    values.stringLength = structLength == 2 ? 1 : 4;
                    values.tlv = tlv;
                    values.alignment = alignment;
                    values.noLengthTop = alignment == 8;
                    values.plainString = structLength == 1;
                    variants.push_back(values);
                }
            }
        }
    }
    return variants;
}

std::vector<TransportSerializeConfig> AllTransports(
    std::shared_ptr<SomeipSerializeConfig> (*makeTree)(const SerializeConfig&)) {
    std::vector<TransportSerializeConfig> transports{ShmTransport(), ShmTransport(2, 1)};
    for (const auto& values : SomeipVariants()) {
        TransportSerializeConfig transport;
        transport.serializeType = 1;
        transport.someipConfig = makeTree(MakeValues(values));
        transports.push_back(transport);
    }
    return transports;
}

template <typename T>
Bytes Encode(const T& record, const TransportSerializeConfig& transport) {
    return SerializeExactly(record, transport, 0x5A);
}

template <typename T>
void ExpectRoundTrip(const T& record, const TransportSerializeConfig& transport) {
    const Bytes encoded = Encode(record, transport);
    T decoded;
    const auto result = Deserializer<T>(transport).Deserialize(decoded, encoded.data(), encoded.size());
    ASSERT_TRUE(result.IsSuccess()) << result << " type " << transport.serializeType;
    EXPECT_EQ(decoded, record) << "type " << transport.serializeType;
}

TEST(DeserializerTest, CameraImagesRoundTripUnderEveryConfiguration) {
    const std::vector<CameraH265Image> images{CameraH265Image{}, MakeImage(), MakeImage(Bytes(200, 0x7F), ""),
                                              MakeImage({0}, std::string("with\0zero", 9))};
    for (const auto& transport : AllTransports(&MakeUniformSomeipConfig<CameraH265Image>)) {
        for (const auto& image : images) {
            ExpectRoundTrip(image, transport);
        }
    }
}

TEST(DeserializerTest, PerceptionRecordsRoundTripWithoutTheBlock) {
    perception::Cam2CamPerceptionStruct record;
    record.typeCode = -5;
    record.seq = 127;
    record.header = DriverHeader{-1, 999999999, "vcu_camera_instance_71"};
    for (const auto& transport :
         AllTransports(&MakeUniformSomeipConfig<perception::Cam2CamPerceptionStruct>)) {
        ExpectRoundTrip(record, transport);
    }

    perception::LiDAR2LiDARPerception cloud;
    cloud.header = perception::SensorHeader{1, 0xFFFF, -2};
    cloud.points = {{1.5F, -2.0F, std::numeric_limits<float>::quiet_NaN(), 7U},
                    {0.0F, 0.0F, 0.0F, 0xFFFFFFFFU}};
    for (const auto& transport : AllTransports(&MakeUniformSomeipConfig<perception::LiDAR2LiDARPerception>)) {
        ExpectRoundTrip(cloud, transport);
        ExpectRoundTrip(perception::LiDAR2LiDARPerception{}, transport);
    }
}

TEST(DeserializerTest, ConstRecordIsRefused) {
    const Bytes encoded = Encode(MakeImage(), ShmTransport());
    const CameraH265Image target;
    const auto result =
        Deserializer<CameraH265Image>(ShmTransport()).Deserialize(target, encoded.data(), encoded.size());
    EXPECT_EQ(result.GetCode(), ResultCode::kSerializeFailed);
    EXPECT_EQ(result.GetMessage(), "Deserialize shouldn't be called in const value");
}

TEST(DeserializerTest, EveryTruncationIsAnError) {
    std::vector<TransportSerializeConfig> transports{ShmTransport()};
    for (const auto& values : SomeipVariants()) {
        transports.push_back(SomeipTransport<CameraH265Image>(values));
    }
    for (const auto& transport : transports) {
        const Bytes encoded = Encode(MakeImage({1, 2, 3, 4, 5}), transport);
        const Deserializer<CameraH265Image> sut(transport);
        for (std::size_t size = 0; size < encoded.size(); ++size) {
            CameraH265Image decoded;
            // A copy of exactly `size` bytes, so that a read past the end is caught by the sanitizers.
            const Bytes prefix(encoded.begin(), encoded.begin() + static_cast<std::ptrdiff_t>(size));
            const auto result = sut.Deserialize(decoded, prefix.data(), prefix.size());
            EXPECT_FALSE(result.IsSuccess()) << "size " << size << " of " << encoded.size();
        }
    }
}

TEST(DeserializerTest, HostileLengthsAreRefusedBeforeAnyAllocation) {
    // Big-endian SOME/IP, 4-byte length fields: data claims 4 GiB.
    const Bytes hugeVector{0x00, 0x00, 0x00, 0x14, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    SomeipValues values;
    values.noLengthTop = true;
    CameraH265Image decoded;
    const auto someip = Deserializer<CameraH265Image>(SomeipTransport<CameraH265Image>(values))
                            .Deserialize(decoded, hugeVector.data(), hugeVector.size());
    EXPECT_EQ(someip.GetCode(), ResultCode::kSerializeFailed);
    EXPECT_EQ(someip.GetErrorElements(), (std::vector<std::string>{"vector_with_trivially_copyable_type"}));
    EXPECT_TRUE(decoded.data.empty());

    // Shared memory: a point cloud claiming 2^32 - 1 points in 8 bytes.
    const Bytes hugeCount{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4};
    perception::LiDAR2LiDARPerception cloud;
    const auto shm = Deserializer<perception::LiDAR2LiDARPerception>(ShmTransport())
                         .Deserialize(cloud, hugeCount.data(), hugeCount.size());
    EXPECT_FALSE(shm.IsSuccess());
    EXPECT_TRUE(cloud.points.empty());
}

TEST(DeserializerTest, MalformedValuesAreRefused) {
    SomeipValues values;
    values.noLengthTop = true;
    const auto transport = SomeipTransport<CameraH265Image>(values);
    const Bytes valid = Encode(MakeImage(), transport);
    const Deserializer<CameraH265Image> sut(transport);
    CameraH265Image decoded;
    ASSERT_TRUE(sut.Deserialize(decoded, valid.data(), valid.size()));

    Bytes badBool = valid;
    badBool.back() = 2;
    EXPECT_EQ(sut.Deserialize(decoded, badBool.data(), badBool.size()).GetErrorElements(),
              (std::vector<std::string>{"trivially_copyable_type"}));

    Bytes badBom = valid;
    badBom[valid.size() - 7] = 0xFE;  // first byte of the byte-order mark
    EXPECT_EQ(sut.Deserialize(decoded, badBom.data(), badBom.size()).GetErrorElements(),
              (std::vector<std::string>{"string_type"}));

    Bytes noTerminator = valid;
    noTerminator[valid.size() - 2] = 'c';
    EXPECT_FALSE(sut.Deserialize(decoded, noTerminator.data(), noTerminator.size()));

    const Bytes shm = Encode(MakeImage(), ShmTransport());
    Bytes trailing = shm;
    trailing.push_back(0);
    const auto extra =
        Deserializer<CameraH265Image>(ShmTransport()).Deserialize(decoded, trailing.data(), trailing.size());
    EXPECT_EQ(extra.GetErrorElements(), (std::vector<std::string>{"trailing_data"}));

    EXPECT_EQ(sut.Deserialize(decoded, nullptr, 0).GetMessage(), "Empty deserialize payload");
}

TEST(DeserializerTest, StructLengthMaySkipMembersOfANewerProducer) {
    // Header announces 4 bytes more than sec, nsec and frameId take; the extra bytes are skipped.
    const Bytes payload{
        0x00, 0x00, 0x00, 0x14, 0x03, 0x00, 0x00, 0x00, 0x00,  // typeCode, cameraId, empty data
        0x00, 0x00, 0x00, 0x16,                                // header length 22 = 18 + 4
        0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x06,        //
        0x00, 0x00, 0x00, 0x06, 0xEF, 0xBB, 0xBF, 'a',  'b',  0x00, 0xDE, 0xAD, 0xBE, 0xEF,  // unknown member
        0x01,
    };
    SomeipValues values;
    values.noLengthTop = true;
    CameraH265Image decoded;
    const auto result = Deserializer<CameraH265Image>(SomeipTransport<CameraH265Image>(values))
                            .Deserialize(decoded, payload.data(), payload.size());
    ASSERT_TRUE(result.IsSuccess()) << result;
    EXPECT_EQ(decoded, MakeImage({}));
}

TEST(DeserializerTest, TlvMembersMayComeInAnyOrderAndUnknownOnesAreSkipped) {
    const Bytes payload{
        0x00, 0x04, 0x01,                                                      // isKeyFrame first
        0x70, 0x09, 0x00, 0x00, 0x00, 0x01, 0x42,                              // unknown data id 9
        0x60, 0x03, 0x00, 0x18,                                                // header
        0x70, 0x02, 0x00, 0x00, 0x00, 0x06, 0xEF, 0xBB, 0xBF, 'a', 'b', 0x00,  // frameId before sec
        0x20, 0x01, 0x00, 0x00, 0x00, 0x06,                                    //
        0x20, 0x00, 0x00, 0x00, 0x00, 0x05,                                    //
        0x70, 0x02, 0x00, 0x00, 0x00, 0x03, 1,    2,    3,                     // data
        0x00, 0x01, 0x03,                                                      // cameraId
        0x20, 0x00, 0x00, 0x00, 0x00, 0x14,                                    // typeCode
    };
    SomeipValues values;
    values.tlv = true;
    values.structLength = 2;
    const Bytes framed = [&] {
        Bytes out{0x00, static_cast<std::uint8_t>(payload.size())};
        out.insert(out.end(), payload.begin(), payload.end());
        return out;
    }();
    const Deserializer<CameraH265Image> sut(SomeipTransport<CameraH265Image>(values));
    CameraH265Image decoded;
    const auto result = sut.Deserialize(decoded, framed.data(), framed.size());
    ASSERT_TRUE(result.IsSuccess()) << result;
    EXPECT_EQ(decoded, MakeImage());

    Bytes wrongWireType = framed;
    wrongWireType[2 + 3] = 0x40;  // wire type 4 on the unknown member: its length cannot be known
    EXPECT_EQ(sut.Deserialize(decoded, wrongWireType.data(), wrongWireType.size()).GetErrorElements(),
              (std::vector<std::string>{"tag_copy"}));

    Bytes missing = framed;
    missing[2 + 0] = 0x00;
    missing[2 + 1] = 0x08;  // isKeyFrame renamed to an unknown id
    EXPECT_EQ(sut.Deserialize(decoded, missing.data(), missing.size()).GetErrorElements(),
              (std::vector<std::string>{"tag_copy"}));
}

TEST(DeserializerTest, SignalPayloadsAndUnknownTypesCannotBeDecoded) {
    TransportSerializeConfig signal;
    signal.serializeType = 2;
    const std::uint8_t byte = 0;
    CameraH265Image decoded;
    EXPECT_EQ(Deserializer<CameraH265Image>(signal).Deserialize(decoded, &byte, 1).GetCode(),
              ResultCode::kUnsupportedType);
    signal.serializeType = 7;
    EXPECT_EQ(Deserializer<CameraH265Image>(signal).Deserialize(decoded, &byte, 1).GetMessage(),
              "Unkown Serialize Type");
}

}  // namespace
}  // namespace vrt::common::test
