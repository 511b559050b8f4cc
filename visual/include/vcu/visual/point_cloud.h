#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "ara/core/string.h"
#include "vcu/visual/header.h"

namespace vcu::visual {

// Points whose bytes are copied as they lie in memory into a PointCloud2: no padding, all members defined.
struct PointXYZ {
    float x{0.0F};
    float y{0.0F};
    float z{0.0F};
};
struct PointXYZI {
    float x{0.0F};
    float y{0.0F};
    float z{0.0F};
    float intensity{0.0F};
};
struct PointXYZIR {
    float x{0.0F};
    float y{0.0F};
    float z{0.0F};
    float intensity{0.0F};
    std::uint16_t ring{0};
    std::uint16_t reserved{0};  // keeps the point 20 bytes with no undefined padding
};
struct PointXYZRGB {
    float x{0.0F};
    float y{0.0F};
    float z{0.0F};
    std::uint32_t rgb{0};  // 0x00RRGGBB
};
static_assert(sizeof(PointXYZ) == 12 && sizeof(PointXYZI) == 16 && sizeof(PointXYZIR) == 20 &&
              sizeof(PointXYZRGB) == 16);

template <typename T>
struct PointCloud {
    Header header;
    std::uint32_t width{0};
    std::uint32_t height{0};
    bool isDense{false};
    std::vector<T> points;
};

// Describes one field of a PointCloud2's points, as the ROS message does.
struct PointField {
    enum DataType : std::uint8_t {
        kInt8 = 1,
        kUint8 = 2,
        kInt16 = 3,
        kUint16 = 4,
        kInt32 = 5,
        kUint32 = 6,
        kFloat32 = 7,
        kFloat64 = 8,
    };
    ara::core::String name;
    std::uint32_t offset{0};
    std::uint8_t datatype{0};
    std::uint32_t count{0};

    friend bool operator==(const PointField& lhs, const PointField& rhs) {
        return lhs.name == rhs.name && lhs.offset == rhs.offset && lhs.datatype == rhs.datatype &&
               lhs.count == rhs.count;
    }
};

// The flat point-cloud record, in the field order of the ROS PointCloud2 message.
struct PointCloud2 {
    Header header;
    std::uint32_t height{0};
    std::uint32_t width{0};
    std::vector<PointField> fields;
    bool isBigendian{false};
    std::uint32_t pointStep{0};
    std::uint32_t rowStep{0};
    std::vector<std::uint8_t> data;
    bool isDense{false};
};

enum class RetCode : std::uint8_t {
    kSuccess = 0,
    kCopyFailed = 254,
    kSizeMismatch = 255,
};

// Bounded copy: fails, copying nothing, when the source does not fit or a pointer is missing.
bool Transfer(void* destination, std::size_t destinationSize, const void* source, std::size_t sourceSize);

// Field descriptors of a point type.
template <typename T>
std::vector<PointField> VizConvertToPointField();
template <>
std::vector<PointField> VizConvertToPointField<PointXYZ>();
template <>
std::vector<PointField> VizConvertToPointField<PointXYZI>();
template <>
std::vector<PointField> VizConvertToPointField<PointXYZIR>();
template <>
std::vector<PointField> VizConvertToPointField<PointXYZRGB>();

// Flattens a cloud into `out`. An organized cloud (width or height non-zero) must hold width × height
// points, else kSizeMismatch and `out` is untouched; an unorganized one becomes one row.
template <typename T>
RetCode ConvertToStdPointCloud(const PointCloud<T>& cloud, PointCloud2& out) {
    static_assert(std::is_trivially_copyable_v<T>, "points are copied as bytes");
    const std::uint64_t count = cloud.points.size();
    if (cloud.width != 0U || cloud.height != 0U) {
        if (static_cast<std::uint64_t>(cloud.width) * cloud.height != count) {
            return RetCode::kSizeMismatch;
        }
        out.height = cloud.height;
        out.width = cloud.width;
    } else {
        out.height = 1;
        out.width = static_cast<std::uint32_t>(count);
    }
    out.data.resize(sizeof(T) * cloud.points.size());
    if (!out.data.empty() &&
        !Transfer(out.data.data(), out.data.size(), cloud.points.data(), out.data.size())) {
        return RetCode::kCopyFailed;
    }
    out.fields = VizConvertToPointField<T>();
    out.header = cloud.header;
    out.pointStep = static_cast<std::uint32_t>(sizeof(T));
    out.rowStep = cloud.width * static_cast<std::uint32_t>(sizeof(T));
    out.isDense = cloud.isDense;
    return RetCode::kSuccess;
}

}  // namespace vcu::visual
