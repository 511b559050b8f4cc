#include "cam_preprocess.h"

#include <boost/property_tree/exceptions.hpp>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>
#include <thread>

#include "ara/log/logging.h"
#include "mpu/mpu_dma.h"
#include "vcu/os/files.h"

namespace {

// How long a new frame waits for the encoder to finish reading the previous picture before it is dropped.
constexpr auto kEncoderInputWait = std::chrono::milliseconds(1000);
constexpr std::uint32_t kEncoderModule = MPU_VENC_MOD_H264;
constexpr std::uint32_t kEncoderPayload = MPU_PAYLOAD_TYPE_H264;
constexpr std::uint32_t kRateControlVbr = MPU_VENC_RC_H264_VBR;
constexpr std::uint32_t kFramesPerSecond = 30;
constexpr std::uint32_t kMaxBitRateKbps = 4000;
constexpr std::int32_t kIpQpDelta = 3;

// A status as the one-byte results report it. A failure whose low byte happens to be 0 must not read as
// success, so it becomes 0xFF.
unsigned char lowByte(std::int32_t status) {
    const auto low = static_cast<unsigned char>(status & 0xFF);
    return status != 0 && low == 0 ? 0xFF : low;
}

// NV12 picture: luma plus half as much chroma, computed as the platform does (times 3 first, then halved).
std::uint32_t nv12Bytes(std::uint32_t widthStride, std::uint32_t heightStride) {
    return widthStride * heightStride * 3 / 2;
}

// Returns the stream to its encoder channel when the last handle is dropped.
struct StreamReleaser {
    unsigned char channel;
    mpu_venc_pack* packs;

    void operator()(mpu_venc_stream* stream) const {
        if (mpu_venc_release_stream(channel, stream) != 0) {
            std::cout << "mpu_venc_release_stream failed" << std::endl;
        }
        delete[] packs;
        delete stream;
    }
};

}  // namespace

CamPreprocess::CamPreprocess(unsigned char index)
    : cameraIndex(index),
      cameraData("CamPreprocess"),
      logger(ara::log::CreateLogger("PRE", "Kestrova Camera PreProcess Module", ara::log::LogLevel::kInfo)),
      cameraTag("camera " + std::to_string(static_cast<unsigned>(index) + kFirstCameraId) + ": ") {}

int CamPreprocess::init(boost::property_tree::ptree& config, unsigned char sectionOffset) {
    setupPipelines(config, sectionOffset);
    const unsigned char accResult = initACC();
    const int mpiResult = initMPI();
    if (accResult == 0) {
        logger.LogInfo(ARA_LOG_HERE) << cameraTag << "initialize pipeline done";
    } else {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "initialize pipeline failed with result = 0x" << ara::log::HexFormat(accResult);
    }
    // Without the media system or the picture channel no frame can be prepared: the camera cannot work.
    if (mpiResult != 0) {
        return mpiResult;
    }
    return createEncoderChannel(static_cast<int>(outputImageWidth), static_cast<int>(outputImageHeight), 5);
}

std::uint32_t CamPreprocess::readNumber(const boost::property_tree::ptree& config, const std::string& section,
                                        const char* key) {
    const std::string path = section + "." + key;
    const std::string text = config.get<std::string>(path);
    // Digits only: the reader's own conversion would take "-1" as 4294967295.
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    std::uint64_t value = 0;
    bool valid = begin < end;
    for (std::size_t i = begin; valid && i < end; ++i) {
        valid = std::isdigit(static_cast<unsigned char>(text[i])) != 0;
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        valid = valid && value <= std::numeric_limits<std::uint32_t>::max();
    }
    if (!valid) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "configuration key " << path
                                      << " is not an unsigned 32-bit number: \"" << text << "\"";
        throw boost::property_tree::ptree_bad_data(
            "configuration key " + path + " is not an unsigned 32-bit number: \"" + text + "\"", text);
    }
    return static_cast<std::uint32_t>(value);
}

void CamPreprocess::refuseValue(const std::string& section, const char* key, std::uint32_t value,
                                const char* why) {
    const std::string path = section + "." + key;
    logger.LogError(ARA_LOG_HERE) << cameraTag << "configuration key " << path << " = " << value
                                  << " refused: " << why;
    throw boost::property_tree::ptree_bad_data(
        "configuration key " + path + " = " + std::to_string(value) + " refused: " + why, value);
}

