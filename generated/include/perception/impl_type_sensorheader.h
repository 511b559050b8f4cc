#pragma once

#include <cstdint>

namespace perception {

// Header of a point-cloud event. Nothing in the system fills or reads it; the names are this library's.
struct SensorHeader {
    std::int32_t sec{0};
    std::uint16_t sensorId{0};
    std::int32_t nsec{0};

    template <typename Visitor>
    void enumerate(Visitor& visitor) {
        visitor(sec);
        visitor(sensorId);
        visitor(nsec);
    }
    template <typename Visitor>
    void enumerate(Visitor& visitor) const {
        visitor(sec);
        visitor(sensorId);
        visitor(nsec);
    }

    friend bool operator==(const SensorHeader& lhs, const SensorHeader& rhs) {
        return lhs.sec == rhs.sec && lhs.sensorId == rhs.sensorId && lhs.nsec == rhs.nsec;
    }
    friend bool operator!=(const SensorHeader& lhs, const SensorHeader& rhs) { return !(lhs == rhs); }
};

}  // namespace perception
