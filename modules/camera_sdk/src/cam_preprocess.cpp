#include "cam_preprocess.h"

#include <boost/property_tree/exceptions.hpp>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <optional>
#include <utility>

#include "ara/log/logging.h"
#include "mpu/mpu_dma.h"
#include "vcu/os/files.h"

namespace {

// NV12 picture: luma plus half as much chroma, computed as the platform does (times 3 first, then halved).
std::uint32_t Nv12Bytes(std::uint32_t widthStride, std::uint32_t heightStride) {
    return widthStride * heightStride * 3 / 2;
}

// Makes `picture` an unpadded NV12 picture of `width` x `height`; its address is left alone.
void SetNv12Geometry(mpu_vpc_pic_info& picture, std::uint32_t width, std::uint32_t height) {
    picture.picture_width = width;
    picture.picture_height = height;
    picture.picture_width_stride = width;
    picture.picture_height_stride = height;
    picture.picture_format = MPU_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
    picture.picture_buffer_size = Nv12Bytes(width, height);
}

}  // namespace

unsigned char CamPreprocess::lowByte(std::int32_t status) {
    const auto low = static_cast<unsigned char>(status & 0xFF);
    return status != 0 && low == 0 ? 0xFF : low;
}

mpu::ReleaseReport CamPreprocess::memoryReport(const std::string& name) const {
    return teardownReport("release memory of " + name,
                          "failed to release memory of " + name + " with value: ", true);
}

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
    // Read in this order, so that the first missing or malformed key is the one reported.
    const std::pair<const char*, std::uint32_t*> numbers[] = {
        {"inputImageWidth", &inputImageWidth},   {"inputImageHeight", &inputImageHeight},
        {"outputImageWidth", &outputImageWidth}, {"outputImageHeight", &outputImageHeight},
        {"cropTopOffset", &cropTopOffset},       {"cropLeftOffset", &cropLeftOffset},
        {"encoderGopNumber", &encoderGopNumber}};
    for (const auto& [key, value] : numbers) {
        *value = readNumber(config, section, key);
    }
    checkConfiguration(section);

    const std::pair<const char*, std::string*> mapPaths[] = {{"remapFilePathX", &remapFilePathX},
                                                             {"remapFilePathY", &remapFilePathY}};
    for (const auto& [key, path] : mapPaths) {
        if (!config.get_child_optional(section + "." + key)) {
            logger.LogWarn(ARA_LOG_HERE) << cameraTag
                                         << std::string("The INI file does not contain the key '") + key +
                                                "', so undistortion part is disabled.";
            undistortionEnabled = false;
            return;
        }
        *path = config.get<std::string>(section + "." + key);
    }
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
    if (ret == ACC_SUCCESS) {
        session.runtime =
            mpu::AccRuntime(0, teardownReport("ACC de-initializes", "ACC de-initializes failed", false));
        logger.LogInfo(ARA_LOG_HERE) << cameraTag << "ACC Initialized successfully";
    } else {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "ACC didn't initialized successfully, ret = 0x" << ara::log::HexFormat(ret);
    }
    ret = accrtSetDevice(0);
    if (ret == ACC_SUCCESS) {
        session.device = mpu::AccDevice(0, teardownReport("release Device", "release Device failed", false));
        logger.LogInfo(ARA_LOG_HERE) << cameraTag << "ACC set device successfully";
    } else {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "ACC didn't set device successfully, ret = 0x" << ara::log::HexFormat(ret);
    }
    accrtContext context = nullptr;
    ret = accrtCreateContext(&context, 0);
    if (ret == ACC_SUCCESS) {
        session.context =
            mpu::AccContext(context, teardownReport("release Context", "release Context failed", false));
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
    session.mediaSystem =
        mpu::MediaSystem(0, teardownReport("Media data processing system de-initialization",
                                           "Media data processing system de-initialization failed", false));
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
    SetNv12Geometry(inputPicInfo, inputImageWidth, inputImageHeight);
}