// Values that cannot make a valid picture or stream are refused here, at start-up, rather than failing in
// the media unit on every frame.
void CamPreprocess::checkConfiguration(const std::string& section) {
    const struct {
        const char* key;
        std::uint32_t value;
    } sizes[] = {{"inputImageWidth", inputImageWidth},
                 {"inputImageHeight", inputImageHeight},
                 {"outputImageWidth", outputImageWidth},
                 {"outputImageHeight", outputImageHeight}};
    for (std::size_t i = 0; i < 4; ++i) {
        // The prepared picture also goes to the encoder, which takes fewer sizes than the picture tasks.
        const std::uint32_t smallest = i < 2 ? MPU_VPC_MIN_NV12_SIDE : MPU_VENC_MIN_PICTURE_SIDE;
        const std::uint32_t value = sizes[i].value;
        if (value < smallest || value % 2 != 0 || value > MPU_MAX_PICTURE_SIDE) {
            refuseValue(section, sizes[i].key, value,
                        i < 2 ? "a picture side must be even, from 2 to 8192"
                              : "an encoded picture side must be even, from 16 to 8192");
        }
    }
    if (std::uint64_t{cropTopOffset} * 2 >= inputImageHeight) {
        refuseValue(section, "cropTopOffset", cropTopOffset, "the margins leave no crop window");
    }
    if (std::uint64_t{cropLeftOffset} * 2 >= inputImageWidth) {
        refuseValue(section, "cropLeftOffset", cropLeftOffset, "the margins leave no crop window");
    }
}

void CamPreprocess::setupPipelines(boost::property_tree::ptree& config, unsigned char sectionOffset) {
    const std::string section =
        "cam_" + std::to_string(static_cast<int>(cameraIndex) + static_cast<int>(sectionOffset));
    inputImageWidth = readNumber(config, section, "inputImageWidth");
    inputImageHeight = readNumber(config, section, "inputImageHeight");
    outputImageWidth = readNumber(config, section, "outputImageWidth");
    outputImageHeight = readNumber(config, section, "outputImageHeight");
    cropTopOffset = readNumber(config, section, "cropTopOffset");
    cropLeftOffset = readNumber(config, section, "cropLeftOffset");
    encoderGopNumber = readNumber(config, section, "encoderGopNumber");
    checkConfiguration(section);

    if (!config.get_child_optional(section + ".remapFilePathX")) {
        logger.LogWarn(ARA_LOG_HERE)
            << cameraTag
            << "The INI file does not contain the key 'remapFilePathX', so undistortion part is disabled.";
        undistortionEnabled = false;
        return;
    }
    remapFilePathX = config.get<std::string>(section + ".remapFilePathX");
    if (!config.get_child_optional(section + ".remapFilePathY")) {
        logger.LogWarn(ARA_LOG_HERE)
            << cameraTag
            << "The INI file does not contain the key 'remapFilePathY', so undistortion part is disabled.";
        undistortionEnabled = false;
        return;
    }
    remapFilePathY = config.get<std::string>(section + ".remapFilePathY");
    undistortionEnabled = true;
}

unsigned char CamPreprocess::initACC() {
    accError ret = accrtGetRunMode(&runMode);
    if (ret == ACC_SUCCESS) {
        logger.LogInfo(ARA_LOG_HERE) << cameraTag << "ACC get run mode successfully";
    } else {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "ACC didn't get run mode successfully, ret = 0x" << ara::log::HexFormat(ret);
    }
    ret = accInit(nullptr);
    acquired.accInitialized = ret == ACC_SUCCESS;
    if (ret == ACC_SUCCESS) {
        logger.LogInfo(ARA_LOG_HERE) << cameraTag << "ACC Initialized successfully";
    } else {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "ACC didn't initialized successfully, ret = 0x" << ara::log::HexFormat(ret);
    }
    ret = accrtSetDevice(0);
    acquired.deviceSet = ret == ACC_SUCCESS;
    if (ret == ACC_SUCCESS) {
        logger.LogInfo(ARA_LOG_HERE) << cameraTag << "ACC set device successfully";
    } else {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "ACC didn't set device successfully, ret = 0x" << ara::log::HexFormat(ret);
    }
    ret = accrtCreateContext(&context, 0);
    acquired.contextCreated = ret == ACC_SUCCESS;
    if (ret == ACC_SUCCESS) {
        logger.LogInfo(ARA_LOG_HERE) << cameraTag << "ACC context successfully";
    } else {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "ACC didn't context successfully, ret = 0x" << ara::log::HexFormat(ret);
    }
    return 0;
}

