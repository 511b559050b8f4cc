#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vrt::cm::type {

// A transport an event can be deployed on. The order of the values is the order in which an event's
// transports are checked, initialized and sent on.
enum class DriverType : std::uint8_t {
    SOMEIP = 0,  // network binding: SOME/IP over UDP with SOME/IP-TP and SOME/IP-SD
    SHM = 1,     // shared memory between processes of one host (iceoryx)
    PROLOC = 2,  // process-local delivery, no serialization
};

constexpr std::string_view ToString(DriverType driver) noexcept {
    switch (driver) {
        case DriverType::SOMEIP:
            return "SOMEIP";
        case DriverType::SHM:
            return "SHM";
        case DriverType::PROLOC:
            return "PROLOC";
    }
    return "UNKNOWN";
}

constexpr std::optional<DriverType> DriverTypeFromString(std::string_view name) noexcept {
    if (name == "SOMEIP") {
        return DriverType::SOMEIP;
    }
    if (name == "SHM") {
        return DriverType::SHM;
    }
    if (name == "PROLOC") {
        return DriverType::PROLOC;
    }
    return std::nullopt;
}

}  // namespace vrt::cm::type
