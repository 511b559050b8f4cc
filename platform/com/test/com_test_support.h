#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "camera_test/files.h"
#include "camera_test/roudi_process.h"
#include "camera_test/scoped_environment.h"
#include "camera_test/temporary_directory.h"
#include "vrt/cm/deployment/deployment_manifest.h"

namespace vrt::cm::test {

// A private configuration directory holding one deployment manifest, named by CM_CONFIG_FILE_PATH while
// the object lives.
class ScopedManifest {
  public:
    explicit ScopedManifest(const std::string& json)
        : directory_(MakeDirectory()), environment_("CM_CONFIG_FILE_PATH", directory_.Path()) {
        Write(json);
    }

    void Write(const std::string& json) const { (void)camera_test::WriteFile(Path(), json); }
    const std::string& Directory() const noexcept { return directory_.Path(); }
    std::string Path() const { return directory_.File(deployment::kManifestFileName); }

  private:
    static camera_test::TemporaryDirectory MakeDirectory() {
        auto made = camera_test::TemporaryDirectory::Make("vrt_com_test_");
        return made ? std::move(made).Value() : camera_test::TemporaryDirectory();
    }

    camera_test::TemporaryDirectory directory_;
    camera_test::ScopedEnvironment environment_;
};

// A RouDi of the caller's own with these mempools, its configuration and its log (roudi.log) beside the
// manifest.
inline camera_test::SupportResult<camera_test::RouDiProcess> StartRouDi(
    const ScopedManifest& manifest, const std::string& roudiBinary,
    const std::vector<camera_test::Mempool>& mempools) {
    const std::string config = manifest.Directory() + "/roudi.toml";
    if (auto written = camera_test::WriteFile(config, camera_test::RouDiConfig(mempools)); !written) {
        return camera_test::SupportResult<camera_test::RouDiProcess>::FromError(written.Error());
    }
    return camera_test::RouDiProcess::Start(roudiBinary, config, manifest.Directory() + "/roudi.log");
}

inline const char* kShmSerialization = R"({"type": 0, "byteOrder": 1, "stringLength": 4, "vectorLength": 4})";

// One event entry of a manifest: `transports` is the JSON object of its transports.
inline std::string EventEntry(std::uint32_t entityId, const std::string& shortName,
                              const std::string& transports, std::uint16_t serviceId = 4097,
                              const std::string& instanceId = "1") {
    return "\"" + std::to_string(entityId) + "\": {\"shortName\": \"" + shortName +
           "\", \"serviceName\": \"TestService\", \"serviceId\": " + std::to_string(serviceId) +
           ", \"instanceId\": \"" + instanceId + "\", \"transports\": " + transports + "}";
}

inline std::string Manifest(const std::string& entries) {
    return "{\"events\": {" + entries + "}}";
}

inline std::string ProlocOnly() {
    return std::string("{\"PROLOC\": {\"serialization\": ") + kShmSerialization + "}}";
}

// A manifest that deploys event `entityId` of service 4097 on SOMEIP only (big-endian SOME/IP serialization)
// with fast discovery: offers every 100 ms with a TTL of 1 s. `moreNetwork` adds keys to the network object
// (", \"key\": value").
inline std::string SomeipManifest(std::uint32_t entityId, std::uint16_t port, std::uint16_t sdPort,
                                  const std::string& address = "127.0.0.1",
                                  const std::string& clientAddress = "127.0.0.1",
                                  const std::string& moreNetwork = "") {
    const std::string transports =
        R"({"SOMEIP": {"serialization": {"type": 1, "byteOrder": 0, "stringLength": 4, "vectorLength": 4},
             "network": {"address": ")" +
        address + R"(", "clientAddress": ")" + clientAddress + R"(", "port": )" + std::to_string(port) +
        R"(, "sdPort": )" + std::to_string(sdPort) + R"(, "offerIntervalMs": 100, "offerTtl": 1)" +
        moreNetwork + "}}}";
    return Manifest(EventEntry(entityId, "CameraH265ImageEvent", transports));
}

}  // namespace vrt::cm::test