int CamPreprocess::initMPI() {
    int ret = mpu_sys_init();
    if (ret != 0) {
        logger.LogFatal(ARA_LOG_HERE) << cameraTag << "mpi sys init failed with result: " << ret;
        return ret;
    }
    acquired.mediaSystem = true;
    vpcChannelAttr = mpu_vpc_chn_attr{};
    // The output picture takes its size from the crop-resize destination: this order matters.
    setDefaultInputPicInfo();
    setDefaultCropReizeRegion();
    setDefaultOutputPicInfo();
    if (undistortionEnabled) {
        setDefaultRemapParam();
    }
    ret = createVPCChannel();
    if (ret != 0) {
        logger.LogFatal(ARA_LOG_HERE) << cameraTag << "VPC channels created failed with result: " << ret;
    } else {
        logger.LogInfo(ARA_LOG_HERE) << cameraTag << "VPC channels created successfully";
    }
    return ret;
}

void CamPreprocess::setDefaultInputPicInfo() {
    inputPicInfo.picture_width = inputImageWidth;
    inputPicInfo.picture_height = inputImageHeight;
    inputPicInfo.picture_width_stride = inputImageWidth;
    inputPicInfo.picture_height_stride = inputImageHeight;
    inputPicInfo.picture_format = MPU_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
    inputPicInfo.picture_buffer_size = nv12Bytes(inputImageWidth, inputImageHeight);
}

void CamPreprocess::setDefaultCropReizeRegion() {
    mpu_vpc_pic_info& destination = cropResizeRegion.dest_pic_info;
    destination.picture_width = outputImageWidth;
    destination.picture_height = outputImageHeight;
    destination.picture_width_stride = outputImageWidth;
    destination.picture_height_stride = outputImageHeight;
    destination.picture_format = MPU_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
    destination.picture_buffer_size = nv12Bytes(outputImageWidth, outputImageHeight);
    cropResizeRegion.crop_region.left_offset = cropLeftOffset;
    cropResizeRegion.crop_region.top_offset = cropTopOffset;
    cropResizeRegion.crop_region.crop_width = inputImageWidth - 2 * cropLeftOffset;
    cropResizeRegion.crop_region.crop_height = inputImageHeight - 2 * cropTopOffset;
    cropResizeRegion.resize_info.resize_width = outputImageWidth;
    cropResizeRegion.resize_info.resize_height = outputImageHeight;
}

void CamPreprocess::setDefaultOutputPicInfo() {
    const mpu_vpc_pic_info& destination = cropResizeRegion.dest_pic_info;
    outputPicInfo.picture_width = destination.picture_width;
    outputPicInfo.picture_height = destination.picture_height;
    outputPicInfo.picture_width_stride = destination.picture_width * 3;
    outputPicInfo.picture_height_stride = destination.picture_height;
    outputPicInfo.picture_format = MPU_PIXEL_FORMAT_BGR_888;
    outputPicInfo.picture_buffer_size =
        outputPicInfo.picture_width_stride * outputPicInfo.picture_height_stride;
}

bool CamPreprocess::readMapFile(const std::string& path, std::unique_ptr<float[]>* values) {
    const std::uint64_t expected = std::uint64_t{inputImageWidth} * inputImageHeight;
    // A FIFO would block the open; a missing file is named with the system's reason.
    if (const std::string problem = vcu::os::RegularFileProblem(path); !problem.empty()) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "Error: Failed to open file for reading.";
        logger.LogError(ARA_LOG_HERE) << cameraTag << "cannot read map file " << path << ": " << problem;
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "Error: Failed to open file for reading.";
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "cannot read map file " << path << ": " << std::strerror(errno);
        return false;
    }
    file.seekg(0, std::ios::end);
    const std::streamoff bytes = file.tellg();
    file.seekg(0, std::ios::beg);
    const std::uint64_t found = bytes > 0 ? static_cast<std::uint64_t>(bytes) / sizeof(float) : 0;
    // The media unit reads width x height values from each map: any other count would be read past.
    if (found != expected) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "map file " << path << " holds " << found << " values, expected " << expected;
        return false;
    }
    values->reset(new float[expected]);
    file.read(reinterpret_cast<char*>(values->get()), static_cast<std::streamsize>(expected * sizeof(float)));
    if (!file) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "cannot read map file " << path << ": expected "
                                      << expected << " values, found fewer";
        values->reset();
        return false;
    }
    return true;
}

void CamPreprocess::disableUndistortion() {
    undistortionEnabled = false;
    remapMapX.reset();
    remapMapY.reset();
    logger.LogWarn(ARA_LOG_HERE) << cameraTag << "undistortion is disabled";
}

