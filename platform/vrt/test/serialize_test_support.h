#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "impl_type_camerah265image.h"
#include "vrt/common/serialize_config.h"
#include "vrt/common/serializer.h"
#include "vrt/common/someip_config_builder.h"

namespace vrt::common::test {

inline CameraH265Image MakeImage(std::vector<std::uint8_t> data = {1, 2, 3}, std::string frameId = "ab") {
    CameraH265Image image;
    image.typeCode = 20;
    image.cameraId = 3;
    image.data = std::move(data);
    image.header.sec = 5;
    image.header.nsec = 6;
    image.header.frameId = std::move(frameId);
    image.isKeyFrame = true;
    return image;
}

struct SomeipValues {
    std::uint8_t byteOrder{SerializeConfig::kBigEndian};
    std::uint8_t structLength{4};
    std::uint8_t vectorLength{4};
    std::uint8_t stringLength{4};
    std::uint8_t alignment{0};
    bool tlv{false};
    bool noLengthTop{false};
    bool plainString{false};
};

inline SerializeConfig MakeValues(const SomeipValues& values) {
    SerializeConfig config;
    config.SetByteOrder(values.byteOrder);
    config.SetStructLength(values.structLength);
    config.SetVectorLength(values.vectorLength);
    config.SetStringLength(values.stringLength);
    config.SetAlignmentBytes(values.alignment);
    config.SetTlvEnabled(values.tlv);
    config.SetNoLengthTopStruct(values.noLengthTop);
    config.SetPlainString(values.plainString);
    return config;
}

template <typename T>
TransportSerializeConfig SomeipTransport(const SomeipValues& values) {
    TransportSerializeConfig transport;
    transport.serializeType = static_cast<std::uint32_t>(SerializeType::kSomeip);
    transport.someipConfig = MakeUniformSomeipConfig<T>(MakeValues(values));
    return transport;
}

inline TransportSerializeConfig ShmTransport(std::uint8_t vectorLength = 4, std::uint8_t stringLength = 4) {
    auto config = std::make_shared<SerializeConfig>();
    config->SetVectorLength(vectorLength);
    config->SetStringLength(stringLength);
    TransportSerializeConfig transport;
    transport.serializeType = static_cast<std::uint32_t>(SerializeType::kShm);
    transport.shmConfig = std::move(config);
    return transport;
}

using Bytes = std::vector<std::uint8_t>;

// Serializes into a buffer of exactly GetSize bytes, checking that the two agree. The buffer starts out as
// `fill`, so that a byte the serializer leaves unwritten shows.
template <typename T>
Bytes SerializeExactly(const T& record, const TransportSerializeConfig& transport, std::uint8_t fill = 0xAA) {
    const Serializer<T> sut(transport);
    const auto size = sut.GetSize(record);
    EXPECT_TRUE(size.HasValue());
    Bytes out(size.HasValue() ? size.Value() : 0, fill);
    const auto result = sut.Serialize(record, out.data(), out.size());
    EXPECT_TRUE(result.IsSuccess()) << result;
    return out;
}

}  // namespace vrt::common::test
