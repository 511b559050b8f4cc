#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "vrt/common/serialize/result.h"
#include "vrt/common/serialize/serialize_payload.h"
#include "vrt/common/serialize_config.h"
#include "vrt/common/shm_deserializer.h"
#include "vrt/common/someip_deserializer.h"
#include "vrt/common/transport_codec.h"

namespace vrt::common {

// Decodes records of type T that a Serializer with the same configuration wrote. Meant for bytes from
// outside the process: a malformed payload gives an error, never a read past the end or an allocation larger
// than the payload justifies. On failure the record holds a mix of decoded and previous values. Stateless
// after construction: one instance may serve several threads. Decoding into a record whose vectors already
// have the capacity allocates nothing.
template <typename T>
class Deserializer : public TransportCodec {
  public:
    using TransportCodec::TransportCodec;

    serialize::Result Deserialize(T& record, const std::uint8_t* data, std::size_t size) const {
        if (data == nullptr) {
            return serialize::Result::Failure(serialize::ResultCode::kSerializeFailed,
                                              "Empty deserialize payload");
        }
        serialize::DeserializePayload payload(data, size);
        switch (config_.serializeType) {
            case static_cast<std::uint32_t>(SerializeType::kShm):
                return ShmDeserializer::Deserialize(config_.shmConfig.get(), record, payload);
            case static_cast<std::uint32_t>(SerializeType::kSomeip):
                return SomeipDeserializer::Deserialize(config_.someipConfig.get(), record, payload);
            case static_cast<std::uint32_t>(SerializeType::kSignal):
                return serialize::Result::Failure(serialize::ResultCode::kUnsupportedType,
                                                  "Signal-based payloads cannot be deserialized");
            default:
                return UnknownType();
        }
    }

    // A const record cannot take the decoded values.
    serialize::Result Deserialize(const T& /*record*/, const std::uint8_t* /*data*/,
                                  std::size_t /*size*/) const {
        return serialize::Result::Failure(serialize::ResultCode::kSerializeFailed,
                                          "Deserialize shouldn't be called in const value");
    }
};

}  // namespace vrt::common
