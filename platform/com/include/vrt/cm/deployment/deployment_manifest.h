#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "ara/core/result.h"
#include "vrt/cm/dds/dds_deployment.h"
#include "vrt/cm/someip/someip_deployment.h"
#include "vrt/cm/type/driver_type.h"
#include "vrt/common/serialize_config.h"
#include "vrt/common/someip_config_builder.h"

namespace vrt::cm::deployment {

// File name of the deployment manifest inside the configuration directory.
inline constexpr const char kManifestFileName[] = "cm_deployment.json";

// A serialization configuration as the deployment states it, before it is bound to a record type.
struct SerializationDescription {
    std::uint32_t serializeType{0};  // raw, so that an unknown type reaches the checker that reports it
    common::SerializeConfig values;  // shared memory, and every SOME/IP node without a tree
    std::shared_ptr<const common::SomeipSerializeConfig> someipTree;  // explicit SOME/IP node tree, or null
    std::shared_ptr<const common::SignalSerializeConfig> signal;      // signal-based PDU, or null

    // The configuration for record type T. A SOME/IP deployment without a member tree applies its values
    // to every node of T.
    template <typename T>
    common::TransportSerializeConfig For() const {
        common::TransportSerializeConfig config;
        config.serializeType = serializeType;
        config.shmConfig = std::make_shared<const common::SerializeConfig>(values);
        if (serializeType == static_cast<std::uint32_t>(common::SerializeType::kSomeip)) {
            config.someipConfig = someipTree ? someipTree : common::MakeUniformSomeipConfig<T>(values);
        }
        config.signalConfig = signal;
        return config;
    }
};

// One transport of one event.
struct TransportDeployment {
    type::DriverType driver{type::DriverType::PROLOC};
    std::string vlan;
    std::optional<SerializationDescription> serialization;  // absent: the event cannot be encoded here
    std::optional<someip::NetworkDeployment> network;       // SOMEIP only; always set for it
    std::optional<dds::DdsDeployment> dds;                  // DDS only; always set for it
};

// Everything the deployment says about one event, looked up by its entity id.
struct EventDeployment {
    std::uint32_t entityId{0};
    std::string shortName;          // the event's name in its service
    std::string serviceName;        // the service's short name
    std::string serviceIdentifier;  // the service interface the event belongs to; empty: not checked
    std::uint16_t serviceId{0};
    std::string instanceId;
    std::map<type::DriverType, TransportDeployment> transports;
};

// Why a manifest could not be used: the file, the JSON pointer of the offending place and what was
// expected there.
struct ManifestError {
    std::string file;
    std::string path;
    std::string expectation;

    // "<file>: <path>: <expectation>"
    std::string Describe() const;
};

// The middleware's deployment manifest: a JSON file mapping event entity ids to their service, instance and
// transports (schema in platform/com/README.md). Immutable after loading; safe to share between threads.
class DeploymentManifest {
  public:
    // The directory named by CM_CONFIG_FILE_PATH ("/" when unset).
    static std::string ConfigDirectory();
    // ConfigDirectory() + "/" + kManifestFileName.
    static std::string DefaultPath();

    static ara::core::Result<DeploymentManifest, ManifestError> Load(const std::string& filePath);
    // `fileName` only names the source in errors.
    static ara::core::Result<DeploymentManifest, ManifestError> Parse(std::string_view text,
                                                                      const std::string& fileName);

    // The event's deployment, or null when the manifest does not list it.
    const EventDeployment* FindEvent(std::uint32_t entityId) const noexcept;

    const std::string& FilePath() const noexcept { return filePath_; }
    const std::map<std::uint32_t, EventDeployment>& Events() const noexcept { return events_; }

  private:
    std::string filePath_;
    std::map<std::uint32_t, EventDeployment> events_;
};

}  // namespace vrt::cm::deployment
