#include "picture_ops.h"

#include <libyuv/convert_argb.h>
#include <libyuv/scale.h>

namespace mpu::internal {
namespace {

libyuv::FilterMode filterFor(std::uint32_t interpolation) {
    switch (interpolation) {
        case MPU_VPC_INTERPOLATION_NEAREST:
            return libyuv::kFilterNone;
        case MPU_VPC_INTERPOLATION_AREA:
            return libyuv::kFilterBox;
        default:
            return libyuv::kFilterBilinear;
    }
}

int asInt(std::uint32_t value) {
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
    libyuv::NV12Scale(luma, asInt(source.stride), chroma, asInt(source.stride), asInt(window.crop_width),
                      asInt(window.crop_height), destination.luma, asInt(destination.stride),
                      destination.chroma, asInt(destination.stride), asInt(destination.width),
                      asInt(destination.height), filterFor(interpolation));
}

void convertColor(const Nv12Planes& source, const PackedPicture& destination) {
    // libyuv names formats by their order in a little-endian word: its "RGB24" is B, G, R in memory and its
    // "RAW" is R, G, B.
    if (destination.format == MPU_PIXEL_FORMAT_BGR_888) {
        libyuv::NV12ToRGB24Matrix(source.luma, asInt(source.stride), source.chroma, asInt(source.stride),
                                  destination.data, asInt(destination.stride), &libyuv::kYuvI601Constants,
                                  asInt(source.width), asInt(source.height));
    } else {
        libyuv::NV12ToRAWMatrix(source.luma, asInt(source.stride), source.chroma, asInt(source.stride),
                                destination.data, asInt(destination.stride), &libyuv::kYuvI601Constants,
                                asInt(source.width), asInt(source.height));
    }
}

}  // namespace mpu::internal
