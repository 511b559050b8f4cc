// media_bench: how long each stage of one camera's per-frame path takes on this machine, single-threaded,
// for a 1920 x 1080 NV12 camera frame: undistortion remap (and OpenCV's fixed-point cv::remap with the same
// maps, as the reference), crop-resize to 1280 x 720, conversion to BGR, H.264 encoding, and the whole path
// as the camera worker runs it through CamPreprocess. Prints medians; the last line is for scripts:
//
//   media_bench: remap_ms=… opencv_remap_ms=… crop_resize_ms=… bgr_ms=… encode_ms=… path_ms=…
//
// Usage: media_bench [iterations]   (default 200)

#include <algorithm>
#include <boost/property_tree/ptree.hpp>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "ara/log/logging.h"
#include "cam_preprocess.h"
#include "lens_model.h"
#include "mpu/mpu_owners.h"
#include "mpu/mpu_sys.h"
#include "mpu/mpu_venc.h"
#include "mpu/mpu_vpc.h"

namespace {

constexpr std::uint32_t kInWidth = 1920;
constexpr std::uint32_t kInHeight = 1080;
constexpr std::uint32_t kOutWidth = 1280;
constexpr std::uint32_t kOutHeight = 720;
constexpr std::int32_t kEncoderChannel = 15;

using Clock = std::chrono::steady_clock;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

template <class Body>
double timeMedian(int iterations, Body body) {
    for (int i = 0; i < 5; ++i) {
        body(i);  // warm caches and the encoder
    }
    std::vector<double> ms;
    ms.reserve(static_cast<std::size_t>(iterations));
    for (int i = 0; i < iterations; ++i) {
        const auto start = Clock::now();
        body(i);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    return median(ms);
}

void check(std::int32_t status, const char* what) {
    if (status != 0) {
        std::fprintf(stderr, "media_bench: %s failed with status 0x%x\n", what,
                     static_cast<unsigned>(status));
        std::exit(1);
    }
}

// Media memory of `size` bytes.
mpu::DmaBuffer allocate(std::uint64_t size) {
    mpu::DmaBuffer buffer;
    check(mpu::DmaBuffer::allocate(size, nullptr, &buffer), "mpu_dma_malloc");
    return buffer;
}

// Media memory holding an NV12 picture, with its record.
struct Nv12 {
    mpu::DmaBuffer memory;
    mpu_vpc_pic_info info{};
    Nv12(std::uint32_t width, std::uint32_t height)
        : memory(allocate(std::uint64_t{width} * height * 3 / 2)) {
        info = {memory.address(),
                width * height * 3 / 2,
                width,
                height,
                width,
                height,
                MPU_PIXEL_FORMAT_YUV_SEMIPLANAR_420};
    }
    std::uint8_t* luma() const { return static_cast<std::uint8_t*>(info.picture_address); }
    std::uint8_t* chroma() const { return luma() + std::size_t{info.picture_width} * info.picture_height; }
};

// A camera-like picture: smooth shading, texture and edges, moving with `t`.
void paint(const Nv12& picture, int t) {
    const std::uint32_t w = picture.info.picture_width;
    const std::uint32_t h = picture.info.picture_height;
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
            const int u = static_cast<int>(x) + 7 * t;
            const double shade = 110 + 60 * std::sin(u * 0.013) * std::cos(y * 0.017);
            const int texture =
                ((u / 24 + static_cast<int>(y) / 24) % 2) * 30 + static_cast<int>((x * 131 + y * 71) % 11);
            picture.luma()[std::size_t{y} * w + x] =
                static_cast<std::uint8_t>(std::clamp(shade + texture, 16.0, 235.0));
        }
    }
    for (std::uint32_t j = 0; j < h / 2; ++j) {
        for (std::uint32_t i = 0; i < w / 2; ++i) {
            std::uint8_t* uv = picture.chroma() + std::size_t{j} * w + 2 * i;
            uv[0] = static_cast<std::uint8_t>(128 + 40 * std::sin((i + 3 * t) * 0.02));
            uv[1] = static_cast<std::uint8_t>(128 + 40 * std::cos(j * 0.025));
        }
    }
}

// Submits with `submit` and waits for the task.
template <class Submit>
void runTask(std::int32_t channel, const char* what, Submit submit) {
    std::uint32_t id = 0;
    check(submit(&id), what);
    check(mpu_vpc_get_process_result(channel, id, MPU_WAIT_FOREVER), what);
}

