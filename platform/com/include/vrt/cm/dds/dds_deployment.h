#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vrt::cm::dds {

// How an event's samples travel: ROS 2's sensor-data profile (best effort, volatile, keep last 5) or its
// default profile (reliable, volatile, keep last 10).
enum class QosProfile : std::uint8_t { kSensorData, kReliable };

inline constexpr std::string_view kSensorDataProfile = "sensor_data";
inline constexpr std::string_view kReliableProfile = "reliable";

// The largest domain id whose ports the RTPS port mapping can express (7400 + 250 * domain + offsets).
inline constexpr std::uint32_t kMaxDomainId = 232;

// The DDS side of one event's DDS transport, from the "network" object of its deployment (keys and defaults
// in platform/com/README.md). Topic names follow ROS 2: "rt/<prefix>/cam_<id>/<topic>" for records that
// belong to a camera, "rt/<prefix>/<topic>" otherwise.
struct DdsDeployment {
    std::uint32_t domainId{0};  // from the manifest, else ROS_DOMAIN_ID, else 0
    std::string prefix{"vrt"};  // ROS 2 namespace of the topics, without the leading slash
    std::string topic;          // last part of the topic names; empty: the record type's own
    QosProfile qos{QosProfile::kSensorData};
    std::uint32_t depth{0};          // history depth; 0: the profile's (5, or 10 when reliable)
    std::uint32_t maxBlockingMs{5};  // reliable only: the longest a send may wait for a slow reader
    std::string configFile;  // Cyclone XML configuration (interfaces, peers); empty: Cyclone's default
    // The cameras' ids in topic and frame names ("cam_<id>"), in the order of their index in the records:
    // the record of camera index 0 goes to the first. The system's four cameras by default (platform ids).
    std::vector<std::uint8_t> cameras{8, 9, 10, 11};

    std::uint32_t HistoryDepth() const noexcept {
        return depth != 0U ? depth : (qos == QosProfile::kReliable ? 10U : 5U);
    }
    // The settings every event of one domain in a process must share (one Cyclone domain).
    bool SameDomain(const DdsDeployment& other) const noexcept {
        return domainId == other.domainId && configFile == other.configFile;
    }
};

// True when `name` is a valid part of a ROS 2 topic name: tokens of letters, digits and underscores, not
// starting with a digit, joined by single slashes, no slash at either end, no double underscore.
bool IsTopicPart(std::string_view name) noexcept;

// The ROS 2 topic name (as DDS sees it, with the "rt/" prefix) of `camera`'s topic, or of the event's only
// topic when `camera` is negative.
std::string TopicName(const DdsDeployment& deployment, std::string_view recordTopic, int camera);

}  // namespace vrt::cm::dds
