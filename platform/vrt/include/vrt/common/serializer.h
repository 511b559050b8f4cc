#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "vrt/common/serialize/result.h"
#include "vrt/common/serialize/serialize_payload.h"
#include "vrt/common/serialize_config.h"
#include "vrt/common/shm_serializer.h"
#include "vrt/common/signal_serializer.h"
#include "vrt/common/someip_serializer.h"
#include "vrt/common/transport_codec.h"

namespace vrt::common {

// Encodes records of type T for one transport, with the encoding its configuration selects. Stateless after
// construction: one instance may serve several threads. A successful call allocates nothing.
template <typename T>
class Serializer : public TransportCodec {
  public:
    using TransportCodec::TransportCodec;

    // Writes the record into buffer[0, size). Nothing is ever written at or beyond buffer + size; a field
    // that does not fit fails with its own element and the remaining fields are still tried.
    serialize::Result Serialize(const T& record, std::uint8_t* buffer, std::size_t size) const {
        if (buffer == nullptr) {
            return serialize::Result::Failure(serialize::ResultCode::kSerializeFailed,
                                              "Empty serialize payload");
        }
        serialize::SerializePayload payload(buffer, size);
        switch (config_.serializeType) {
            case static_cast<std::uint32_t>(SerializeType::kShm):
                return ShmSerializer::Serialize(config_.shmConfig.get(), record, payload);
            case static_cast<std::uint32_t>(SerializeType::kSomeip):
                return SomeipSerializer::Serialize(config_.someipConfig.get(), record, payload);
            case static_cast<std::uint32_t>(SerializeType::kSignal):
                return SignalSerializer::Serialize(config_.signalConfig.get(), record, payload);
            default:
                return UnknownType();
        }
    }

    // Bytes Serialize needs for this record.
    serialize::SizeResult GetSize(const T& record) const {
        switch (config_.serializeType) {
            case static_cast<std::uint32_t>(SerializeType::kShm):
                return ShmSerializer::GetSize(config_.shmConfig.get(), record);
            case static_cast<std::uint32_t>(SerializeType::kSomeip):
                return SomeipSerializer::GetSize(config_.someipConfig.get(), record);
            case static_cast<std::uint32_t>(SerializeType::kSignal):
                return SignalSerializer::GetSize(config_.signalConfig.get(), record);
            default:
                return serialize::SizeResult(UnknownType());
        }
    }
};

}  // namespace vrt::common
