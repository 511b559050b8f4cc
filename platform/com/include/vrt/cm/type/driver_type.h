#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string_view>

namespace vrt::cm::type {

// A transport an event can be deployed on. The order of the values is the order in which an event's
// transports are checked, initialized and sent on.
enum class DriverType : std::uint8_t {
    SOMEIP = 0,  // network binding: SOME/IP over UDP with SOME/IP-TP and SOME/IP-SD
    SHM = 1,     // shared memory between processes of one host (iceoryx)
    PROLOC = 2,  // process-local delivery, no serialization
    DDS = 3,     // network binding: DDS (RTPS) on Eclipse Cyclone DDS, ROS 2 topic and type names
};

// Indexed by DriverType.
inline constexpr std::string_view kDriverTypeNames[] = {"SOMEIP", "SHM", "PROLOC", "DDS"};

constexpr std::string_view ToString(DriverType driver) noexcept {
    const auto index = static_cast<std::size_t>(driver);
    return index < std::size(kDriverTypeNames) ? kDriverTypeNames[index] : "UNKNOWN";
}

constexpr std::optional<DriverType> DriverTypeFromString(std::string_view name) noexcept {
    for (std::size_t i = 0; i < std::size(kDriverTypeNames); ++i) {
        if (kDriverTypeNames[i] == name) {
            return static_cast<DriverType>(i);
        }
    }
    return std::nullopt;
}

static_assert(DriverTypeFromString(ToString(DriverType::SOMEIP)) == DriverType::SOMEIP &&
                  DriverTypeFromString(ToString(DriverType::SHM)) == DriverType::SHM &&
                  DriverTypeFromString(ToString(DriverType::PROLOC)) == DriverType::PROLOC &&
                  DriverTypeFromString(ToString(DriverType::DDS)) == DriverType::DDS,
              "kDriverTypeNames follows the order of DriverType");

}  // namespace vrt::cm::type
