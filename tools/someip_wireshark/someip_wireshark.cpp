// someip_wireshark: writes the Wireshark/tshark SOME/IP configuration for the events of a deployment
// manifest into a Wireshark profile directory, so that a capture shows service, event and eventgroup names
// and every field of the system's payloads, and decodes the event ports as SOME/IP.
//
//   someip_wireshark [--manifest PATH] --out DIR
//
// DIR is a profile directory, e.g. ~/.config/wireshark (the default profile) or
// ~/.config/wireshark/profiles/camera; tshark then reads it by itself (or with -C <profile>).
// Payload layouts are written for big-endian SOME/IP serialization without TLV and without alignment
// padding (the deployment's usual form); other configurations get the names only.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "vrt/cm/deployment/deployment_manifest.h"

namespace {

using vrt::cm::deployment::DeploymentManifest;
using vrt::cm::deployment::EventDeployment;
using vrt::cm::deployment::SerializationDescription;
using vrt::cm::type::DriverType;

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%04x", value);
    return text;
}

std::string Row(const std::vector<std::string>& fields) {
    std::string line;
    for (const std::string& field : fields) {
        line += (line.empty() ? "\"" : ",\"") + field + "\"";
    }
    return line + "\n";
}

// The rows of Wireshark's SOME/IP UAT files.
struct Files {
    std::string services, events, eventgroups, parameters, structs, arrays, strings;
    std::set<std::uint16_t> ports;
    std::set<std::uint16_t> namedServices;
};

constexpr const char* kBaseTypes =
    "\"1\",\"int32\",\"int32\",\"TRUE\",\"32\",\"32\"\n"
    "\"2\",\"int8\",\"int8\",\"TRUE\",\"8\",\"8\"\n"
    "\"3\",\"uint8\",\"uint8\",\"TRUE\",\"8\",\"8\"\n";
constexpr const char* kInt32 = "1";
constexpr const char* kInt8 = "2";
constexpr const char* kUint8 = "3";
// Parameter data types of the SOME/IP dissector.
constexpr const char* kBase = "1";
constexpr const char* kString = "2";
constexpr const char* kArray = "3";
constexpr const char* kStruct = "4";

bool Describable(const SerializationDescription& s) {
    const auto& v = s.values;
    return s.serializeType == 1 && !s.someipTree && v.GetByteOrder() == 0 && !v.IsTlvEnabled() &&
           v.GetAlignmentBytes() <= 1;
}

// Describes one event's payload: its record's fields in order, ids unique per event.
void DescribePayload(Files& files, const EventDeployment& event, std::uint16_t eventId,
                     const SerializationDescription& serialization, unsigned index) {
    const auto& v = serialization.values;
    const bool image = event.shortName.rfind("CameraH265Image", 0) == 0;
    const bool perception = event.shortName.rfind("Cam2CamPerception", 0) == 0;
    if (!image && !perception) {
        return;
    }
    const std::string top = std::to_string(index * 16U + 1U);
    const std::string header = std::to_string(index * 16U + 2U);
    const std::string record = image ? "CameraH265Image" : "Cam2CamPerceptionStruct";
    files.parameters +=
        Row({Hex(event.serviceId), Hex(eventId), "1", "2", "FALSE", "1", "0", record, kStruct, top, record});
    std::vector<std::vector<std::string>> items;
    items.push_back({"typeCode", kBase, kInt32});
    if (image) {
        items.push_back({"cameraId", kBase, kInt8});
        items.push_back({"data", kArray, top});
        items.push_back({"header", kStruct, header});
        items.push_back({"isKeyFrame", kBase, kUint8});
    } else {
        items.push_back({"seq", kBase, kInt8});
        items.push_back({"header", kStruct, header});
    }
    const std::string topLength = std::to_string(v.IsNoLengthTopStruct() ? 0 : 8 * v.GetStructLength());
    for (std::size_t i = 0; i < items.size(); ++i) {
        files.structs += Row({top, record, topLength, "0", "FALSE", std::to_string(items.size()),
                              std::to_string(i), items[i][0], items[i][1], items[i][2], items[i][0]});
    }
    const std::vector<std::vector<std::string>> headerItems = {
        {"sec", kBase, kInt32}, {"nsec", kBase, kInt32}, {"frameId", kString, top}};
    for (std::size_t i = 0; i < headerItems.size(); ++i) {
        files.structs += Row({header, "DriverHeader", std::to_string(8 * v.GetStructLength()), "0", "FALSE",
                              "3", std::to_string(i), headerItems[i][0], headerItems[i][1], headerItems[i][2],
                              headerItems[i][0]});
    }
    if (image) {
        files.arrays += Row({top, "data", kBase, kUint8, "1", "data", "0", "0", "100000000",
                             std::to_string(8 * v.GetVectorLength()), "0"});
    }
    files.strings += Row(
        {top, "frameId", "utf-8", "TRUE", "1000000", std::to_string(8 * v.GetStringLength()), "TRUE", "0"});
}