void CamPreprocess::setDefaultCropReizeRegion() {
    SetNv12Geometry(cropResizeRegion.dest_pic_info, outputImageWidth, outputImageHeight);
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

ara::core::Result<vcu::os::MappedFile, CamPreprocess::MapFileError> CamPreprocess::readMapFile(
    const std::string& path) {
    using R = ara::core::Result<vcu::os::MappedFile, MapFileError>;
    const std::uint64_t expected = std::uint64_t{inputImageWidth} * inputImageHeight;
    // A FIFO would block the open; a missing file is named with the system's reason.
    if (const std::string problem = vcu::os::RegularFileProblem(path); !problem.empty()) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "Error: Failed to open file for reading.";
        logger.LogError(ARA_LOG_HERE) << cameraTag << "cannot read map file " << path << ": " << problem;
        return R::FromError(MapFileError::kUnreadable);
    }
    std::error_code error;
    const std::uintmax_t bytes = std::filesystem::file_size(path, error);
    if (error) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "Error: Failed to open file for reading.";
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "cannot read map file " << path << ": " << error.message();
        return R::FromError(MapFileError::kUnreadable);
    }
    const std::uint64_t found = bytes / sizeof(float);
    // The media unit reads width x height values from each map: any other count would be read past.
    if (found != expected) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "map file " << path << " holds " << found << " values, expected " << expected;
        return R::FromError(MapFileError::kWrongSize);
    }
    std::string problem;
    std::optional<vcu::os::MappedFile> values =
        vcu::os::MappedFile::map(path, expected * sizeof(float), &problem);
    if (!values) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "Error: Failed to open file for reading.";
        logger.LogError(ARA_LOG_HERE) << cameraTag << "cannot read map file " << path << ": " << problem;
        return R::FromError(MapFileError::kUnreadable);
    }
    return std::move(*values);
}

void CamPreprocess::disableUndistortion() {
    undistortionEnabled = false;
    remapMapX = vcu::os::MappedFile();
    remapMapY = vcu::os::MappedFile();
    logger.LogWarn(ARA_LOG_HERE) << cameraTag << "undistortion is disabled";
}

void CamPreprocess::setDefaultRemapParam() {
    // The second file is read only when the first was taken; otherwise its failure stands for both.
    auto mapX = readMapFile(remapFilePathX);
    if (!mapX) {
        disableUndistortion();
        return;
    }
    auto mapY = readMapFile(remapFilePathY);
    if (!mapY) {
        disableUndistortion();
        return;
    }
    remapMapX = std::move(mapX).Value();
    remapMapY = std::move(mapY).Value();
    const std::uint32_t w = inputImageWidth;
    const std::uint32_t h = inputImageHeight;
    remapMaps = mpu_remap_maps{
        static_cast<float*>(remapMapX.data()), static_cast<float*>(remapMapY.data()), w * h * 4, w, h, w, h};
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
    SetNv12Geometry(picture, w, h);
    warpParam.src_pic = picture;
    warpParam.dst_pic = picture;
    warpParam.interpolation = 0;
    warpParam.lut_count = 1;
    workspaceInfo = mpu_vpc_workspace{0, w, h, w, h};
}

int CamPreprocess::createVPCChannel() {
    std::int32_t channel = -1;
    const int ret = mpu_vpc_sys_create_chn(&channel, &vpcChannelAttr);
    if (ret == 0) {
        const std::string id = std::to_string(channel);
        pictureChannel = mpu::PictureChannel(
            channel, teardownReport("destroy channel " + id,
                                    "failed to destroy channel " + id + " with value: ", true));
        logger.LogInfo(ARA_LOG_HERE) << cameraTag << "channel " << channel << " created successfully";
    }
    return ret;
}

// Allocates into `memory`, freeing what it held before, so a repeated allocation leaks nothing.
int CamPreprocess::allocateInto(mpu::DmaBuffer& memory, const char* name, std::uint32_t size,
                                const char* failureMessage) {
    const int ret = mpu::DmaBuffer::allocate(size, memoryReport(name), &memory);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << failureMessage << ara::log::HexFormat(ret);
    }
    return ret;
}

