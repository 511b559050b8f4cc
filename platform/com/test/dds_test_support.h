#pragma once

// Deployments of the image event on DDS for the tests: a Cyclone configuration for the interface the test
// runs on, and a domain id of the test process's own, so that runs that overlap do not meet.

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "camera_test/files.h"
#include "com_test_support.h"
#include "network_namespaces.h"

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
    xml += "</Discovery><Internal><MaxSampleSize>32MiB</MaxSampleSize></Internal></Domain></CycloneDDS>";
    return xml;
}

// A Cyclone configuration for processes on either side of a veth pair, read by both: Cyclone takes the one
// interface that is not loopback, and finds the other side by unicast at `peers` (its own address among them
// does no harm).
inline std::string CycloneConfigForPeers(const std::vector<std::string>& peers) {
    std::string xml = R"(<CycloneDDS xmlns="https://cdds.io/config"><Domain id="any"><General>)"
                      "<AllowMulticast>false</AllowMulticast></General><Discovery><ParticipantIndex>auto"
                      "</ParticipantIndex><MaxAutoParticipantIndex>16</MaxAutoParticipantIndex><Peers>";
    for (const std::string& peer : peers) {
        xml += "<Peer address=\"" + peer + "\"/>";
    }
    xml +=
        "</Peers></Discovery><Internal><MaxSampleSize>32MiB</MaxSampleSize></Internal></Domain></CycloneDDS>";
    return xml;
}

// Waits until both ends of the veth pair have carrier (up to 10 s): until then neither Cyclone nor Fast DDS
// takes the interface.
inline bool WaitForCarrier(const NetworkNamespaces& namespaces) {
    const std::string id = std::to_string(::getpid());
    const std::string check = "ip -n " + namespaces.A() + " -o link show dev va" + id +
                              " | grep -q 'state UP' && " + "ip -n " + namespaces.B() +
                              " -o link show dev vb" + id + " | grep -q 'state UP'";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::system(check.c_str()) != 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
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