int Usage(const char* problem) {
    std::cerr << "someip_wireshark: " << problem << "\nusage: someip_wireshark [--manifest PATH] --out DIR\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string manifestPath = DeploymentManifest::DefaultPath();
    std::string out;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if ((argument == "--manifest" || argument == "--out") && i + 1 < argc) {
            (argument == "--out" ? out : manifestPath) = argv[++i];
        } else if (argument == "-h" || argument == "--help") {
            std::cout << "usage: someip_wireshark [--manifest PATH] --out DIR\n";
            return 0;
        } else {
            return Usage(("unknown argument " + argument).c_str());
        }
    }
    if (out.empty()) {
        return Usage("--out DIR is required");
    }
    auto manifest = DeploymentManifest::Load(manifestPath);
    if (!manifest.HasValue()) {
        std::cerr << "someip_wireshark: " << manifest.Error().Describe() << "\n";
        return 1;
    }
    Files files;
    unsigned index = 0;
    unsigned described = 0;
    for (const auto& [entityId, event] : manifest.Value().Events()) {
        const auto transport = event.transports.find(DriverType::SOMEIP);
        if (transport == event.transports.end() || !transport->second.network) {
            continue;
        }
        const auto& network = *transport->second.network;
        const std::uint16_t eventId = static_cast<std::uint16_t>(network.eventId | 0x8000U);
        if (files.namedServices.insert(event.serviceId).second) {
            files.services += Row({Hex(event.serviceId), event.serviceName});
        }
        files.events += Row({Hex(event.serviceId), Hex(eventId), event.shortName});
        files.eventgroups += Row({Hex(event.serviceId), Hex(network.eventgroupId),
                                  event.serviceName + "_eventgroup" + std::to_string(network.eventgroupId)});
        files.ports.insert(network.port);
        files.ports.insert(network.sdPort);  // 30490 is known to Wireshark; another SD port is not
        ++index;
        if (transport->second.serialization && Describable(*transport->second.serialization)) {
            DescribePayload(files, event, eventId, *transport->second.serialization, index);
            ++described;
        } else {
            std::cerr
                << "someip_wireshark: event " << entityId << " (" << event.shortName
                << "): only big-endian SOME/IP serialization without TLV or alignment is described; its "
                   "payload stays undecoded\n";
        }
    }
    std::error_code error;
    std::filesystem::create_directories(out, error);
    const auto write = [&out](const char* name, const std::string& text) {
        std::ofstream file(std::filesystem::path(out) / name);
        file << text;
        return static_cast<bool>(file);
    };
    std::string decodeAs;
    for (const std::uint16_t port : files.ports) {
        decodeAs += "decode_as_entry: udp.port," + std::to_string(port) + ",(none),SOME/IP\n";
    }
    const bool written =
        write("SOMEIP_service_identifiers", files.services) &&
        write("SOMEIP_method_event_identifiers", files.events) &&
        write("SOMEIP_eventgroup_identifiers", files.eventgroups) &&
        write("SOMEIP_parameter_list", files.parameters) &&
        write("SOMEIP_parameter_structs", files.structs) && write("SOMEIP_parameter_arrays", files.arrays) &&
        write("SOMEIP_parameter_strings", files.strings) &&
        write("SOMEIP_parameter_base_types", kBaseTypes) && write("decode_as_entries", decodeAs);
    if (!written) {
        std::cerr << "someip_wireshark: cannot write into " << out << "\n";
        return 1;
    }
    std::cout << "someip_wireshark: " << index << " SOME/IP events (" << described
              << " with their payload layout) from " << manifestPath << " written to " << out << "\n";
    return 0;
}
