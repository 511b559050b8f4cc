#pragma once

#include "vcu/visual/point_cloud.h"

namespace vcu::visual {

// Publishes visualization records. Publishing a PointCloud2 is left to an implementation; the point-cloud
// overload converts and hands the result to it. Thread-safety is the implementation's.
class Publisher {
  public:
    virtual ~Publisher() = default;

    virtual bool Publish(const PointCloud2& cloud) const = 0;

    // Converts into a fresh PointCloud2 and publishes it; false without publishing when conversion fails.
    template <typename T>
    bool Publish(const PointCloud<T>& cloud) const {
        PointCloud2 flat;
        if (ConvertToStdPointCloud(cloud, flat) != RetCode::kSuccess) {
            return false;
        }
        return Publish(flat);
    }
};

}  // namespace vcu::visual
