#pragma once

// The picture tasks' work on checked pictures: crop-resize (our bilinear scaler where it covers the
// geometry, libyuv otherwise) and colour conversion (our one-pass kernel).

#include <cstdint>

#include "mpu/mpu_vpc.h"
#include "nv12_scaler.h"
#include "picture_check.h"

namespace mpu::internal {

// Scales `window` of `source` to the size of `destination` (NV12 to NV12); `scaler` is the calling
// channel's.
void cropResize(const Nv12Planes& source, const mpu_vpc_crop_region& window, const Nv12Planes& destination,
                std::uint32_t interpolation, scale::Nv12Scaler& scaler);

// NV12 to packed RGB or BGR of the same size, BT.601 limited range: a code value Y of 16 is black and 235
// white, U and V of 128 carry no colour.
void convertColor(const Nv12Planes& source, const PackedPicture& destination);

}  // namespace mpu::internal
