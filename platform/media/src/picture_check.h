#pragma once

// The checks every picture task makes before it is queued, and the plane geometry of a checked picture.
// A refused picture is logged on the media unit's context with the values that were refused.

#include <cstdint>

#include "mpu/mpu_vpc.h"

namespace mpu::internal {

struct Nv12Planes {
    std::uint8_t* luma;
    std::uint8_t* chroma;  // interleaved U, V
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t stride;  // bytes per row, both planes
};

struct PackedPicture {
    std::uint8_t* data;
    std::uint32_t width;
    std::uint32_t height;
    std::uint32_t stride;
    std::uint32_t format;  // MPU_PIXEL_FORMAT_RGB_888 or MPU_PIXEL_FORMAT_BGR_888
};

// `what` names the picture in the log, e.g. "crop-resize source".
std::int32_t checkNv12(const mpu_vpc_pic_info& picture, const char* what);
std::int32_t checkPacked(const mpu_vpc_pic_info& picture, const char* what);

// Window inside the source, computed without wrapping: a window whose end overflows 32 bits is outside.
std::int32_t checkCropWindow(const mpu_vpc_pic_info& source, const mpu_vpc_crop_region& window);

// Geometry of a picture that passed its check.
Nv12Planes nv12Planes(const mpu_vpc_pic_info& picture);
PackedPicture packedPicture(const mpu_vpc_pic_info& picture);

}  // namespace mpu::internal