struct Figures {
    double remap;
    double opencvRemap;
    int remapDifference;
    double cropResize;
    double bgr;
    double encode;
    double path;
};

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
    ara::log::InitLogging("BNCH", "media_bench", ara::log::LogLevel::kWarn, ara::log::LogMode::kConsole, "");
    cv::setNumThreads(1);
    check(mpu_sys_init(), "mpu_sys_init");
    const mpu::MediaSystem mediaSystem(0, nullptr);

    // A wide-angle camera's calibration, viewed a little wider so that the corners are black.
    const lens::Intrinsics camera{1000.0, 1000.0, 959.5, 539.5};
    const lens::Distortion distortion{-0.30, 0.09, 0.0005, -0.0003, -0.01};
    lens::Intrinsics view = camera;
    view.fx *= 0.85;
    view.fy *= 0.85;
    lens::UndistortMaps maps = lens::makeUndistortMaps(kInWidth, kInHeight, camera, distortion, view);

    std::int32_t channel = -1;
    const mpu_vpc_chn_attr channelAttr{};
    check(mpu_vpc_sys_create_chn(&channel, &channelAttr), "mpu_vpc_sys_create_chn");
    const mpu::PictureChannel pictureChannel(channel, nullptr);
    Nv12 frame(kInWidth, kInHeight);
    Nv12 undistorted(kInWidth, kInHeight);
    Nv12 resized(kOutWidth, kOutHeight);
    paint(frame, 0);
    Figures figures{};

    // Remap through the media unit's table.
    std::uint32_t lutSize = 0;
    check(mpu_vpc_get_lut_mem_size(kInWidth, kInHeight, &lutSize), "mpu_vpc_get_lut_mem_size");
    const mpu::DmaBuffer lutMemory = allocate(lutSize);
    mpu_remap_lut lut{kInWidth, kInHeight, kInWidth, kInHeight, lutMemory.address(), lutSize};
    mpu_remap_maps mapRecord{maps.x.data(), maps.y.data(), kInWidth * kInHeight * 4, kInWidth, kInHeight,
                             kInWidth,      kInHeight};
    check(mpu_vpc_get_remap_lut(&mapRecord, &lut), "mpu_vpc_get_remap_lut");
    const mpu_vpc_workspace workspace{MPU_VPC_WORKSPACE_REMAP, kInWidth, kInHeight, kInWidth, kInHeight};
    check(mpu_vpc_set_chn_workspace(channel, &workspace, 1), "mpu_vpc_set_chn_workspace");
    const mpu_warp_transform_param warp{frame.info, undistorted.info, MPU_VPC_INTERPOLATION_BILINEAR, 1};
    figures.remap = timeMedian(iterations, [&](int) {
        runTask(channel, "remap",
                [&](std::uint32_t* id) { return mpu_vpc_lut_remap(channel, &warp, &lut, id, -1); });
    });

    // OpenCV's fixed-point remap of both planes with the same maps: the chroma maps at the chroma samples'
    // positions, as the media unit makes them.
    std::vector<float> chromaX(std::size_t{kInWidth / 2} * (kInHeight / 2));
    std::vector<float> chromaY(chromaX.size());
    for (std::uint32_t j = 0; j < kInHeight / 2; ++j) {
        for (std::uint32_t i = 0; i < kInWidth / 2; ++i) {
            const std::size_t upper = std::size_t{2 * j} * kInWidth + 2 * i;
            const std::size_t lower = upper + kInWidth;
            chromaX[std::size_t{j} * (kInWidth / 2) + i] = (maps.x[upper] + maps.x[lower]) * 0.25f;
            chromaY[std::size_t{j} * (kInWidth / 2) + i] = (maps.y[upper] + maps.y[lower]) * 0.25f - 0.25f;
        }
    }
    cv::Mat lumaXY, lumaFraction, chromaXY, chromaFraction;
    cv::convertMaps(cv::Mat(kInHeight, kInWidth, CV_32FC1, maps.x.data()),
                    cv::Mat(kInHeight, kInWidth, CV_32FC1, maps.y.data()), lumaXY, lumaFraction, CV_16SC2);
    cv::convertMaps(cv::Mat(kInHeight / 2, kInWidth / 2, CV_32FC1, chromaX.data()),
                    cv::Mat(kInHeight / 2, kInWidth / 2, CV_32FC1, chromaY.data()), chromaXY, chromaFraction,
                    CV_16SC2);
    const cv::Mat srcLuma(kInHeight, kInWidth, CV_8UC1, frame.luma());
    const cv::Mat srcChroma(kInHeight / 2, kInWidth / 2, CV_8UC2, frame.chroma());
    cv::Mat cvLuma(kInHeight, kInWidth, CV_8UC1);
    cv::Mat cvChroma(kInHeight / 2, kInWidth / 2, CV_8UC2);
    figures.opencvRemap = timeMedian(iterations, [&](int) {
        cv::remap(srcLuma, cvLuma, lumaXY, lumaFraction, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                  cv::Scalar(16));
        cv::remap(srcChroma, cvChroma, chromaXY, chromaFraction, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                  cv::Scalar(128, 128));
    });
    const cv::Mat ourLuma(kInHeight, kInWidth, CV_8UC1, undistorted.luma());
    const cv::Mat ourChroma(kInHeight / 2, kInWidth / 2, CV_8UC2, undistorted.chroma());
    double lumaDifference = 0;
    double chromaDifference = 0;
    cv::Mat difference;
    cv::absdiff(ourLuma, cvLuma, difference);
    cv::minMaxLoc(difference, nullptr, &lumaDifference);
    cv::absdiff(ourChroma, cvChroma, difference);
    cv::minMaxLoc(difference.reshape(1), nullptr, &chromaDifference);
    figures.remapDifference = static_cast<int>(std::max(lumaDifference, chromaDifference));

    // Crop-resize of the undistorted frame, and conversion of the result to BGR.
    mpu_vpc_crop_resize_region region{};
    region.dest_pic_info = resized.info;
    region.crop_region = {0, 0, kInWidth, kInHeight};
    region.resize_info = {kOutWidth, kOutHeight, MPU_VPC_INTERPOLATION_BILINEAR};
    figures.cropResize = timeMedian(iterations, [&](int) {
        runTask(channel, "crop-resize", [&](std::uint32_t* id) {
            return mpu_vpc_crop_resize(channel, &undistorted.info, &region, 1, id, -1);
        });
    });
    const mpu::DmaBuffer bgrMemory = allocate(std::uint64_t{kOutWidth} * 3 * kOutHeight);
    mpu_vpc_pic_info bgr{
        bgrMemory.address(), kOutWidth * 3 * kOutHeight, kOutWidth, kOutHeight, kOutWidth * 3,
        kOutHeight,          MPU_PIXEL_FORMAT_BGR_888};
    figures.bgr = timeMedian(iterations, [&](int) {
        runTask(channel, "convert", [&](std::uint32_t* id) {
            return mpu_vpc_convert_color(channel, &resized.info, &bgr, id, -1);
        });
    });

    // H.264 encoding of moving 1280 x 720 pictures on a channel set up as the preprocessor sets it up.
    {
        mpu_venc_chn_attr attr{};
        attr.venc_attr = {MPU_PAYLOAD_TYPE_H264,
                          kOutWidth,
                          kOutHeight,
                          5 * kOutWidth * kOutHeight,
                          0,
                          1,
                          kOutWidth,
                          kOutHeight};
        attr.rc_attr.rc_mode = MPU_VENC_RC_H264_VBR;
        attr.rc_attr.gop = 30;
        attr.rc_attr.stat_time = 1;
        attr.rc_attr.src_frame_rate = attr.rc_attr.dst_frame_rate = 30;
        attr.rc_attr.max_bit_rate = 4000;
        attr.gop_attr = {MPU_VENC_GOP_NORMAL_P, 3};
        check(mpu_venc_create_chn(kEncoderChannel, &attr), "mpu_venc_create_chn");
        const mpu::EncoderChannel encoderChannel(kEncoderChannel, nullptr);
        const mpu_venc_start_param start{-1};
        check(mpu_venc_start_chn(kEncoderChannel, &start), "mpu_venc_start_chn");
        const mpu::RunningEncoder runningEncoder(kEncoderChannel, nullptr);
        std::int32_t epollFd = -1;
        check(mpu_sys_create_epoll(10, &epollFd), "mpu_sys_create_epoll");
        const mpu::MediaEpoll epoll(epollFd, nullptr);
        const int fd = mpu_venc_get_fd(kEncoderChannel);
        mpu_sys_epoll_event watch{MPU_SYS_EPOLL_IN, nullptr};
        check(mpu_sys_ctl_epoll(epollFd, MPU_SYS_EPOLL_CTL_ADD, fd, &watch), "mpu_sys_ctl_epoll");
        std::vector<std::unique_ptr<Nv12>> moving;
        for (int t = 0; t < 8; ++t) {
            moving.push_back(std::make_unique<Nv12>(kOutWidth, kOutHeight));
            paint(*moving.back(), t);
        }
        mpu_venc_pack packs[16];
        figures.encode = timeMedian(iterations, [&](int i) {
            const Nv12& picture = *moving[static_cast<std::size_t>(i) % moving.size()];
            mpu_video_frame_info frameInfo{};
            mpu_video_frame& f = frameInfo.v_frame;
            f.width = kOutWidth;
            f.height = kOutHeight;
            f.field = MPU_VIDEO_FIELD_FRAME;
            f.pixel_format = MPU_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
            f.color_gamut = MPU_COLOR_GAMUT_BT709;
            f.width_stride[0] = f.width_stride[1] = f.width_stride[2] = kOutWidth;
            f.virt_addr[0] = picture.luma();
            f.virt_addr[1] = picture.chroma();
            check(mpu_venc_send_frame(kEncoderChannel, &frameInfo, -1), "mpu_venc_send_frame");
            mpu_sys_epoll_event events[3];
            std::int32_t count = 0;
            mpu_sys_wait_epoll(epollFd, events, 3, 1000, &count);
            mpu_venc_stream stream{packs, 16, 0, 0};
            check(mpu_venc_get_stream(kEncoderChannel, &stream, -1), "mpu_venc_get_stream");
            check(mpu_venc_release_stream(kEncoderChannel, &stream), "mpu_venc_release_stream");
        });
    }

    // The whole per-frame path of one camera worker, undistortion on, through the preprocessor itself.
    {
        const std::string directory = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp";
        const std::string mapX = directory + "/media_bench_map_x.bin";
        const std::string mapY = directory + "/media_bench_map_y.bin";
        std::string error;
        if (!lens::writeMapFile(mapX, maps.x, &error) || !lens::writeMapFile(mapY, maps.y, &error)) {
            std::fprintf(stderr, "media_bench: %s\n", error.c_str());
            return 1;
        }
        boost::property_tree::ptree config;
        config.put("cam_8.inputImageWidth", kInWidth);
        config.put("cam_8.inputImageHeight", kInHeight);
        config.put("cam_8.outputImageWidth", kOutWidth);
        config.put("cam_8.outputImageHeight", kOutHeight);
        config.put("cam_8.cropTopOffset", 0);
        config.put("cam_8.cropLeftOffset", 0);
        config.put("cam_8.encoderGopNumber", 30);
        config.put("cam_8.remapFilePathX", mapX);
        config.put("cam_8.remapFilePathY", mapY);
        CamPreprocess preprocess(0);
        check(preprocess.init(config, 8), "CamPreprocess::init");
        check(preprocess.allocateMemory(), "CamPreprocess::allocateMemory");
        std::remove(mapX.c_str());
        std::remove(mapY.c_str());
        if (!preprocess.isUndistortionEnabled()) {
            std::fprintf(stderr, "media_bench: undistortion did not come up\n");
            return 1;
        }
        std::vector<std::unique_ptr<Nv12>> frames;
        for (int t = 0; t < 4; ++t) {
            frames.push_back(std::make_unique<Nv12>(kInWidth, kInHeight));
            paint(*frames.back(), t);
        }
        figures.path = timeMedian(iterations, [&](int i) {
            *preprocess.getInputAddress() = frames[static_cast<std::size_t>(i) % frames.size()]->luma();
            preprocess.changeResizeSize(kOutWidth, kOutHeight);
            preprocess.runPreprocessPipeline(false);
            std::shared_ptr<mpu_venc_stream> stream;
            check(preprocess.runEncoderPipeline(&stream), "CamPreprocess::runEncoderPipeline");
        });
    }

    std::printf("media_bench: 1920 x 1080 NV12 camera frame, single thread, median of %d runs\n", iterations);
    std::printf("  %-34s %8.3f ms   (goal <= 4)\n", "remap (media unit)", figures.remap);
    std::printf("  %-34s %8.3f ms   (%.1fx slower; outputs differ by at most %d)\n",
                "remap (OpenCV cv::remap, 16SC2)", figures.opencvRemap, figures.opencvRemap / figures.remap,
                figures.remapDifference);
    std::printf("  %-34s %8.3f ms   (goal <= 1.5)\n", "crop-resize to 1280 x 720", figures.cropResize);
    std::printf("  %-34s %8.3f ms   (goal <= 0.3)\n", "NV12 to BGR, 1280 x 720", figures.bgr);
    std::printf("  %-34s %8.3f ms   (goal <= 4)\n", "H.264 encode, 1280 x 720", figures.encode);
    std::printf("  %-34s %8.3f ms   (goal <= 10)\n", "whole path (CamPreprocess)", figures.path);
    std::printf(
        "media_bench: remap_ms=%.3f opencv_remap_ms=%.3f crop_resize_ms=%.3f bgr_ms=%.3f encode_ms=%.3f "
        "path_ms=%.3f\n",
        figures.remap, figures.opencvRemap, figures.cropResize, figures.bgr, figures.encode, figures.path);
    return 0;
}
