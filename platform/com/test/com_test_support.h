#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "roudi_process.h"
#include "vrt/cm/deployment/deployment_manifest.h"

namespace vrt::cm::test {

// A private configuration directory holding one deployment manifest, named by CM_CONFIG_FILE_PATH while
// the object lives.
class ScopedManifest {
  public:
    explicit ScopedManifest(const std::string& json) {
        char pattern[] = "/tmp/vrt_com_test_XXXXXX";
        directory_ = ::mkdtemp(pattern);
        Write(json);
        if (const char* previous = std::getenv("CM_CONFIG_FILE_PATH"); previous != nullptr) {
            previous_ = previous;
        }
        ::setenv("CM_CONFIG_FILE_PATH", directory_.c_str(), 1);
    }
    ~ScopedManifest() {
        if (previous_) {
            ::setenv("CM_CONFIG_FILE_PATH", previous_->c_str(), 1);
        } else {
            ::unsetenv("CM_CONFIG_FILE_PATH");
        }
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }
    ScopedManifest(const ScopedManifest&) = delete;
    ScopedManifest& operator=(const ScopedManifest&) = delete;

    void Write(const std::string& json) const {
        std::ofstream(directory_ + "/" + deployment::kManifestFileName) << json;
    }
    const std::string& Directory() const noexcept { return directory_; }
    std::string Path() const { return directory_ + "/" + deployment::kManifestFileName; }

  private:
    std::string directory_;
    std::optional<std::string> previous_;
};

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