void CamPreprocess::setDefaultRemapParam() {
    if (!readMapFile(remapFilePathX, &remapMapX) || !readMapFile(remapFilePathY, &remapMapY)) {
        disableUndistortion();
        return;
    }
    const std::uint32_t w = inputImageWidth;
    const std::uint32_t h = inputImageHeight;
    remapMaps.map_x = remapMapX.get();
    remapMaps.map_y = remapMapY.get();
    remapMaps.map_size = w * h * 4;
    remapMaps.src_width = w;
    remapMaps.src_height = h;
    remapMaps.dst_width = w;
    remapMaps.dst_height = h;
    remapLut.src_width = w;
    remapLut.src_height = h;
    remapLut.dst_width = w;
    remapLut.dst_height = h;

    std::uint32_t size = 0;
    lutSizeStatus = mpu_vpc_get_lut_mem_size(remapLut.dst_width, remapLut.dst_height, &size);
    if (lutSizeStatus != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "mpu_vpc_get_lut_mem_size failed with value: " << lowByte(lutSizeStatus);
        size = 0;
    }
    remapLut.lut_size = size;

    mpu_vpc_pic_info picture{};
    picture.picture_width = w;
    picture.picture_height = h;
    picture.picture_width_stride = w;
    picture.picture_height_stride = h;
    picture.picture_format = MPU_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
    picture.picture_buffer_size = nv12Bytes(w, h);
    warpParam.src_pic = picture;
    warpParam.dst_pic = picture;
    warpParam.interpolation = 0;
    warpParam.lut_count = 1;
    workspaceInfo = mpu_vpc_workspace{0, w, h, w, h};
}

int CamPreprocess::createVPCChannel() {
    const int ret = mpu_vpc_sys_create_chn(&vpcChannel, &vpcChannelAttr);
    if (ret == 0) {
        acquired.vpcChannel = true;
        logger.LogInfo(ARA_LOG_HERE) << cameraTag << "channel " << vpcChannel << " created successfully";
    }
    return ret;
}

// Allocates into `*slot`, freeing what the slot held before, so a repeated allocation leaks nothing.
int CamPreprocess::allocateInto(void** slot, std::uint32_t size, const char* failureMessage) {
    void* address = nullptr;
    const int ret = mpu_dma_malloc(0, &address, size);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << failureMessage << ara::log::HexFormat(ret);
        return ret;
    }
    if (*slot != nullptr) {
        mpu_dma_free(*slot);
    }
    *slot = address;
    return 0;
}

int CamPreprocess::allocateByPicInfo(mpu_vpc_pic_info& pic) {
    void* address = nullptr;
    void** slot = &pic == &inputPicInfo ? &owned.input : &pic == &outputPicInfo ? &owned.output : &address;
    const int ret = allocateInto(slot, pic.picture_buffer_size,
                                 "failed to allocate dma memory for channel with result 0x");
    if (ret == 0) {
        pic.picture_address = *slot;
        if (slot == &owned.output) {
            owned.outputBytes = pic.picture_buffer_size;
        }
    }
    return ret;
}

int CamPreprocess::allocateByCropResizeRegion(mpu_vpc_crop_resize_region& region) {
    mpu_vpc_pic_info& destination = region.dest_pic_info;
    const int ret =
        allocateInto(&owned.cropResize, destination.picture_buffer_size,
                     "failed to allocate dma memory for crop resize region in channel with result 0x");
    if (ret == 0) {
        destination.picture_address = owned.cropResize;
        owned.cropResizeBytes = destination.picture_buffer_size;
    }
    return ret;
}

int CamPreprocess::allocateByUndistortion(mpu_warp_transform_param& warp, mpu_remap_lut& lut) {
    int ret = allocateInto(&owned.undistortionSource, warp.src_pic.picture_buffer_size,
                           "failed to allocate dma memory for undistortion input in channel with result 0x");
    if (ret != 0) {
        return ret;
    }
    warp.src_pic.picture_address = owned.undistortionSource;
    ret = allocateInto(&owned.undistortionDestination, warp.dst_pic.picture_buffer_size,
                       "failed to allocate dma memory for undistortion output in channel with result 0x");
    if (ret != 0) {
        return ret;
    }
    warp.dst_pic.picture_address = owned.undistortionDestination;
    // No table is built into memory that was not allocated for it.
    if (lutSizeStatus != 0) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "no memory for the remap table: its size is unknown";
        return lutSizeStatus;
    }
    ret = allocateInto(&owned.remapTable, lut.lut_size,
                       "failed to allocate dma memory for remap table in channel with result 0x");
    if (ret != 0) {
        return ret;
    }
    lut.lut_addr = owned.remapTable;

    ret = mpu_vpc_set_chn_workspace(vpcChannel, &workspaceInfo, 1);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "applied for temporary cache failed with result = 0x" << ara::log::HexFormat(ret);
    } else {
        logger.LogInfo(ARA_LOG_HERE) << cameraTag << "channel " << vpcChannel
                                     << " applied for temporary cache successfully";
    }
    ret = mpu_vpc_get_remap_lut(&remapMaps, &lut);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "failed to get remap lut with result 0x" << ara::log::HexFormat(ret);
    }
    return ret;
}

