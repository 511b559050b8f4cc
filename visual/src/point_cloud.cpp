#include "vcu/visual/point_cloud.h"

#include <cstddef>
#include <cstring>

namespace vcu::visual {

bool Transfer(void* destination, std::size_t destinationSize, const void* source, std::size_t sourceSize) {
    if (destination == nullptr || source == nullptr || sourceSize > destinationSize) {
        return false;
    }
    std::memcpy(destination, source, sourceSize);
    return true;
}

namespace {
PointField Field(const char* name, std::size_t offset, PointField::DataType type) {
    return PointField{name, static_cast<std::uint32_t>(offset), type, 1};
}
}  // namespace

template <>
std::vector<PointField> VizConvertToPointField<PointXYZ>() {
    return {Field("x", offsetof(PointXYZ, x), PointField::kFloat32),
            Field("y", offsetof(PointXYZ, y), PointField::kFloat32),
            Field("z", offsetof(PointXYZ, z), PointField::kFloat32)};
}

template <>
std::vector<PointField> VizConvertToPointField<PointXYZI>() {
    return {Field("x", offsetof(PointXYZI, x), PointField::kFloat32),
            Field("y", offsetof(PointXYZI, y), PointField::kFloat32),
            Field("z", offsetof(PointXYZI, z), PointField::kFloat32),
            Field("intensity", offsetof(PointXYZI, intensity), PointField::kFloat32)};
}

template <>
std::vector<PointField> VizConvertToPointField<PointXYZIR>() {
    return {Field("x", offsetof(PointXYZIR, x), PointField::kFloat32),
            Field("y", offsetof(PointXYZIR, y), PointField::kFloat32),
            Field("z", offsetof(PointXYZIR, z), PointField::kFloat32),
            Field("intensity", offsetof(PointXYZIR, intensity), PointField::kFloat32),
            Field("ring", offsetof(PointXYZIR, ring), PointField::kUint16)};
}

template <>
std::vector<PointField> VizConvertToPointField<PointXYZRGB>() {
    return {Field("x", offsetof(PointXYZRGB, x), PointField::kFloat32),
            Field("y", offsetof(PointXYZRGB, y), PointField::kFloat32),
            Field("z", offsetof(PointXYZRGB, z), PointField::kFloat32),
            Field("rgb", offsetof(PointXYZRGB, rgb), PointField::kUint32)};
}

}  // namespace vcu::visual
