#include "vrt/cm/deployment/deployment_manifest.h"

#include <gtest/gtest.h>

#include "camera_test/scoped_environment.h"
#include "com_test_support.h"
#include "impl_type_camerah265image.h"

namespace {

using vrt::cm::deployment::DeploymentManifest;
using vrt::cm::test::EventEntry;
using vrt::cm::test::Manifest;
using vrt::cm::type::DriverType;

DeploymentManifest ParseOk(const std::string& text) {
    auto result = DeploymentManifest::Parse(text, "m.json");
    EXPECT_TRUE(result.HasValue()) << (result.HasValue() ? "" : result.Error().Describe());
    return result.HasValue() ? std::move(result).Value() : DeploymentManifest{};
}

std::string ParseError(const std::string& text) {
    auto result = DeploymentManifest::Parse(text, "m.json");
    EXPECT_FALSE(result.HasValue());
    return result.HasValue() ? std::string() : result.Error().Describe();
}

TEST(DeploymentManifestTest, ReadsAnEventWithItsTransportsAndSerialization) {
    const auto sut = ParseOk(Manifest(
        EventEntry(35045, "CameraH265ImageEvent",
                   R"({"SHM": {"vlan": "v1", "serialization": {"type": 0, "byteOrder": 0, "vectorLength": 2}},
            "PROLOC": {}})")));

    const auto* event = sut.FindEvent(35045);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->shortName, "CameraH265ImageEvent");
    EXPECT_EQ(event->serviceId, 4097);
    EXPECT_EQ(event->instanceId, "1");
    ASSERT_EQ(event->transports.size(), 2U);
    const auto& shm = event->transports.at(DriverType::SHM);
    EXPECT_EQ(shm.vlan, "v1");
    ASSERT_TRUE(shm.serialization.has_value());
    EXPECT_EQ(shm.serialization->serializeType, 0U);
    EXPECT_EQ(shm.serialization->values.GetByteOrder(), 0);
    EXPECT_EQ(shm.serialization->values.GetVectorLength(), 2);
    EXPECT_EQ(shm.serialization->values.GetStringLength(), 4);  // default kept
    EXPECT_FALSE(event->transports.at(DriverType::PROLOC).serialization.has_value());
    EXPECT_EQ(sut.FindEvent(1), nullptr);
}

TEST(DeploymentManifestTest, ErrorsNameFilePathAndExpectation) {
    EXPECT_EQ(
        ParseError(Manifest(EventEntry(1, "e", R"({"SHM": {"serialisation": {}}})"))),
        "m.json: /events/1/transports/SHM/serialisation: unknown key; expected one of: vlan, serialization");
    EXPECT_EQ(
        ParseError(Manifest(EventEntry(1, "e", R"({"UDP": {}})"))),
        "m.json: /events/1/transports/UDP: unknown transport; expected one of: SHM, PROLOC, SOMEIP, DDS");
    EXPECT_EQ(ParseError(R"({"events": {"1": {"shortName": "e"}}})"),
              "m.json: /events/1/serviceName: missing; expected the service's short name (a string)");
    EXPECT_EQ(
        ParseError(Manifest(EventEntry(1, "e", R"({"SHM": {"serialization": {"type": -1}}})"))),
        "m.json: /events/1/transports/SHM/serialization/type: expected an integer from 0 to 4294967295, "
        "found -1");
    EXPECT_EQ(
        ParseError(R"({"events": {"x1": {}}})"),
        "m.json: /events/x1: expected an event entity id (a decimal number from 0 to 4294967295) as key");
    EXPECT_EQ(ParseError(R"({"events": []})"),
              "m.json: /events: expected the events keyed by entity id (an object), found array");
    EXPECT_EQ(
        ParseError(Manifest(EventEntry(1, "a", "{}") + "," + EventEntry(1, "b", "{}").replace(1, 1, "01"))),
        "m.json: /events/1: duplicate entity id; expected each event once");
    EXPECT_EQ(ParseError(R"({"events": {}, "extra": 1})"),
              "m.json: /extra: unknown key; expected one of: events");
}

TEST(DeploymentManifestTest, MalformedJsonAndUnreadableFileAreReported) {
    const std::string malformed = ParseError("{\"events\": ");
    EXPECT_EQ(malformed.rfind("m.json: /: expected well-formed JSON", 0), 0U) << malformed;

    auto missing = DeploymentManifest::Load("/nonexistent/cm_deployment.json");
    ASSERT_FALSE(missing.HasValue());
    EXPECT_EQ(missing.Error().Describe(),
              "/nonexistent/cm_deployment.json: /: cannot be read; expected a JSON deployment manifest");
}

TEST(DeploymentManifestTest, SomeipTreeAndSignalPduAreBuilt) {
    const auto sut = ParseOk(Manifest(EventEntry(7, "e", R"({
        "SOMEIP": {"serialization": {"type": 1, "structLength": 4,
                                     "members": [{}, {"byteOrder": 1}, null]}},
        "SHM": {"serialization": {"type": 2,
                 "pdu": {"name": "P", "length": 8,
                         "signals": [{"name": "s0", "pos": 0, "length": 32, "byteOrder": 1, "dynamic": true}]}}}})")));

    const auto& someip = sut.FindEvent(7)->transports.at(DriverType::SOMEIP).serialization;
    ASSERT_TRUE(someip && someip->someipTree);
    const auto& members = someip->someipTree->GetChildNodeConfigList();
    ASSERT_EQ(members.size(), 3U);
    EXPECT_EQ(members[0]->GetStructLength(), 4) << "members inherit their parent's values";
    EXPECT_EQ(members[1]->GetByteOrder(), 1);
    EXPECT_EQ(members[2], nullptr);

    const auto& signal = sut.FindEvent(7)->transports.at(DriverType::SHM).serialization;
    ASSERT_TRUE(signal && signal->signal);
    EXPECT_EQ(signal->signal->GetPduName(), "P");
    ASSERT_EQ(signal->signal->GetISignalCount(), 1U);
    EXPECT_TRUE(signal->signal->GetSignal(0)->IsDynamic());
}

TEST(DeploymentManifestTest, SomeipWithoutTreeAppliesItsValuesToEveryNodeOfTheRecord) {
    const auto sut = ParseOk(
        Manifest(EventEntry(7, "e", R"({"SOMEIP": {"serialization": {"type": 1, "structLength": 2}}})")));

    const auto config =
        sut.FindEvent(7)->transports.at(DriverType::SOMEIP).serialization->For<CameraH265Image>();

    ASSERT_NE(config.someipConfig, nullptr);
    ASSERT_EQ(config.someipConfig->GetChildNodeConfigList().size(), 5U);
    EXPECT_EQ(config.someipConfig->GetChildNodeConfigList()[3]->GetStructLength(), 2);
}

TEST(DeploymentManifestTest, ShippedManifestDeploysEverySystemEvent) {
    auto sut = DeploymentManifest::Load(CONFIG_DIR "/cm_deployment.json");
    ASSERT_TRUE(sut.HasValue()) << sut.Error().Describe();
    for (std::uint32_t id :
         {35045U, 39353U, 24796U, 43181U, 25020U, 36987U, 38317U, 30182U, 28892U, 5485U, 50588U}) {
        const auto* event = sut.Value().FindEvent(id);
        ASSERT_NE(event, nullptr) << id;
        EXPECT_EQ(event->transports.count(DriverType::PROLOC), 1U) << id;
    }
    EXPECT_EQ(sut.Value().FindEvent(35045)->transports.count(DriverType::SHM), 1U);
}

TEST(DeploymentManifestTest, SomeipNetworkTakesItsDefaultsAndEveryKeyGiven) {
    const std::string serialization = R"("serialization": {"type": 1})";
    auto sut =
        ParseOk(Manifest(EventEntry(35045, "Image", "{\"SOMEIP\": {" + serialization + "}}", 4097, "3")));
    const auto& defaults = *sut.FindEvent(35045)->transports.at(DriverType::SOMEIP).network;
    EXPECT_EQ(defaults.eventId, 35045 & 0x7FFF);
    EXPECT_EQ(defaults.instanceId, 3);
    EXPECT_EQ(defaults.port, 30501);
    EXPECT_EQ(defaults.sdPort, 30490);
    EXPECT_EQ(defaults.address, 0x7F000001U);
    EXPECT_EQ(defaults.sdMulticast, 0xE0E0E0F5U);  // cyclic offers announce the service by default
    EXPECT_EQ(defaults.tpSegmentSize, 1400U);
    EXPECT_EQ(defaults.maxSubscribers, 16U);
    EXPECT_EQ(defaults.maxSubscribeTtl, 30U);
    EXPECT_TRUE(defaults.subscriberEndpoints.empty());

    sut = ParseOk(
        Manifest(EventEntry(35045, "Image",
                            "{\"SOMEIP\": {" + serialization +
                                R"(, "network": {"eventId": 5, "eventgroupId": 9, "address": "10.0.0.1",
            "port": 4000, "sdPort": 4001, "sdMulticast": "224.244.224.245", "clientAddress": "10.0.0.2",
            "clientPort": 4002, "offerIntervalMs": 200, "offerTtl": 2, "subscribeTtl": 5, "tpSegmentSize": 1000,
            "maxMessageSize": 65536, "reassemblyTimeoutMs": 50, "maxReassemblies": 2, "interfaceVersion": 4,
            "minorVersion": 7, "allowedSubscribers": ["10.0.0.0/16"], "subscriberEndpoints": ["10.0.9.9"],
            "maxSubscribers": 3, "maxSubscribeTtl": 9, "allowedProviders": ["10.0.2.0/24"], "tcpPort": 4003,
            "tcpBacklogBytes": 100000, "reliable": true}}})")));
    const auto& given = *sut.FindEvent(35045)->transports.at(DriverType::SOMEIP).network;
    EXPECT_EQ(given.eventId, 5);
    EXPECT_EQ(given.eventgroupId, 9);
    EXPECT_EQ(given.address, 0x0A000001U);
    EXPECT_EQ(given.clientAddress, 0x0A000002U);
    EXPECT_EQ(given.sdMulticast, 0xE0F4E0F5U);
    EXPECT_EQ(given.clientPort, 4002);
    EXPECT_EQ(given.subscribeTtl, 5U);
    EXPECT_EQ(given.maxReassemblies, 2U);
    EXPECT_EQ(given.interfaceVersion, 4);
    EXPECT_EQ(given.minorVersion, 7U);
    EXPECT_EQ(given.allowedSubscribers, (std::vector<vrt::cm::someip::Ipv4Range>{{0x0A000000U, 16}}));
    EXPECT_EQ(given.subscriberEndpoints, (std::vector<vrt::cm::someip::Ipv4Range>{{0x0A000909U, 32}}));
    EXPECT_EQ(given.allowedProviders, (std::vector<vrt::cm::someip::Ipv4Range>{{0x0A000200U, 24}}));
    EXPECT_EQ(given.maxSubscribers, 3U);
    EXPECT_EQ(given.maxSubscribeTtl, 9U);
    EXPECT_EQ(given.tcpPort, 4003);
    EXPECT_EQ(given.tcpBacklogBytes, 100000U);
    EXPECT_TRUE(given.reliable);

    sut = ParseOk(Manifest(EventEntry(
        35045, "Image", "{\"SOMEIP\": {" + serialization + R"(, "network": {"sdMulticast": null}}})")));
    EXPECT_FALSE(sut.FindEvent(35045)->transports.at(DriverType::SOMEIP).network->sdMulticast);
}

TEST(DeploymentManifestTest, SomeipNetworkErrorsNameTheKeyAndWhatWasExpected) {
    const auto entry = [](const std::string& network, const std::string& instance = "1") {
        return Manifest(EventEntry(
            35045, "Image", R"({"SOMEIP": {"serialization": {"type": 1}, "network": )" + network + "}}", 4097,
            instance));
    };
    EXPECT_EQ(
        ParseError(entry(R"({"address": "localhost"})")),
        "m.json: /events/35045/transports/SOMEIP/network/address: expected a dotted IPv4 address, found "
        "\"localhost\"");
    EXPECT_EQ(
        ParseError(entry(R"({"sdMulticast": "10.1.1.1"})")),
        "m.json: /events/35045/transports/SOMEIP/network/sdMulticast: expected an IPv4 multicast address "
        "(224.0.0.0 to 239.255.255.255)");
    EXPECT_EQ(
        ParseError(entry(R"({"port": 0})")),
        "m.json: /events/35045/transports/SOMEIP/network/port: expected an integer from 1 to 65535, found 0");
    EXPECT_NE(ParseError(entry(R"({"offerIntervalMs": 5000})")).find("shorter than offerTtl"),
              std::string::npos);
    EXPECT_NE(ParseError(entry(R"({"sdport": 1})")).find("network/sdport: unknown key"), std::string::npos);
    EXPECT_EQ(
        ParseError(entry(R"({"subscriberEndpoints": ["10.0.0.0/33"]})")),
        "m.json: /events/35045/transports/SOMEIP/network/subscriberEndpoints/0: expected an IPv4 network "
        "\"a.b.c.d/n\" (n from 0 to 32) or an address, found \"10.0.0.0/33\"");
    EXPECT_NE(ParseError(entry(R"({"allowedProviders": "10.0.0.0/8"})")).find("expected an array"),
              std::string::npos);
    EXPECT_EQ(ParseError(entry("{}", "front")),
              "m.json: /events/35045/instanceId: expected a SOME/IP instance id (a decimal number from 0 to "
              "65534) for an event with a SOMEIP transport, found \"front\"");
    EXPECT_NE(ParseError(Manifest(EventEntry(35045, "Image", R"({"SHM": {"network": {}}})")))
                  .find("SHM/network: unknown key"),
              std::string::npos);
}

TEST(DeploymentManifestTest, TheSomeipDemoManifestDeploysTheImageEventOnSomeip) {
    auto sut = DeploymentManifest::Load(CONFIG_DIR "/someip/cm_deployment.json");
    ASSERT_TRUE(sut.HasValue()) << sut.Error().Describe();
    const auto& transports = sut.Value().FindEvent(35045)->transports;
    ASSERT_EQ(transports.count(DriverType::SOMEIP), 1U);
    EXPECT_EQ(transports.at(DriverType::SOMEIP).serialization->serializeType, 1U);
    EXPECT_EQ(transports.count(DriverType::SHM), 0U);  // the demo over SOME/IP runs without RouDi
}

TEST(DeploymentManifestTest, DdsTakesItsDefaultsAndEveryKeyGiven) {
    camera_test::ScopedEnvironment noDomain("ROS_DOMAIN_ID", std::nullopt);
    const auto defaults = ParseOk(Manifest(EventEntry(35045, "Image", R"({"DDS": {}})")));
    const auto& dds = *defaults.FindEvent(35045)->transports.at(DriverType::DDS).dds;
    EXPECT_EQ(dds.domainId, 0U);
    EXPECT_EQ(dds.prefix, "vrt");
    EXPECT_EQ(dds.qos, vrt::cm::dds::QosProfile::kSensorData);
    EXPECT_EQ(dds.HistoryDepth(), 5U);
    EXPECT_EQ(dds.cameras, (std::vector<std::uint8_t>{8, 9, 10, 11}));
    EXPECT_EQ(vrt::cm::dds::TopicName(dds, "video", 10), "rt/vrt/cam_10/video");

    camera_test::ScopedEnvironment domain("ROS_DOMAIN_ID", "42");
    const auto given = ParseOk(Manifest(EventEntry(35045, "Image", R"({"DDS": {"network": {
        "prefix": "car/front", "topic": "h264", "qos": "reliable", "depth": 3, "maxBlockingMs": 0,
        "cameras": [8, 9]}}})")));
    const auto& set = *given.FindEvent(35045)->transports.at(DriverType::DDS).dds;
    EXPECT_EQ(set.domainId, 42U) << "ROS_DOMAIN_ID stands in for a missing domainId";
    EXPECT_EQ(set.qos, vrt::cm::dds::QosProfile::kReliable);
    EXPECT_EQ(set.HistoryDepth(), 3U);
    EXPECT_EQ(set.maxBlockingMs, 0U);
    EXPECT_EQ(vrt::cm::dds::TopicName(set, "video", 9), "rt/car/front/cam_9/h264");
    const auto explicitDomain =
        ParseOk(Manifest(EventEntry(35045, "Image", R"({"DDS": {"network": {"domainId": 7}}})")));
    EXPECT_EQ(explicitDomain.FindEvent(35045)->transports.at(DriverType::DDS).dds->domainId, 7U);
}