unsigned char CamPreprocess::allocateMemory() {
    int ret = allocateByPicInfo(inputPicInfo);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "input memory allocated failed for channel with result: " << lowByte(ret);
        return lowByte(ret);
    }
    logger.LogInfo(ARA_LOG_HERE) << cameraTag << "input memory allocated successfully";
    ret = allocateByPicInfo(outputPicInfo);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "output memory allocated failed for channel with result: " << lowByte(ret);
        return lowByte(ret);
    }
    logger.LogInfo(ARA_LOG_HERE) << cameraTag << "output memory allocated successfully";
    ret = allocateByCropResizeRegion(cropResizeRegion);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag
            << "crop and resize memory allocated failed for channel with result: " << lowByte(ret);
        return lowByte(ret);
    }
    logger.LogInfo(ARA_LOG_HERE) << cameraTag << "crop and resize memory allocated successfully";
    if (undistortionEnabled) {
        ret = allocateByUndistortion(warpParam, remapLut);
        if (ret != 0) {
            logger.LogError(ARA_LOG_HERE)
                << cameraTag
                << "undistortion memory allocated failed for channel with result: " << lowByte(ret);
            return lowByte(ret);
        }
        logger.LogInfo(ARA_LOG_HERE) << cameraTag << "undistortion memory allocated successfully for channel";
    }
    return 0;
}

void** CamPreprocess::getInputAddress() {
    return undistortionEnabled ? &warpParam.src_pic.picture_address : &inputPicInfo.picture_address;
}

void CamPreprocess::setFrameAuxiliaryInfo(const vcu::camera::CameraAuxiliaryInfo& info) {
    cameraData.auxiliaryInfo = info;
}

void CamPreprocess::changeResizeSize(unsigned int width, unsigned int height) {
    const std::uint64_t nv12 = std::uint64_t{width} * height * 3 / 2;
    const std::uint64_t bgr = std::uint64_t{width} * 3 * height;
    if ((owned.cropResize != nullptr && nv12 > owned.cropResizeBytes) ||
        (owned.output != nullptr && bgr > owned.outputBytes)) {
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

int CamPreprocess::getUndistortedImage() {
    std::uint32_t taskId = 0;
    int ret = mpu_vpc_lut_remap(vpcChannel, &warpParam, &remapLut, &taskId, -1);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "failed to undistort with result 0x" << ara::log::HexFormat(ret);
        return ret;
    }
    ret = mpu_vpc_get_process_result(vpcChannel, taskId, -1);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "failed to get undistorted image with result 0x" << ara::log::HexFormat(ret);
    }
    return ret;
}

int CamPreprocess::getResizedCroppedImage() {
    // Chosen by configuration, not by whether the remap ran for this frame.
    const mpu_vpc_pic_info& source = undistortionEnabled ? warpParam.dst_pic : inputPicInfo;
    std::uint32_t taskId = 0;
    int ret = mpu_vpc_crop_resize(vpcChannel, &source, &cropResizeRegion, 1, &taskId, -1);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "failed to crop and resize with result 0x" << ara::log::HexFormat(ret);
        return ret;
    }
    ret = mpu_vpc_get_process_result(vpcChannel, taskId, -1);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "failed to get cropped and resized image with result 0x"
                                      << ara::log::HexFormat(ret);
    }
    return ret;
}

int CamPreprocess::getConvertedImage() {
    std::uint32_t taskId = 0;
    int ret = mpu_vpc_convert_color(vpcChannel, &cropResizeRegion.dest_pic_info, &outputPicInfo, &taskId, -1);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "failed to convert with result 0x" << ara::log::HexFormat(ret);
        return ret;
    }
    ret = mpu_vpc_get_process_result(vpcChannel, taskId, -1);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "failed to get converted image with result 0x" << ara::log::HexFormat(ret);
    }
    return ret;
}

