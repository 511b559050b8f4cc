#pragma once

#include <utility>

#include "vrt/common/serialize/result.h"
#include "vrt/common/serialize_config.h"

namespace vrt::common {

// What Serializer and Deserializer share: the transport's serialization configuration, fixed at
// construction, and the failure for a serialize type they do not know.
class TransportCodec {
  public:
    explicit TransportCodec(TransportSerializeConfig config) : config_(std::move(config)) {}

    const TransportSerializeConfig& GetConfig() const noexcept { return config_; }

  protected:
    static serialize::Result UnknownType() {
        return serialize::Result::Failure(serialize::ResultCode::kSerializeFailed, "Unkown Serialize Type");
    }

    TransportSerializeConfig config_;
};

}  // namespace vrt::common