TEST(DeploymentManifestTest, DdsErrorsNameTheKeyAndWhatWasExpected) {
    camera_test::ScopedEnvironment noDomain("ROS_DOMAIN_ID", std::nullopt);
    const auto entry = [](const std::string& network) {
        return Manifest(EventEntry(35045, "Image", R"({"DDS": {"network": )" + network + "}}"));
    };
    EXPECT_EQ(
        ParseError(entry(R"({"qos": "fast"})")),
        "m.json: /events/35045/transports/DDS/network/qos: unknown QoS profile \"fast\"; expected one of: "
        "sensor_data, reliable");
    EXPECT_EQ(ParseError(entry(R"({"domainId": 233})")),
              "m.json: /events/35045/transports/DDS/network/domainId: expected an integer from 0 to 232, "
              "found 233");
    EXPECT_NE(ParseError(entry(R"({"prefix": "car//front"})")).find("network/prefix: expected a ROS 2 name"),
              std::string::npos);
    EXPECT_NE(ParseError(entry(R"({"topic": "2d"})")).find("network/topic: expected a ROS 2 name"),
              std::string::npos);
    EXPECT_EQ(
        ParseError(entry(R"({"config": "/nonexistent/cyclone.xml"})")),
        "m.json: /events/35045/transports/DDS/network/config: cannot read \"/nonexistent/cyclone.xml\"; "
        "expected a Cyclone DDS XML configuration file");
    EXPECT_NE(ParseError(entry(R"({"cameras": [1, 1]})")).find("cameras/1: duplicate camera 1"),
              std::string::npos);
    EXPECT_NE(ParseError(Manifest(EventEntry(35045, "Image", R"({"DDS": {"serialization": {"type": 0}}})")))
                  .find("DDS/serialization: unknown key; expected one of: vlan, network"),
              std::string::npos);
    camera_test::ScopedEnvironment badDomain("ROS_DOMAIN_ID", "front");
    EXPECT_EQ(
        ParseError(entry("{}")),
        "m.json: /events/35045/transports/DDS/network/domainId: missing, and ROS_DOMAIN_ID=\"front\" is no "
        "domain id; expected 0 to 232");
}

TEST(DeploymentManifestTest, DdsTopicPartsFollowTheRos2NameRules) {
    for (const char* good : {"vrt", "car/front", "cam_0", "a1/b_2"}) {
        EXPECT_TRUE(vrt::cm::dds::IsTopicPart(good)) << good;
    }
    for (const char* bad : {"", "/vrt", "vrt/", "a//b", "1a", "a/2b", "a__b", "a-b", "a b", "a~b"}) {
        EXPECT_FALSE(vrt::cm::dds::IsTopicPart(bad)) << bad;
    }
}

TEST(DeploymentManifestTest, TheDdsDemoManifestDeploysTheImageEventOnDds) {
    auto sut = DeploymentManifest::Load(CONFIG_DIR "/dds/cm_deployment.json");
    ASSERT_TRUE(sut.HasValue()) << sut.Error().Describe();
    const auto& transports = sut.Value().FindEvent(35045)->transports;
    ASSERT_EQ(transports.count(DriverType::DDS), 1U);
    EXPECT_EQ(transports.count(DriverType::SHM), 0U);  // the demo over DDS runs without RouDi
    EXPECT_FALSE(transports.at(DriverType::DDS).dds->configFile.empty());
}

}  // namespace