int CamPreprocess::runPreprocessPipeline(bool skipUndistortion) {
    int ret = 0;
    if (undistortionEnabled && !skipUndistortion) {
        ret = getUndistortedImage();
        if (ret != 0) {
            logger.LogError(ARA_LOG_HERE)
                << cameraTag << "image undistortion error with result: 0x" << ara::log::HexFormat(ret);
            return ret;
        }
        logger.LogDebug(ARA_LOG_HERE) << cameraTag << "image undistorted successfully";
    }
    ret = waitForEncoderInput();
    if (ret != 0) {
        return ret;
    }
    ret = getResizedCroppedImage();
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "image cropping and resizing error with result: 0x" << ara::log::HexFormat(ret);
        return ret;
    }
    logger.LogDebug(ARA_LOG_HERE) << cameraTag << "image cropped and resized successfully";
    ret = getConvertedImage();
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "image converting to BGR error with result: 0x" << ara::log::HexFormat(ret);
    } else {
        logger.LogDebug(ARA_LOG_HERE) << cameraTag << "image converted to BGR successfully";
    }
    return ret;
}

// The encoder reads the crop-resized picture in place. A frame whose stream did not come back (time-out,
// failed fetch) may still be queued in the encoder; the picture is not written again until it has been read.
int CamPreprocess::waitForEncoderInput() {
    if (!encoderInputPending) {
        return 0;
    }
    const auto deadline = std::chrono::steady_clock::now() + kEncoderInputWait;
    for (;;) {
        mpu_venc_chn_status status{};
        const int ret = mpu_venc_query_status(cameraIndex, &status);
        if (ret != 0) {
            logger.LogError(ARA_LOG_HERE)
                << cameraTag << "encoder status query failed with result 0x" << ara::log::HexFormat(ret);
            return ret;
        }
        if (status.left_pics == 0) {
            encoderInputPending = false;
            return 0;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            logger.LogError(ARA_LOG_HERE)
                << cameraTag
                << "the encoder still reads the previous picture; the picture is not overwritten";
            return MPU_ERR_TIMEOUT;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int CamPreprocess::runPerceptionPipeline() {
    return runPreprocessPipeline(false);
}

int CamPreprocess::createEncoderChannel(int width, int height, int bufferFactor) {
    mpu_venc_mod_param moduleParam{};
    moduleParam.mod_type = kEncoderModule;
    mpu_venc_get_mod_param(&moduleParam);
    // The consumer reads each frame from its first packet: the whole frame goes into one.
    moduleParam.codec.one_stream_buffer = 1;
    mpu_venc_set_mod_param(&moduleParam);

    const auto w = static_cast<std::uint32_t>(width);
    const auto h = static_cast<std::uint32_t>(height);
    mpu_venc_chn_attr attr{};
    attr.venc_attr.type = kEncoderPayload;
    attr.venc_attr.max_pic_width = w;
    attr.venc_attr.max_pic_height = h;
    attr.venc_attr.buf_size = static_cast<std::uint32_t>(bufferFactor) * w * h;
    attr.venc_attr.profile = 0;
    attr.venc_attr.is_by_frame = 1;
    attr.venc_attr.pic_width = w;
    attr.venc_attr.pic_height = h;
    attr.rc_attr.rc_mode = kRateControlVbr;
    attr.rc_attr.gop = encoderGopNumber;
    attr.rc_attr.stat_time = 1;
    attr.rc_attr.src_frame_rate = kFramesPerSecond;
    attr.rc_attr.dst_frame_rate = kFramesPerSecond;
    attr.rc_attr.max_bit_rate = kMaxBitRateKbps;
    attr.gop_attr.gop_mode = MPU_VENC_GOP_NORMAL_P;
    attr.gop_attr.ip_qp_delta = kIpQpDelta;
    int ret = mpu_venc_create_chn(cameraIndex, &attr);
    acquired.encoderChannel = ret == 0;
    if (ret != 0) {
        // Nothing to start or wait for: every frame of this camera would fail.
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "encoder create channel returned 0x" << ara::log::HexFormat(ret);
        return ret;
    }
    logger.LogInfo(ARA_LOG_HERE) << cameraTag << "encoder create channel returned 0x"
                                 << ara::log::HexFormat(ret);

    const mpu_venc_start_param start{-1};
    ret = mpu_venc_start_chn(cameraIndex, &start);
    acquired.encoderStarted = ret == 0;
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "failed to start encoder channel with result 0x" << ara::log::HexFormat(ret);
        return ret;
    }

    epollFd = 0;
    encoderFd = mpu_venc_get_fd(cameraIndex);
    ret = mpu_sys_create_epoll(10, &epollFd);
    acquired.epoll = ret == 0;
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "failed to create epoll instance with result 0x" << ara::log::HexFormat(ret);
        return ret;
    }
    epollEvent.events = MPU_SYS_EPOLL_IN;
    epollEvent.data = reinterpret_cast<void*>(static_cast<std::intptr_t>(encoderFd));
    ret = mpu_sys_ctl_epoll(epollFd, MPU_SYS_EPOLL_CTL_ADD, encoderFd, &epollEvent);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "failed to wait for encoder descriptor " << encoderFd
                                      << " with result 0x" << ara::log::HexFormat(ret);
    }
    return ret;
}

