#include "picture_check.h"

#include "media_log.h"

namespace mpu::internal {
namespace {

bool SizeInRange(std::uint32_t value) {
    return value >= 1 && value <= MPU_MAX_PICTURE_SIDE;
}

std::int32_t Refuse(const char* what, const char* reason, std::uint64_t value, std::uint64_t limit) {
    mediaLogger().LogError(ARA_LOG_HERE)
        << what << " refused: " << reason << " (" << value << ", limit " << limit << ")";
    return MPU_ERR_BAD_PICTURE;
}

}  // namespace

std::int32_t checkNv12(const mpu_vpc_pic_info& picture, const char* what) {
    if (picture.picture_format != MPU_PIXEL_FORMAT_YUV_SEMIPLANAR_420) {
        return Refuse(what, "pixel format is not NV12", picture.picture_format,
                      MPU_PIXEL_FORMAT_YUV_SEMIPLANAR_420);
    }
    if (picture.picture_address == nullptr) {
        return Refuse(what, "null address", 0, 0);
    }
    if (!SizeInRange(picture.picture_width) || picture.picture_width % 2 != 0) {
        return Refuse(what, "width not even or out of range", picture.picture_width, MPU_MAX_PICTURE_SIDE);
    }
    if (!SizeInRange(picture.picture_height) || picture.picture_height % 2 != 0) {
        return Refuse(what, "height not even or out of range", picture.picture_height, MPU_MAX_PICTURE_SIDE);
    }
    if (picture.picture_width_stride < picture.picture_width) {
        return Refuse(what, "width stride below width", picture.picture_width_stride, picture.picture_width);
    }
    if (picture.picture_height_stride < picture.picture_height) {
        return Refuse(what, "height stride below height", picture.picture_height_stride,
                      picture.picture_height);
    }
    const std::uint64_t needed = std::uint64_t{picture.picture_width_stride} *
                                 (std::uint64_t{picture.picture_height_stride} + picture.picture_height / 2);
    if (picture.picture_buffer_size < needed) {
        return Refuse(what, "buffer smaller than its geometry", picture.picture_buffer_size, needed);
    }
    return MPU_OK;
}

std::int32_t checkPacked(const mpu_vpc_pic_info& picture, const char* what) {
    if (picture.picture_format != MPU_PIXEL_FORMAT_BGR_888 &&
        picture.picture_format != MPU_PIXEL_FORMAT_RGB_888) {
        return Refuse(what, "pixel format is not packed BGR or RGB", picture.picture_format,
                      MPU_PIXEL_FORMAT_BGR_888);
    }
    if (picture.picture_address == nullptr) {
        return Refuse(what, "null address", 0, 0);
    }
    if (!SizeInRange(picture.picture_width)) {
        return Refuse(what, "width out of range", picture.picture_width, MPU_MAX_PICTURE_SIDE);
    }
    if (!SizeInRange(picture.picture_height)) {
        return Refuse(what, "height out of range", picture.picture_height, MPU_MAX_PICTURE_SIDE);
    }
    if (picture.picture_width_stride < std::uint64_t{3} * picture.picture_width) {
        return Refuse(what, "width stride below 3 bytes per pixel", picture.picture_width_stride,
                      std::uint64_t{3} * picture.picture_width);
    }
    if (picture.picture_height_stride < picture.picture_height) {
        return Refuse(what, "height stride below height", picture.picture_height_stride,
                      picture.picture_height);
    }
    const std::uint64_t needed = std::uint64_t{picture.picture_width_stride} * picture.picture_height_stride;
    if (picture.picture_buffer_size < needed) {
        return Refuse(what, "buffer smaller than its geometry", picture.picture_buffer_size, needed);
    }
    return MPU_OK;
}

std::int32_t checkCropWindow(const mpu_vpc_pic_info& source, const mpu_vpc_crop_region& window) {
    const std::uint64_t right = std::uint64_t{window.left_offset} + window.crop_width;
    const std::uint64_t bottom = std::uint64_t{window.top_offset} + window.crop_height;
    if (window.crop_width == 0 || window.crop_height == 0 || right > source.picture_width ||
        bottom > source.picture_height) {
        mediaLogger().LogError(ARA_LOG_HERE)
            << "crop window refused: left " << window.left_offset << ", top " << window.top_offset
            << ", width " << window.crop_width << ", height " << window.crop_height << " in a "
            << source.picture_width << " x " << source.picture_height << " source";
        return MPU_ERR_BAD_WINDOW;
    }
    return MPU_OK;
}

Nv12Planes nv12Planes(const mpu_vpc_pic_info& picture) {
    auto* luma = static_cast<std::uint8_t*>(picture.picture_address);
    return Nv12Planes{luma,
                      luma + std::uint64_t{picture.picture_width_stride} * picture.picture_height_stride,
                      picture.picture_width, picture.picture_height, picture.picture_width_stride};
}

PackedPicture packedPicture(const mpu_vpc_pic_info& picture) {
    return PackedPicture{static_cast<std::uint8_t*>(picture.picture_address), picture.picture_width,
                         picture.picture_height, picture.picture_width_stride, picture.picture_format};
}

}  // namespace mpu::internal