int CamPreprocess::allocateByPicInfo(mpu_vpc_pic_info& pic, mpu::DmaBuffer& memory, const char* name) {
    const int ret = allocateInto(memory, name, pic.picture_buffer_size,
                                 "failed to allocate dma memory for channel with result 0x");
    if (ret == 0) {
        pic.picture_address = memory.address();
    }
    return ret;
}

int CamPreprocess::allocateByCropResizeRegion(mpu_vpc_crop_resize_region& region, mpu::DmaBuffer& memory) {
    mpu_vpc_pic_info& destination = region.dest_pic_info;
    const int ret =
        allocateInto(memory, "cropResize image", destination.picture_buffer_size,
                     "failed to allocate dma memory for crop resize region in channel with result 0x");
    if (ret == 0) {
        destination.picture_address = memory.address();
    }
    return ret;
}

int CamPreprocess::allocateByUndistortion(mpu_warp_transform_param& warp, mpu_remap_lut& lut) {
    int ret =
        allocateInto(undistortionSourceMemory, "undistortion input image", warp.src_pic.picture_buffer_size,
                     "failed to allocate dma memory for undistortion input in channel with result 0x");
    if (ret != 0) {
        return ret;
    }
    warp.src_pic.picture_address = undistortionSourceMemory.address();
    ret = allocateInto(undistortionDestinationMemory, "undistortion output image",
                       warp.dst_pic.picture_buffer_size,
                       "failed to allocate dma memory for undistortion output in channel with result 0x");
    if (ret != 0) {
        return ret;
    }
    warp.dst_pic.picture_address = undistortionDestinationMemory.address();
    // No table is built into memory that was not allocated for it.
    if (lutSizeStatus != 0) {
        logger.LogError(ARA_LOG_HERE) << cameraTag << "no memory for the remap table: its size is unknown";
        return lutSizeStatus;
    }
    ret = allocateInto(remapTableMemory, "remap table", lut.lut_size,
                       "failed to allocate dma memory for remap table in channel with result 0x");
    if (ret != 0) {
        return ret;
    }
    lut.lut_addr = remapTableMemory.address();

    ret = mpu_vpc_set_chn_workspace(pictureChannel.get(), &workspaceInfo, 1);
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "applied for temporary cache failed with result = 0x" << ara::log::HexFormat(ret);
    } else {
        logger.LogInfo(ARA_LOG_HERE) << cameraTag << "channel " << pictureChannel.get()
                                     << " applied for temporary cache successfully";
    }
    ret = mpu_vpc_get_remap_lut(&remapMaps, &lut);
    // Built: the maps are not read again, so their pages need not stay the process's.
    remapMapX.dropResident();
    remapMapY.dropResident();
    if (ret != 0) {
        logger.LogError(ARA_LOG_HERE)
            << cameraTag << "failed to get remap lut with result 0x" << ara::log::HexFormat(ret);
    }
    return ret;
}

unsigned char CamPreprocess::allocateMemory() {
    // In this order, each with the name its log lines give its memory; the undistortion buffers only when
    // undistortion is on.
    const struct {
        const char* what;
        const char* doneTail;
        std::function<int()> allocate;
    } steps[] = {
        {"input", "", [this] { return allocateByPicInfo(inputPicInfo, inputMemory, "input image"); }},
        {"output", "", [this] { return allocateByPicInfo(outputPicInfo, outputMemory, "output image"); }},
        {"crop and resize", "",
         [this] { return allocateByCropResizeRegion(cropResizeRegion, cropResizeMemory); }},
        {"undistortion", " for channel",
         undistortionEnabled
             ? std::function<int()>([this] { return allocateByUndistortion(warpParam, remapLut); })
             : nullptr},
    };
    for (const auto& step : steps) {
        if (!step.allocate) {
            continue;
        }
        if (const int ret = step.allocate(); ret != 0) {
            logger.LogError(ARA_LOG_HERE)
                << cameraTag << step.what
                << " memory allocated failed for channel with result: " << lowByte(ret);
            return lowByte(ret);
        }
        logger.LogInfo(ARA_LOG_HERE) << cameraTag << step.what << " memory allocated successfully"
                                     << step.doneTail;
    }
    return 0;
}