unsigned char CamPreprocess::h265Encoder(std::shared_ptr<mpu_venc_stream>* stream) {
    if (runMode == ACC_HOST) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "ACC_HOST mode is not supported";
        return 1;
    }
    discardLeftoverStreams();
    // The channel was created at the output size: it gets the crop-resized picture, in its own geometry.
    const mpu_vpc_pic_info& picture = cropResizeRegion.dest_pic_info;
    mpu_video_frame_info frameInfo{};
    mpu_video_frame& frame = frameInfo.v_frame;
    frame.width = picture.picture_width;
    frame.height = picture.picture_height;
    frame.field = MPU_VIDEO_FIELD_FRAME;
    frame.pixel_format = MPU_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
    frame.video_format = 0;
    frame.compress_mode = 0;
    frame.dynamic_range = 0;
    frame.color_gamut = MPU_COLOR_GAMUT_BT709;
    frame.width_stride[0] = frame.width_stride[1] = frame.width_stride[2] = picture.picture_width_stride;
    auto* luma = static_cast<std::uint8_t*>(picture.picture_address);
    frame.virt_addr[0] = luma;
    frame.virt_addr[1] =
        luma == nullptr ? nullptr
                        : luma + std::uint64_t{picture.picture_width_stride} * picture.picture_height_stride;
    frameCounter += 2;
    frame.time_ref = frameCounter;
    const vcu::camera::CameraTimestamp& captured = cameraData.auxiliaryInfo.captureTime();
    frame.pts =
        static_cast<std::uint64_t>(captured.sec) * 1000000000ull + static_cast<std::uint64_t>(captured.nsec);
    frameInfo.pool_id = 0;
    frameInfo.mod_id = 8;

    int ret = mpu_venc_send_frame(cameraIndex, &frameInfo, -1);
    if (ret != 0) {
        return lowByte(ret);
    }
    // Until its stream is back the encoder may still read the picture in place.
    encoderInputPending = true;
    mpu_sys_epoll_event events[3] = {};
    std::int32_t eventCount = 0;
    mpu_sys_wait_epoll(epollFd, events, 3, 1000, &eventCount);

    mpu_venc_chn_status status{};
    ret = mpu_venc_query_status(cameraIndex, &status);
    if (ret != 0) {
        return lowByte(ret);
    }
    if (status.cur_packs == 0) {
        return lowByte(MPU_ERR_BUF_EMPTY);
    }
    std::unique_ptr<mpu_venc_pack[]> packs(new mpu_venc_pack[status.cur_packs]());
    std::unique_ptr<mpu_venc_stream> record(new mpu_venc_stream());
    record->pack = packs.get();
    record->pack_count = status.cur_packs;
    ret = mpu_venc_get_stream(cameraIndex, record.get(), -1);
    if (ret != 0) {
        return lowByte(ret);  // nothing was handed out, so there is nothing to release
    }
    // The stream is out, so the encoder has read the picture (it takes one frame in, one stream out).
    encoderInputPending = false;
    mpu_venc_pack* packArray = packs.release();
    *stream = std::shared_ptr<mpu_venc_stream>(record.release(), StreamReleaser{cameraIndex, packArray});
    return 0;
}

// A frame that failed after sending (its stream was not fetched in time) leaves its stream waiting; fetching
// that one for the next frame would put every later frame one behind, so it is dropped here.
void CamPreprocess::discardLeftoverStreams() {
    mpu_venc_chn_status status{};
    while (mpu_venc_query_status(cameraIndex, &status) == 0 && status.left_stream_frames > 0 &&
           status.cur_packs > 0) {
        std::unique_ptr<mpu_venc_pack[]> packs(new mpu_venc_pack[status.cur_packs]());
        mpu_venc_stream leftover{packs.get(), status.cur_packs, 0, 0};
        if (mpu_venc_get_stream(cameraIndex, &leftover, 0) != 0 ||
            mpu_venc_release_stream(cameraIndex, &leftover) != 0) {
            return;
        }
        logger.LogWarn(ARA_LOG_HERE) << cameraTag << "dropped the stream of an earlier frame, time reference "
                                     << leftover.time_ref;
    }
}

