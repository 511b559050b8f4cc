#pragma once

#include <cstdint>
#include <cstring>

namespace perception {

// One point of a point cloud, 16 bytes.
struct PointXYZIT {
    float x{0.0F};
    float y{0.0F};
    float z{0.0F};
    std::uint32_t intensityTime{0};  // intensity and time packed by the producer

    template <typename Visitor>
    void enumerate(Visitor& visitor) {
        visitor(x);
        visitor(y);
        visitor(z);
        visitor(intensityTime);
    }
    template <typename Visitor>
    void enumerate(Visitor& visitor) const {
        visitor(x);
        visitor(y);
        visitor(z);
        visitor(intensityTime);
    }
};
static_assert(sizeof(PointXYZIT) == 16, "a point is 16 bytes");

// Bitwise, so that a NaN coordinate compares equal to itself after a round trip.
inline bool operator==(const PointXYZIT& lhs, const PointXYZIT& rhs) {
    auto bits = [](float value) {
        std::uint32_t out = 0;
        static_assert(sizeof(out) == sizeof(value));
        std::memcpy(&out, &value, sizeof(out));
        return out;
    };
    return bits(lhs.x) == bits(rhs.x) && bits(lhs.y) == bits(rhs.y) && bits(lhs.z) == bits(rhs.z) &&
           lhs.intensityTime == rhs.intensityTime;
}
inline bool operator!=(const PointXYZIT& lhs, const PointXYZIT& rhs) {
    return !(lhs == rhs);
}

}  // namespace perception
