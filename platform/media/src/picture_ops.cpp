#include "picture_ops.h"

#include <libyuv/scale.h>

#include "colour_kernels.h"

namespace mpu::internal {
namespace {

libyuv::FilterMode FilterFor(std::uint32_t interpolation) {
    switch (interpolation) {
        case MPU_VPC_INTERPOLATION_NEAREST:
            return libyuv::kFilterNone;
        case MPU_VPC_INTERPOLATION_AREA:
            return libyuv::kFilterBox;
        default:
            return libyuv::kFilterBilinear;
    }
}

int AsInt(std::uint32_t value) {
    return static_cast<int>(value);
}

}  // namespace

void cropResize(const Nv12Planes& source, const mpu_vpc_crop_region& window, const Nv12Planes& destination,
                std::uint32_t interpolation, scale::Nv12Scaler& scaler) {
    if (interpolation == MPU_VPC_INTERPOLATION_BILINEAR && scaler.scale(source, window, destination)) {
        return;
    }
    // An odd offset starts the chroma window at the pair that covers that luma column or row.
    const std::uint8_t* luma =
        source.luma + std::uint64_t{window.top_offset} * source.stride + window.left_offset;
    const std::uint8_t* chroma =
        source.chroma + std::uint64_t{window.top_offset / 2} * source.stride + (window.left_offset / 2) * 2;
    libyuv::NV12Scale(luma, AsInt(source.stride), chroma, AsInt(source.stride), AsInt(window.crop_width),
                      AsInt(window.crop_height), destination.luma, AsInt(destination.stride),
                      destination.chroma, AsInt(destination.stride), AsInt(destination.width),
                      AsInt(destination.height), FilterFor(interpolation));
}

void convertColor(const Nv12Planes& source, const PackedPicture& destination) {
    colour::nv12ToPacked(
        colour::Nv12Source{source.luma, source.chroma, source.stride, source.stride}, source.width,
        source.height,
        colour::PackedDestination{
            destination.data, destination.stride,
            destination.format == MPU_PIXEL_FORMAT_BGR_888 ? colour::Order::kBgr : colour::Order::kRgb});
}

}  // namespace mpu::internal