unsigned char CamPreprocess::runEncoderPipeline(std::shared_ptr<mpu_venc_stream>* stream) {
    const unsigned char result = h265Encoder(stream);
    if (result != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "image H.265 encoding error with result: 0x" << ara::log::HexFormat(result);
    } else {
        logger.LogDebug(ARA_LOG_HERE) << cameraTag << "image encoded to H.265 successfully";
    }
    return result;
}

void CamPreprocess::releaseMemory() {
    const struct {
        void* address;
        const char* released;
        const char* failed;
    } pictures[] = {
        {owned.input, "release memory of input image",
         "failed to release memory of input image with value: "},
        {owned.output, "release memory of output image",
         "failed to release memory of output image with value: "},
        {owned.cropResize, "release memory of cropResize image",
         "failed to release memory of cropResize image with value: "},
        {owned.undistortionSource, "release memory of undistortion input image",
         "failed to release memory of undistortion input image with value: "},
        {owned.undistortionDestination, "release memory of undistortion output image",
         "failed to release memory of undistortion output image with value: "},
        {owned.remapTable, "release memory of remap table",
         "failed to release memory of remap table with value: "},
    };
    for (const auto& picture : pictures) {
        if (picture.address == nullptr) {
            continue;
        }
        const int ret = mpu_dma_free(picture.address);
        if (ret == 0) {
            logger.LogInfo(ARA_LOG_HERE) << cameraTag << picture.released;
        } else {
            logger.LogError(ARA_LOG_HERE) << cameraTag << picture.failed << ret;
        }
    }
    owned = OwnedMemory{};
    remapMapX.reset();
    remapMapY.reset();
}

void CamPreprocess::releaseEncoder() {
    if (acquired.encoderStarted && mpu_venc_stop_chn(cameraIndex) != 0) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "failed to stop encoder channel " << cameraIndex;
    }
    if (acquired.encoderChannel) {
        const int ret = mpu_venc_destroy_chn(cameraIndex);
        if (ret == 0) {
            logger.LogInfo(ARA_LOG_HERE) << cameraTag << "destroy encoder channel " << cameraIndex;
        } else {
            logger.LogError(ARA_LOG_HERE)
                << cameraTag << "failed to destroy encoder channel " << cameraIndex << " with value: " << ret;
        }
    }
    if (acquired.epoll && mpu_sys_close_epoll(epollFd) != 0) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "failed to close epoll instance " << epollFd;
    }
}

CamPreprocess::~CamPreprocess() {
    // The encoder reads the crop-resized picture in place: it stops before that memory goes.
    releaseEncoder();
    releaseMemory();
    if (acquired.vpcChannel) {
        const int ret = mpu_vpc_destroy_chn(vpcChannel);
        if (ret == 0) {
            logger.LogInfo(ARA_LOG_HERE) << cameraTag << "destroy channel " << vpcChannel;
        } else {
            logger.LogError(ARA_LOG_HERE)
                << cameraTag << "failed to destroy channel " << vpcChannel << " with value: " << ret;
        }
    }
    if (acquired.mediaSystem) {
        if (mpu_sys_exit() == 0) {
            logger.LogInfo(ARA_LOG_HERE) << cameraTag << "Media data processing system de-initialization";
        } else {
            logger.LogError(ARA_LOG_HERE)
                << cameraTag << "Media data processing system de-initialization failed";
        }
    }
    if (acquired.contextCreated) {
        if (accrtDestroyContext(context) == ACC_SUCCESS) {
            logger.LogInfo(ARA_LOG_HERE) << cameraTag << "release Context";
        } else {
            logger.LogError(ARA_LOG_HERE) << cameraTag << "release Context failed";
        }
    }
    if (acquired.deviceSet) {
        if (accrtResetDevice(0) == ACC_SUCCESS) {
            logger.LogInfo(ARA_LOG_HERE) << cameraTag << "release Device";
        } else {
            logger.LogError(ARA_LOG_HERE) << cameraTag << "release Device failed";
        }
    }
    if (acquired.accInitialized) {
        if (accFinalize() == ACC_SUCCESS) {
            logger.LogInfo(ARA_LOG_HERE) << cameraTag << "ACC de-initializes";
        } else {
            logger.LogError(ARA_LOG_HERE) << cameraTag << "ACC de-initializes failed";
        }
    }
}
