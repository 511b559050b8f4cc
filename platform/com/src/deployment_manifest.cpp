#include "vrt/cm/deployment/deployment_manifest.h"

#include <cstdlib>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <sstream>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "someip/someip_sd.h"
#include "vrt/cm/dds/dds_deployment.h"

namespace vrt::cm::deployment {

namespace {

using nlohmann::json;

// Thrown inside the parser only; Parse turns it into a ManifestError.
struct ParseFailure {
    std::string path;
    std::string expectation;
};

std::string Child(const std::string& path, std::string_view key) {
    // JSON pointer escaping of "~" and "/".
    std::string escaped;
    for (char c : key) {
        if (c == '~') {
            escaped += "~0";
        } else if (c == '/') {
            escaped += "~1";
        } else {
            escaped += c;
        }
    }
    return path + "/" + escaped;
}

std::string Child(const std::string& path, std::size_t index) {
    return path + "/" + std::to_string(index);
}

std::string TypeName(const json& value) {
    return value.type_name();
}

void RequireObject(const json& value, const std::string& path, const char* what) {
    if (!value.is_object()) {
        throw ParseFailure{path, std::string("expected ") + what + " (an object), found " + TypeName(value)};
    }
}

void RejectUnknownKeys(const json& object, const std::string& path,
                       std::initializer_list<const char*> known) {
    for (auto it = object.begin(); it != object.end(); ++it) {
        bool found = false;
        for (const char* key : known) {
            found = found || it.key() == key;
        }
        if (!found) {
            std::string list;
            for (const char* key : known) {
                list += list.empty() ? "" : ", ";
                list += key;
            }
            throw ParseFailure{Child(path, it.key()), "unknown key; expected one of: " + list};
        }
    }
}

const json& Required(const json& object, const std::string& path, const char* key, const char* what) {
    auto it = object.find(key);
    if (it == object.end()) {
        throw ParseFailure{Child(path, key), std::string("missing; expected ") + what};
    }
    return *it;
}

std::string String(const json& value, const std::string& path) {
    if (!value.is_string()) {
        throw ParseFailure{path, "expected a string, found " + TypeName(value)};
    }
    return value.get<std::string>();
}

bool Bool(const json& value, const std::string& path) {
    if (!value.is_boolean()) {
        throw ParseFailure{path, "expected true or false, found " + TypeName(value)};
    }
    return value.get<bool>();
}

std::uint64_t Unsigned(const json& value, const std::string& path, std::uint64_t max) {
    if (!value.is_number_integer() ||
        (value.is_number_integer() && !value.is_number_unsigned() && value.get<std::int64_t>() < 0)) {
        throw ParseFailure{path, "expected an integer from 0 to " + std::to_string(max) + ", found " +
                                     (value.is_number() ? value.dump() : TypeName(value))};
    }
    const std::uint64_t number = value.get<std::uint64_t>();
    if (number > max) {
        throw ParseFailure{path, "expected an integer from 0 to " + std::to_string(max) + ", found " +
                                     std::to_string(number)};
    }
    return number;
}

template <typename U>
U UnsignedAs(const json& value, const std::string& path) {
    return static_cast<U>(Unsigned(value, path, std::numeric_limits<U>::max()));
}

template <typename U>
U ReadAs(const json& value, const std::string& path) {
    if constexpr (std::is_same_v<U, bool>) {
        return Bool(value, path);
    } else {
        return UnsignedAs<U>(value, path);
    }
}

template <typename U, void (common::SerializeConfig::*Set)(U) noexcept>
void ReadValue(const json& value, const std::string& path, common::SerializeConfig& values) {
    (values.*Set)(ReadAs<U>(value, path));
}

// The value keys a shared-memory or SOME/IP node may set, and how each is read into the configuration.
struct ValueKey {
    const char* key;
    void (*read)(const json& value, const std::string& path, common::SerializeConfig& values);
};

using common::SerializeConfig;
constexpr ValueKey kValueKeys[] = {
    {"byteOrder", &ReadValue<std::uint8_t, &SerializeConfig::SetByteOrder>},
    {"stringLength", &ReadValue<std::uint8_t, &SerializeConfig::SetStringLength>},
    {"vectorLength", &ReadValue<std::uint8_t, &SerializeConfig::SetVectorLength>},
    {"structLength", &ReadValue<std::uint8_t, &SerializeConfig::SetStructLength>},
    {"alignment", &ReadValue<std::uint8_t, &SerializeConfig::SetAlignmentBytes>},
    {"structPolicy", &ReadValue<std::uint8_t, &SerializeConfig::SetStructPolicy>},
    {"directlyCopy", &ReadValue<bool, &SerializeConfig::SetDirectlyCopy>},
    {"tlv", &ReadValue<bool, &SerializeConfig::SetTlvEnabled>},
    {"noLengthTopStruct", &ReadValue<bool, &SerializeConfig::SetNoLengthTopStruct>},
    {"plainString", &ReadValue<bool, &SerializeConfig::SetPlainString>},
    {"dataId", &ReadValue<std::uint16_t, &SerializeConfig::SetDataId>},
};

// The value keys of a node; unset keys keep `values`.
void ReadValues(const json& object, const std::string& path, common::SerializeConfig& values) {
    for (auto it = object.begin(); it != object.end(); ++it) {
        for (const ValueKey& entry : kValueKeys) {
            if (it.key() == entry.key) {
                entry.read(*it, Child(path, it.key()), values);
                break;
            }
        }
    }
}

#define VALUE_KEYS                                                                            \
    "byteOrder", "stringLength", "vectorLength", "structLength", "alignment", "structPolicy", \
        "directlyCopy", "tlv", "noLengthTopStruct", "plainString", "dataId"

// A SOME/IP node: its own values over those of its parent, and its members (struct) or element (vector).
std::shared_ptr<common::SomeipSerializeConfig> ReadSomeipNode(const json& object, const std::string& path,
                                                              const common::SerializeConfig& inherited) {
    RequireObject(object, path, "a SOME/IP configuration node");
    RejectUnknownKeys(object, path, {VALUE_KEYS, "members"});
    common::SerializeConfig values = inherited;
    ReadValues(object, path, values);
    auto node = std::make_shared<common::SomeipSerializeConfig>(values);
    if (auto members = object.find("members"); members != object.end()) {
        const std::string at = Child(path, "members");
        if (!members->is_array()) {
            throw ParseFailure{at, "expected an array of member nodes, found " + TypeName(*members)};
        }
        for (std::size_t i = 0; i < members->size(); ++i) {
            const json& member = (*members)[i];
            // null stands for a member whose node the deployment leaves empty
            node->AddChildNodeConfig(member.is_null() ? nullptr
                                                      : ReadSomeipNode(member, Child(at, i), values));
        }
    }
    return node;
}

std::shared_ptr<common::SignalSerializeConfig> ReadPdu(const json& object, const std::string& path) {
    RequireObject(object, path, "a PDU");
    RejectUnknownKeys(object, path, {"name", "length", "signals"});
    auto pdu = std::make_shared<common::SignalSerializeConfig>(
        String(Required(object, path, "name", "the PDU name (a string)"), Child(path, "name")),
        UnsignedAs<std::uint32_t>(Required(object, path, "length", "the PDU length in bytes"),
                                  Child(path, "length")));
    const json& signals = Required(object, path, "signals", "the PDU's iSignals (an array)");
    const std::string at = Child(path, "signals");
    if (!signals.is_array()) {
        throw ParseFailure{at, "expected an array of iSignals, found " + TypeName(signals)};
    }
    for (std::size_t i = 0; i < signals.size(); ++i) {
        const json& signal = signals[i];
        const std::string sp = Child(at, i);
        RequireObject(signal, sp, "an iSignal");
        RejectUnknownKeys(signal, sp, {"name", "pos", "length", "byteOrder", "dynamic"});
        const auto dynamic = signal.find("dynamic");
        pdu->AddSignal(std::make_shared<const common::serialize::ISignal>(
            String(Required(signal, sp, "name", "the iSignal name (a string)"), Child(sp, "name")),
            UnsignedAs<std::uint32_t>(Required(signal, sp, "pos", "the start position in bits"),
                                      Child(sp, "pos")),
            UnsignedAs<std::uint32_t>(Required(signal, sp, "length", "the length in bits"),
                                      Child(sp, "length")),
            UnsignedAs<std::uint8_t>(Required(signal, sp, "byteOrder", "0, 1 or 2"), Child(sp, "byteOrder")),
            dynamic == signal.end() ? false : Bool(*dynamic, Child(sp, "dynamic"))));
    }
    return pdu;
}

SerializationDescription ReadSerialization(const json& object, const std::string& path) {
    RequireObject(object, path, "a serialization configuration");
    RejectUnknownKeys(object, path, {"type", VALUE_KEYS, "members", "pdu"});
    SerializationDescription description;
    description.serializeType = UnsignedAs<std::uint32_t>(
        Required(object, path, "type", "the serialize type (0 shared memory, 1 SOME/IP, 2 signal)"),
        Child(path, "type"));
    ReadValues(object, path, description.values);
    if (object.contains("members")) {
        json node = object;
        node.erase("type");
        node.erase("pdu");
        description.someipTree = ReadSomeipNode(node, path, common::SerializeConfig{});
    }
    if (auto pdu = object.find("pdu"); pdu != object.end()) {
        description.signal = ReadPdu(*pdu, Child(path, "pdu"));
    }
    return description;
}

#undef VALUE_KEYS

std::uint32_t Ipv4(const json& value, const std::string& path) {
    const std::string text = String(value, path);
    const auto address = someip::ParseIpv4(text);
    if (!address) {
        throw ParseFailure{path, "expected a dotted IPv4 address, found \"" + text + "\""};
    }
    return *address;
}

// An array of "a.b.c.d/n" (or plain addresses).
std::vector<someip::Ipv4Range> Ipv4Ranges(const json& value, const std::string& path) {
    if (!value.is_array()) {
        throw ParseFailure{path, "expected an array of IPv4 networks such as \"10.0.0.0/24\""};
    }
    std::vector<someip::Ipv4Range> ranges;
    for (std::size_t i = 0; i < value.size(); ++i) {
        const std::string at = Child(path, i);
        const std::string text = String(value[i], at);
        const auto range = someip::ParseIpv4Range(text);
        if (!range) {
            throw ParseFailure{at,
                               "expected an IPv4 network \"a.b.c.d/n\" (n from 0 to 32) or an address, "
                               "found \"" +
                                   text + "\""};
        }
        ranges.push_back(*range);
    }
    return ranges;
}

// The SOME/IP network settings of one event; every key is optional.
someip::NetworkDeployment ReadNetwork(const json* object, const std::string& path, std::uint32_t entityId,
                                      const std::string& instanceId, const std::string& instancePath) {
    someip::NetworkDeployment network;
    network.eventId = static_cast<std::uint16_t>(entityId & 0x7FFFU);
    const bool numeric = !instanceId.empty() && instanceId.size() <= 5 &&
                         instanceId.find_first_not_of("0123456789") == std::string::npos;
    if (!numeric || std::stoul(instanceId) > 0xFFFEU) {
        throw ParseFailure{instancePath,
                           "expected a SOME/IP instance id (a decimal number from 0 to 65534) "
                           "for an event with a SOMEIP transport, found \"" +
                               instanceId + "\""};
    }
    network.instanceId = static_cast<std::uint16_t>(std::stoul(instanceId));
    if (object == nullptr) {
        return network;
    }
    RequireObject(*object, path, "the SOME/IP network settings");
    RejectUnknownKeys(*object, path,
                      {"eventId",
                       "eventgroupId",
                       "interfaceVersion",
                       "minorVersion",
                       "address",
                       "port",
                       "sdPort",
                       "sdMulticast",
                       "clientAddress",
                       "clientPort",
                       "offerIntervalMs",
                       "offerTtl",
                       "subscribeTtl",
                       "tpSegmentSize",
                       "maxMessageSize",
                       "reassemblyTimeoutMs",
                       "maxReassemblies",
                       "allowedSubscribers",
                       "subscriberEndpoints",
                       "maxSubscribers",
                       "maxSubscribeTtl",
                       "allowedProviders",
                       "tcpPort",
                       "tcpBacklogBytes",
                       "reliable"});
    const auto number = [&](const char* key, std::uint64_t min, std::uint64_t max, auto& field) {
        if (auto it = object->find(key); it != object->end()) {
            const std::string at = Child(path, key);
            const std::uint64_t value = Unsigned(*it, at, max);
            if (value < min) {
                throw ParseFailure{at, "expected an integer from " + std::to_string(min) + " to " +
                                           std::to_string(max) + ", found " + std::to_string(value)};
            }
            field = static_cast<std::remove_reference_t<decltype(field)>>(value);
        }
    };
    number("eventId", 0, 0x7FFF, network.eventId);
    number("eventgroupId", 1, 0xFFFE, network.eventgroupId);
    number("interfaceVersion", 0, 0xFE, network.interfaceVersion);
    number("minorVersion", 0, 0xFFFFFFFE, network.minorVersion);
    number("port", 1, 0xFFFF, network.port);
    number("sdPort", 1, 0xFFFF, network.sdPort);
    number("clientPort", 0, 0xFFFF, network.clientPort);
    number("offerIntervalMs", 10, 3600000, network.offerIntervalMs);
    number("offerTtl", 1, someip::kMaxTtl - 1, network.offerTtl);
    number("subscribeTtl", 1, someip::kMaxTtl - 1, network.subscribeTtl);
    number("tpSegmentSize", 16, 65000, network.tpSegmentSize);
    number("maxMessageSize", 16, 256U * 1024U * 1024U, network.maxMessageSize);
    number("reassemblyTimeoutMs", 1, 3600000, network.reassemblyTimeoutMs);
    number("maxReassemblies", 1, 1024, network.maxReassemblies);
    number("maxSubscribers", 1, 1024, network.maxSubscribers);
    number("maxSubscribeTtl", 1, someip::kMaxTtl - 1, network.maxSubscribeTtl);
    number("tcpPort", 0, 0xFFFF, network.tcpPort);
    number("tcpBacklogBytes", 65536, 1024U * 1024U * 1024U, network.tcpBacklogBytes);
    if (auto it = object->find("reliable"); it != object->end()) {
        network.reliable = Bool(*it, Child(path, "reliable"));
    }
    const auto ranges = [&](const char* key, std::vector<someip::Ipv4Range>& field) {
        if (auto it = object->find(key); it != object->end()) {
            field = Ipv4Ranges(*it, Child(path, key));
        }
    };
    ranges("allowedSubscribers", network.allowedSubscribers);
    ranges("subscriberEndpoints", network.subscriberEndpoints);
    ranges("allowedProviders", network.allowedProviders);
    if (auto it = object->find("address"); it != object->end()) {
        network.address = Ipv4(*it, Child(path, "address"));
    }
    if (auto it = object->find("clientAddress"); it != object->end()) {
        network.clientAddress = Ipv4(*it, Child(path, "clientAddress"));
    }
    if (auto it = object->find("sdMulticast"); it != object->end() && it->is_null()) {
        network.sdMulticast.reset();
    } else if (it != object->end()) {
        const std::string at = Child(path, "sdMulticast");
        const std::uint32_t group = Ipv4(*it, at);
        if ((group >> 28U) != 0xEU) {
            throw ParseFailure{at, "expected an IPv4 multicast address (224.0.0.0 to 239.255.255.255)"};
        }
        network.sdMulticast = group;
    }
    if (static_cast<std::uint64_t>(network.offerIntervalMs) >= 1000ULL * network.offerTtl) {
        throw ParseFailure{Child(path, "offerIntervalMs"),
                           "expected an interval shorter than offerTtl seconds, or offers expire between "
                           "two of them"};
    }
    return network;
}

// The domain id a DDS deployment without "domainId" takes: ROS_DOMAIN_ID, as ROS 2 nodes do, else 0.
std::uint32_t DefaultDomainId(const std::string& path) {
    const char* text = std::getenv("ROS_DOMAIN_ID");
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    const std::string value(text);
    if (value.size() > 3 || value.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(value) > dds::kMaxDomainId) {
        throw ParseFailure{Child(path, "domainId"), "missing, and ROS_DOMAIN_ID=\"" + value +
                                                        "\" is no domain id; expected 0 to " +
                                                        std::to_string(dds::kMaxDomainId)};
    }
    return static_cast<std::uint32_t>(std::stoul(value));
}

std::string TopicPart(const json& value, const std::string& path, bool mayBeEmpty) {
    std::string text = String(value, path);
    if ((text.empty() && !mayBeEmpty) || (!text.empty() && !dds::IsTopicPart(text))) {
        throw ParseFailure{path,
                           "expected a ROS 2 name: tokens of letters, digits and underscores, not "
                           "starting with a digit, joined by single slashes; found \"" +
                               text + "\""};
    }
    return text;
}

// The DDS settings of one event; every key is optional. A relative configuration file is taken from the
// manifest's directory; it must be readable now, its contents are checked when the domain is made.
dds::DdsDeployment ReadDds(const json* object, const std::string& path, const std::string& baseDirectory) {
    dds::DdsDeployment deployment;
    if (object == nullptr || !object->contains("domainId")) {
        deployment.domainId = DefaultDomainId(path);
    }
    if (object == nullptr) {
        return deployment;
    }
    RequireObject(*object, path, "the DDS settings");
    RejectUnknownKeys(*object, path,
                      {"domainId", "prefix", "topic", "qos", "depth", "maxBlockingMs", "config", "cameras"});
    if (auto it = object->find("domainId"); it != object->end()) {
        deployment.domainId =
            static_cast<std::uint32_t>(Unsigned(*it, Child(path, "domainId"), dds::kMaxDomainId));
    }
    if (auto it = object->find("prefix"); it != object->end()) {
        deployment.prefix = TopicPart(*it, Child(path, "prefix"), true);
    }
    if (auto it = object->find("topic"); it != object->end()) {
        deployment.topic = TopicPart(*it, Child(path, "topic"), false);
    }
    if (auto it = object->find("qos"); it != object->end()) {
        const std::string profile = String(*it, Child(path, "qos"));
        if (profile == dds::kSensorDataProfile) {
            deployment.qos = dds::QosProfile::kSensorData;
        } else if (profile == dds::kReliableProfile) {
            deployment.qos = dds::QosProfile::kReliable;
        } else {
            throw ParseFailure{Child(path, "qos"),
                               "unknown QoS profile \"" + profile +
                                   "\"; expected one of: " + std::string(dds::kSensorDataProfile) + ", " +
                                   std::string(dds::kReliableProfile)};
        }
    }
    if (auto it = object->find("depth"); it != object->end()) {
        deployment.depth = static_cast<std::uint32_t>(Unsigned(*it, Child(path, "depth"), 1000));
        if (deployment.depth == 0U) {
            throw ParseFailure{Child(path, "depth"), "expected a history depth from 1 to 1000, found 0"};
        }
    }
    if (auto it = object->find("maxBlockingMs"); it != object->end()) {
        deployment.maxBlockingMs =
            static_cast<std::uint32_t>(Unsigned(*it, Child(path, "maxBlockingMs"), 1000));
    }
    if (auto it = object->find("config"); it != object->end()) {
        const std::string at = Child(path, "config");
        std::string file = String(*it, at);
        if (file.empty()) {
            throw ParseFailure{at, "expected the path of a Cyclone DDS XML configuration file, found \"\""};
        }
        if (file.front() != '/' && !baseDirectory.empty()) {
            file = baseDirectory + "/" + file;
        }
        std::ifstream probe(file);
        if (!probe || probe.peek() == std::ifstream::traits_type::eof()) {
            throw ParseFailure{at,
                               "cannot read \"" + file + "\"; expected a Cyclone DDS XML configuration file"};
        }
        deployment.configFile = file;
    }
    if (auto it = object->find("cameras"); it != object->end()) {
        const std::string at = Child(path, "cameras");
        if (!it->is_array() || it->empty()) {
            throw ParseFailure{at,
                               "expected a non-empty array of camera ids (0 to 255), in the order of the "
                               "cameras' index in the records"};
        }
        deployment.cameras.clear();
        for (std::size_t i = 0; i < it->size(); ++i) {
            const auto camera = static_cast<std::uint8_t>(Unsigned((*it)[i], Child(at, i), 255));
            for (const std::uint8_t known : deployment.cameras) {
                if (known == camera) {
                    throw ParseFailure{Child(at, i), "duplicate camera " + std::to_string(camera) +
                                                         "; expected each camera once"};
                }
            }
            deployment.cameras.push_back(camera);
        }
    }
    return deployment;
}

TransportDeployment ReadTransport(type::DriverType driver, const json& object, const std::string& path,
                                  std::uint32_t entityId, const std::string& instanceId,
                                  const std::string& instancePath, const std::string& baseDirectory) {
    RequireObject(object, path, "a transport deployment");
    const bool someip = driver == type::DriverType::SOMEIP;
    const bool dds = driver == type::DriverType::DDS;
    if (someip) {
        RejectUnknownKeys(object, path, {"vlan", "serialization", "network"});
    } else if (dds) {
        // Cyclone serializes the event's IDL type (XCDR1): there is nothing to configure.
        RejectUnknownKeys(object, path, {"vlan", "network"});
    } else {
        RejectUnknownKeys(object, path, {"vlan", "serialization"});
    }
    TransportDeployment transport;
    transport.driver = driver;
    if (auto vlan = object.find("vlan"); vlan != object.end()) {
        transport.vlan = String(*vlan, Child(path, "vlan"));
    }
    if (auto serialization = object.find("serialization"); serialization != object.end()) {
        transport.serialization = ReadSerialization(*serialization, Child(path, "serialization"));
    }
    const auto network = object.find("network");
    if (someip) {
        transport.network = ReadNetwork(network == object.end() ? nullptr : &*network, Child(path, "network"),
                                        entityId, instanceId, instancePath);
    }
    if (dds) {
        transport.dds =
            ReadDds(network == object.end() ? nullptr : &*network, Child(path, "network"), baseDirectory);
    }
    return transport;
}

std::uint32_t ParseEntityId(const std::string& key, const std::string& path) {
    const std::string expectation =
        "expected an event entity id (a decimal number from 0 to 4294967295) as key";
    if (key.empty() || key.size() > 10 || key.find_first_not_of("0123456789") != std::string::npos) {
        throw ParseFailure{path, expectation};
    }
    const std::uint64_t value = std::stoull(key);
    if (value > std::numeric_limits<std::uint32_t>::max()) {
        throw ParseFailure{path, expectation};
    }
    return static_cast<std::uint32_t>(value);
}

EventDeployment ReadEvent(std::uint32_t entityId, const json& object, const std::string& path,
                          const std::string& baseDirectory) {
    RequireObject(object, path, "an event deployment");
    RejectUnknownKeys(
        object, path,
        {"shortName", "serviceName", "serviceIdentifier", "serviceId", "instanceId", "transports"});
    EventDeployment event;
    event.entityId = entityId;
    event.shortName = String(Required(object, path, "shortName", "the event's short name (a string)"),
                             Child(path, "shortName"));
    event.serviceName = String(Required(object, path, "serviceName", "the service's short name (a string)"),
                               Child(path, "serviceName"));
    if (auto identifier = object.find("serviceIdentifier"); identifier != object.end()) {
        event.serviceIdentifier = String(*identifier, Child(path, "serviceIdentifier"));
    }
    event.serviceId = UnsignedAs<std::uint16_t>(
        Required(object, path, "serviceId", "the SOME/IP service id (0 to 65535)"), Child(path, "serviceId"));
    event.instanceId =
        String(Required(object, path, "instanceId", "the instance id (a string)"), Child(path, "instanceId"));
    const json& transports = Required(object, path, "transports",
                                      "the event's transports (an object keyed SHM, PROLOC, SOMEIP or DDS)");
    const std::string at = Child(path, "transports");
    RequireObject(transports, at, "the event's transports keyed SHM, PROLOC, SOMEIP or DDS");
    for (auto it = transports.begin(); it != transports.end(); ++it) {
        const auto driver = type::DriverTypeFromString(it.key());
        if (!driver) {
            throw ParseFailure{Child(at, it.key()),
                               "unknown transport; expected one of: SHM, PROLOC, SOMEIP, DDS"};
        }
        event.transports.emplace(*driver,
                                 ReadTransport(*driver, *it, Child(at, it.key()), entityId, event.instanceId,
                                               Child(path, "instanceId"), baseDirectory));
    }
    return event;
}

}  // namespace

std::string ManifestError::Describe() const {
    return file + ": " + (path.empty() ? "/" : path) + ": " + expectation;
}

std::string DeploymentManifest::ConfigDirectory() {
    const char* directory = std::getenv("CM_CONFIG_FILE_PATH");
    return directory == nullptr ? std::string("/") : std::string(directory);
}

std::string DeploymentManifest::DefaultPath() {
    std::string directory = ConfigDirectory();
    if (directory.empty() || directory.back() != '/') {
        directory += '/';
    }
    return directory + kManifestFileName;
}

ara::core::Result<DeploymentManifest, ManifestError> DeploymentManifest::Load(const std::string& filePath) {
    using R = ara::core::Result<DeploymentManifest, ManifestError>;
    std::ifstream in(filePath);
    if (!in) {
        return R::FromError(
            ManifestError{filePath, "", "cannot be read; expected a JSON deployment manifest"});
    }
    std::ostringstream text;
    text << in.rdbuf();
    return Parse(text.str(), filePath);
}

ara::core::Result<DeploymentManifest, ManifestError> DeploymentManifest::Parse(std::string_view text,
                                                                               const std::string& fileName) {
    using R = ara::core::Result<DeploymentManifest, ManifestError>;
    json document;
    try {
        document = json::parse(text.begin(), text.end());
    } catch (const json::parse_error& error) {
        return R::FromError(
            ManifestError{fileName, "", std::string("expected well-formed JSON: ") + error.what()});
    }
    DeploymentManifest manifest;
    manifest.filePath_ = fileName;
    const std::size_t slash = fileName.rfind('/');
    const std::string baseDirectory =
        slash == std::string::npos ? std::string(".") : fileName.substr(0, slash);
    try {
        RequireObject(document, "", "the manifest");
        RejectUnknownKeys(document, "", {"events"});
        const json& events = Required(document, "", "events", "the events keyed by entity id (an object)");
        RequireObject(events, "/events", "the events keyed by entity id");
        for (auto it = events.begin(); it != events.end(); ++it) {
            const std::string path = Child("/events", it.key());
            const std::uint32_t entityId = ParseEntityId(it.key(), path);
            if (manifest.events_.count(entityId) != 0) {
                throw ParseFailure{path, "duplicate entity id; expected each event once"};
            }
            manifest.events_.emplace(entityId, ReadEvent(entityId, *it, path, baseDirectory));
        }
    } catch (const ParseFailure& failure) {
        return R::FromError(ManifestError{fileName, failure.path, failure.expectation});
    }
    return R::FromValue(std::move(manifest));
}

const EventDeployment* DeploymentManifest::FindEvent(std::uint32_t entityId) const noexcept {
    const auto it = events_.find(entityId);
    return it == events_.end() ? nullptr : &it->second;
}

}  // namespace vrt::cm::deployment
