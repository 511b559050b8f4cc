// The per-frame operations of the preprocessor: the frame handed in, undistortion, crop-resize and colour
// conversion on the picture channel.
#include <cstdint>

#include "ara/log/logging.h"
#include "cam_preprocess.h"

void** CamPreprocess::getInputAddress() {
    return undistortionEnabled ? &warpParam.src_pic.picture_address : &inputPicInfo.picture_address;
}

void CamPreprocess::setFrameAuxiliaryInfo(const vcu::camera::CameraAuxiliaryInfo& info) {
    cameraData.auxiliaryInfo = info;
}

void CamPreprocess::changeResizeSize(unsigned int width, unsigned int height) {
    const std::uint64_t nv12 = std::uint64_t{width} * height * 3 / 2;
    const std::uint64_t bgr = std::uint64_t{width} * 3 * height;
    if ((cropResizeMemory.address() != nullptr && nv12 > cropResizeMemory.size()) ||
        (outputMemory.address() != nullptr && bgr > outputMemory.size())) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "resize size " << width << " x " << height
                                      << " does not fit the buffers allocated for " << outputImageWidth
                                      << " x " << outputImageHeight << "; the size is kept";
        return;
    }
    outputImageWidth = width;
    outputImageHeight = height;
    setDefaultCropReizeRegion();
    setDefaultOutputPicInfo();
}

// The end of one picture task: a failed submission, else the task's result, each logged as "failed to <what>"
// or "failed to get <result>". `taskId` is read once the submission has written it.
int CamPreprocess::finishPictureTask(int submitted, const std::uint32_t& taskId, const char* what,
                                     const char* result) {
    if (submitted != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "failed to " << what << " with result 0x" << ara::log::HexFormat(submitted);
        return submitted;
    }
    const int ret = mpu_vpc_get_process_result(pictureChannel.get(), taskId, -1);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "failed to get " << result << " with result 0x" << ara::log::HexFormat(ret);
    }
    return ret;
}

int CamPreprocess::getUndistortedImage() {
    std::uint32_t taskId = 0;
    return finishPictureTask(mpu_vpc_lut_remap(pictureChannel.get(), &warpParam, &remapLut, &taskId, -1),
                             taskId, "undistort", "undistorted image");
}

int CamPreprocess::getResizedCroppedImage() {
    // Chosen by configuration, not by whether the remap ran for this frame.
    const mpu_vpc_pic_info& source = undistortionEnabled ? warpParam.dst_pic : inputPicInfo;
    std::uint32_t taskId = 0;
    return finishPictureTask(
        mpu_vpc_crop_resize(pictureChannel.get(), &source, &cropResizeRegion, 1, &taskId, -1), taskId,
        "crop and resize", "cropped and resized image");
}

int CamPreprocess::getConvertedImage() {
    std::uint32_t taskId = 0;
    return finishPictureTask(mpu_vpc_convert_color(pictureChannel.get(), &cropResizeRegion.dest_pic_info,
                                                   &outputPicInfo, &taskId, -1),
                             taskId, "convert", "converted image");
}

int CamPreprocess::runPreprocessPipeline(bool skipUndistortion) {
    int ret = 0;
    if (undistortionEnabled && !skipUndistortion) {
        ret = logStage(getUndistortedImage(), "image undistortion", "image undistorted");
        if (ret != 0) {
            return ret;
        }
    }
    ret = waitForEncoderInput();
    if (ret != 0) {
        return ret;
    }
    ret = logStage(getResizedCroppedImage(), "image cropping and resizing", "image cropped and resized");
    if (ret != 0) {
        return ret;
    }
    return logStage(getConvertedImage(), "image converting to BGR", "image converted to BGR");
}

int CamPreprocess::runPerceptionPipeline() {
    return runPreprocessPipeline(false);
}
