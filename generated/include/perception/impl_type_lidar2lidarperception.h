#pragma once

#include <vector>

#include "perception/impl_type_pointxyzit.h"
#include "perception/impl_type_sensorheader.h"

namespace perception {

// A point-cloud event type the visualization service declares; the system never fills or sends it.
struct LiDAR2LiDARPerception {
    SensorHeader header;
    std::vector<PointXYZIT> points;

    template <typename Visitor>
    void enumerate(Visitor& visitor) {
        visitor(header);
        visitor(points);
    }
    template <typename Visitor>
    void enumerate(Visitor& visitor) const {
        visitor(header);
        visitor(points);
    }

    friend bool operator==(const LiDAR2LiDARPerception& lhs, const LiDAR2LiDARPerception& rhs) {
        return lhs.header == rhs.header && lhs.points == rhs.points;
    }
    friend bool operator!=(const LiDAR2LiDARPerception& lhs, const LiDAR2LiDARPerception& rhs) {
        return !(lhs == rhs);
    }
};

}  // namespace perception
