#include "vcu/visual/point_cloud.h"

#include <cstddef>
#include <cstring>
#include <initializer_list>

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

// The fields every point type starts with, its coordinates, followed by those of its own.
template <typename Point>
std::vector<PointField> CoordinatesAnd(std::initializer_list<PointField> own) {
    std::vector<PointField> fields = {Field("x", offsetof(Point, x), PointField::kFloat32),
                                      Field("y", offsetof(Point, y), PointField::kFloat32),
                                      Field("z", offsetof(Point, z), PointField::kFloat32)};
    fields.insert(fields.end(), own.begin(), own.end());
    return fields;
}

}  // namespace

template <>
std::vector<PointField> VizConvertToPointField<PointXYZ>() {
    return CoordinatesAnd<PointXYZ>({});
}

template <>
std::vector<PointField> VizConvertToPointField<PointXYZI>() {
    return CoordinatesAnd<PointXYZI>(
        {Field("intensity", offsetof(PointXYZI, intensity), PointField::kFloat32)});
}

template <>
std::vector<PointField> VizConvertToPointField<PointXYZIR>() {
    return CoordinatesAnd<PointXYZIR>(
        {Field("intensity", offsetof(PointXYZIR, intensity), PointField::kFloat32),
         Field("ring", offsetof(PointXYZIR, ring), PointField::kUint16)});
}

template <>
std::vector<PointField> VizConvertToPointField<PointXYZRGB>() {
    return CoordinatesAnd<PointXYZRGB>({Field("rgb", offsetof(PointXYZRGB, rgb), PointField::kUint32)});
}

}  // namespace vcu::visual
