#pragma once

// Deployments of the image event on DDS for the tests: a Cyclone configuration for the interface the test
// runs on, and a domain id of the test process's own, so that runs that overlap do not meet.

#include <unistd.h>

#include <cstdint>
#include <string>

#include "camera_test/files.h"
#include "com_test_support.h"

namespace vrt::cm::test {

// A domain per test process (and `offset` for a second one), away from 0, where other DDS software may run.
inline std::uint32_t TestDomainId(std::uint32_t offset = 0) {
    return 1U + (static_cast<std::uint32_t>(::getpid()) * 2U + offset) % 200U;
}

// A Cyclone configuration on the interface with `address`; unicast discovery of `peer` (every participant
// index up to 16) when it is given, multicast otherwise. Short leases, so that a vanished peer shows soon.
inline std::string CycloneConfig(const std::string& address, const std::string& peer = "") {
    std::string xml = R"(<CycloneDDS xmlns="https://cdds.io/config"><Domain id="any"><General><Interfaces>)"
                      R"(<NetworkInterface address=")" +
                      address + R"("/></Interfaces>)";
    if (!peer.empty()) {
        xml += "<AllowMulticast>false</AllowMulticast>";
    }
    xml +=
        "</General><Discovery><ParticipantIndex>auto</ParticipantIndex>"
        "<MaxAutoParticipantIndex>16</MaxAutoParticipantIndex><LeaseDuration>2 s</LeaseDuration>";
    if (!peer.empty()) {
        xml += "<Peers><Peer address=\"" + peer + "\"/></Peers>";
    }
    xml += "</Discovery></Domain></CycloneDDS>";
    return xml;
}

// A manifest that deploys event `entityId` on PROLOC and DDS (Cyclone configuration `configFile`, written by
// the caller) with the network keys `moreNetwork` adds (", \"key\": value").
inline std::string DdsManifest(std::uint32_t entityId, std::uint32_t domainId, const std::string& configFile,
                               const std::string& moreNetwork = "") {
    const std::string transports = std::string("{\"PROLOC\": {\"serialization\": ") + kShmSerialization +
                                   "}, \"DDS\": {\"network\": {\"domainId\": " + std::to_string(domainId) +
                                   ", \"prefix\": \"vrt_test\", \"config\": \"" + configFile + "\"" +
                                   moreNetwork + "}}}";
    return Manifest(EventEntry(entityId, "CameraH265ImageEvent", transports));
}

}  // namespace vrt::cm::test
