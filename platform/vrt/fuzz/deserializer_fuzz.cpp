#include "deserializer_fuzz.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "impl_type_camerah265image.h"
#include "perception/impl_type_cam2camperceptionstruct.h"
#include "perception/impl_type_lidar2lidarperception.h"
#include "vrt/common/deserializer.h"
#include "vrt/common/serializer.h"
#include "vrt/common/someip_config_builder.h"

namespace vrt::common::fuzz {
namespace {

constexpr std::uint8_t kWidths[] = {0, 1, 2, 4};

TransportSerializeConfig ShmConfig(std::uint8_t selector) {
    auto config = std::make_shared<SerializeConfig>();
    config->SetVectorLength(kWidths[1U + selector % 3U]);
    config->SetStringLength(kWidths[1U + (selector / 3U) % 3U]);
    TransportSerializeConfig transport;
    transport.serializeType = static_cast<std::uint32_t>(SerializeType::kShm);
    transport.shmConfig = std::move(config);
    return transport;
}

template <typename T>
TransportSerializeConfig SomeipConfig(std::uint8_t selector) {
    SerializeConfig values;
    values.SetByteOrder(selector & 1U);
    values.SetStructLength(kWidths[(selector >> 1U) & 3U]);
    values.SetTlvEnabled((selector & 0x08U) != 0);
    values.SetNoLengthTopStruct((selector & 0x10U) != 0);
    values.SetAlignmentBytes((selector & 0x20U) != 0 ? 4 : 0);
    values.SetPlainString((selector & 0x40U) != 0);
    values.SetVectorLength((selector & 0x80U) != 0 ? 2 : 4);
    values.SetStringLength((selector & 0x80U) != 0 ? 1 : 4);
    TransportSerializeConfig transport;
    transport.serializeType = static_cast<std::uint32_t>(SerializeType::kSomeip);
    transport.someipConfig = MakeUniformSomeipConfig<T>(values);
    return transport;
}

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

template <typename T>
void RoundTrip(const TransportSerializeConfig& transport, const std::uint8_t* payload, std::size_t size,
               bool canonical) {
    T decoded;
    const Deserializer<T> deserializer(transport);
    if (!deserializer.Deserialize(decoded, payload, size).IsSuccess()) {
        return;
    }
    const Serializer<T> serializer(transport);
    const auto encodedSize = serializer.GetSize(decoded);
    if (!encodedSize.HasValue()) {
        Check(!canonical);  // a decodable shared-memory payload always re-encodes
        return;
    }
    std::vector<std::uint8_t> encoded(encodedSize.Value());
    Check(serializer.Serialize(decoded, encoded.data(), encoded.size()).IsSuccess());
    if (canonical) {
        Check(encoded.size() == size && std::memcmp(encoded.data(), payload, size) == 0);
    }
    T again;
    Check(deserializer.Deserialize(again, encoded.data(), encoded.size()).IsSuccess());
    Check(again == decoded);
}

template <template <typename> class Run>
int Dispatch(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::uint8_t* payload = data + 2;
    const std::size_t payloadSize = size - 2;
    switch (data[0] % 3U) {
        case 0:
            Run<CameraH265Image>::Go(data[1], payload, payloadSize);
            break;
        case 1:
            Run<perception::Cam2CamPerceptionStruct>::Go(data[1], payload, payloadSize);
            break;
        default:
            Run<perception::LiDAR2LiDARPerception>::Go(data[1], payload, payloadSize);
            break;
    }
    return 0;
}

template <typename T>
struct ShmRun {
    static void Go(std::uint8_t selector, const std::uint8_t* payload, std::size_t size) {
        RoundTrip<T>(ShmConfig(selector), payload, size, true);
    }
};

template <typename T>
struct SomeipRun {
    static void Go(std::uint8_t selector, const std::uint8_t* payload, std::size_t size) {
        RoundTrip<T>(SomeipConfig<T>(selector), payload, size, false);
    }
};

}  // namespace

int FuzzShmDeserializer(const std::uint8_t* data, std::size_t size) {
    return Dispatch<ShmRun>(data, size);
}

int FuzzSomeipDeserializer(const std::uint8_t* data, std::size_t size) {
    return Dispatch<SomeipRun>(data, size);
}

}  // namespace vrt::common::fuzz
