// media_bench: how long each stage of one camera's per-frame path takes on this machine, single-threaded,
// for a 1920 x 1080 NV12 camera frame: undistortion remap (and OpenCV's fixed-point cv::remap with the same
// maps, as the reference), crop-resize to 1280 x 720, conversion to BGR, H.264 encoding (of every frame, and
// of key frames alone), and the whole path as the camera worker runs it through CamPreprocess.
//
// A Google Benchmark program: each stage is one benchmark, repeated; wall and CPU time (of the whole
// process, since the media unit's channels work on their own threads) per frame. After the benchmark's own
// table comes a summary of the repetitions' medians; its last line is for scripts:
//
//   media_bench: remap_ms=… opencv_remap_ms=… crop_resize_ms=… bgr_ms=… encode_ms=… path_ms=…
//
// Usage: media_bench [--repetitions N] [--benchmark_…]   (default 5 repetitions)

#include <benchmark/benchmark.h>

#include <algorithm>
#include <boost/property_tree/ptree.hpp>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <thread>
#include <vector>

#include "ara/log/logging.h"
#include "cam_preprocess.h"
#include "lens/lens_model.h"
#include "mpu/mpu_owners.h"
#include "mpu/mpu_sys.h"
#include "mpu/mpu_venc.h"
#include "mpu/mpu_vpc.h"
#include "vcu/os/files.h"

namespace {

constexpr std::uint32_t kInWidth = 1920;
constexpr std::uint32_t kInHeight = 1080;
constexpr std::uint32_t kOutWidth = 1280;
constexpr std::uint32_t kOutHeight = 720;
constexpr std::int32_t kEncoderChannel = 15;
constexpr std::int32_t kKeyFrameEncoderChannel = 14;

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

// An encoder channel set up as the preprocessor sets it up, with the epoll instance that waits for it.
class Encoder {
  public:
    Encoder(std::int32_t channel, std::uint32_t gop) : channel_(channel) {
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
        attr.rc_attr.gop = gop;
        attr.rc_attr.stat_time = 1;
        attr.rc_attr.src_frame_rate = attr.rc_attr.dst_frame_rate = 30;
        attr.rc_attr.max_bit_rate = 4000;
        attr.gop_attr = {MPU_VENC_GOP_NORMAL_P, 3};
        check(mpu_venc_create_chn(channel, &attr), "mpu_venc_create_chn");
        created_ = mpu::EncoderChannel(channel, nullptr);
        const mpu_venc_start_param start{-1};
        check(mpu_venc_start_chn(channel, &start), "mpu_venc_start_chn");
        running_ = mpu::RunningEncoder(channel, nullptr);
        std::int32_t epollFd = -1;
        check(mpu_sys_create_epoll(10, &epollFd), "mpu_sys_create_epoll");
        epoll_ = mpu::MediaEpoll(epollFd, nullptr);
        mpu_sys_epoll_event watch{MPU_SYS_EPOLL_IN, nullptr};
        check(mpu_sys_ctl_epoll(epollFd, MPU_SYS_EPOLL_CTL_ADD, mpu_venc_get_fd(channel), &watch),
              "mpu_sys_ctl_epoll");
    }

    // Encodes `picture` and gives its stream back.
    void encode(const Nv12& picture) {
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
        check(mpu_venc_send_frame(channel_, &frameInfo, -1), "mpu_venc_send_frame");
        mpu_sys_epoll_event events[3];
        std::int32_t count = 0;
        mpu_sys_wait_epoll(epoll_.get(), events, 3, 1000, &count);
        mpu_venc_stream stream{packs_, 16, 0, 0};
        check(mpu_venc_get_stream(channel_, &stream, -1), "mpu_venc_get_stream");
        check(mpu_venc_release_stream(channel_, &stream), "mpu_venc_release_stream");
    }

  private:
    std::int32_t channel_;
    mpu::EncoderChannel created_;
    mpu::RunningEncoder running_;
    mpu::MediaEpoll epoll_;
    mpu_venc_pack packs_[16];
};

// Everything the benchmarks work on, set up once.
struct MediaPath {
    mpu::MediaSystem mediaSystem;
    mpu::PictureChannel channel;
    lens::UndistortMaps maps;
    Nv12 frame{kInWidth, kInHeight};
    Nv12 undistorted{kInWidth, kInHeight};
    Nv12 resized{kOutWidth, kOutHeight};
    mpu::DmaBuffer lutMemory;
    mpu_remap_lut lut{};
    mpu_warp_transform_param warp{};
    mpu_vpc_crop_resize_region region{};
    mpu::DmaBuffer bgrMemory;
    mpu_vpc_pic_info bgr{};
    // OpenCV's fixed-point maps of both planes, and its output.
    cv::Mat lumaXY, lumaFraction, chromaXY, chromaFraction;
    cv::Mat cvLuma{static_cast<int>(kInHeight), static_cast<int>(kInWidth), CV_8UC1};
    cv::Mat cvChroma{static_cast<int>(kInHeight / 2), static_cast<int>(kInWidth / 2), CV_8UC2};
    std::vector<std::unique_ptr<Nv12>> moving;  // 1280 x 720 pictures for the encoder
    std::unique_ptr<Encoder> encoder;
    std::unique_ptr<Encoder> keyFrameEncoder;   // a group of one picture: key frames only
    std::vector<std::unique_ptr<Nv12>> frames;  // camera frames for the whole path
    std::unique_ptr<CamPreprocess> preprocess;

    MediaPath();
    void remap() {
        runTask(channel.get(), "remap",
                [&](std::uint32_t* id) { return mpu_vpc_lut_remap(channel.get(), &warp, &lut, id, -1); });
    }
    void opencvRemap() {
        const cv::Mat srcLuma(kInHeight, kInWidth, CV_8UC1, frame.luma());
        const cv::Mat srcChroma(kInHeight / 2, kInWidth / 2, CV_8UC2, frame.chroma());
        cv::remap(srcLuma, cvLuma, lumaXY, lumaFraction, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                  cv::Scalar(16));
        cv::remap(srcChroma, cvChroma, chromaXY, chromaFraction, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                  cv::Scalar(128, 128));
    }
    // The largest difference of a sample between our remap and OpenCV's.
    int remapDifference() {
        remap();
        opencvRemap();
        const cv::Mat ourLuma(kInHeight, kInWidth, CV_8UC1, undistorted.luma());
        const cv::Mat ourChroma(kInHeight / 2, kInWidth / 2, CV_8UC2, undistorted.chroma());
        double lumaDifference = 0;
        double chromaDifference = 0;
        cv::Mat difference;
        cv::absdiff(ourLuma, cvLuma, difference);
        cv::minMaxLoc(difference, nullptr, &lumaDifference);
        cv::absdiff(ourChroma, cvChroma, difference);
        cv::minMaxLoc(difference.reshape(1), nullptr, &chromaDifference);
        return static_cast<int>(std::max(lumaDifference, chromaDifference));
    }
    void cropResize() {
        runTask(channel.get(), "crop-resize", [&](std::uint32_t* id) {
            return mpu_vpc_crop_resize(channel.get(), &undistorted.info, &region, 1, id, -1);
        });
    }
    void convert() {
        runTask(channel.get(), "convert", [&](std::uint32_t* id) {
            return mpu_vpc_convert_color(channel.get(), &resized.info, &bgr, id, -1);
        });
    }
    void path(std::size_t i) {
        *preprocess->getInputAddress() = frames[i % frames.size()]->luma();
        preprocess->changeResizeSize(kOutWidth, kOutHeight);
        preprocess->runPreprocessPipeline(false);
        std::shared_ptr<mpu_venc_stream> stream;
        check(preprocess->runEncoderPipeline(&stream), "CamPreprocess::runEncoderPipeline");
    }
};

MediaPath::MediaPath() {
    check(mpu_sys_init(), "mpu_sys_init");
    mediaSystem = mpu::MediaSystem(0, nullptr);
    std::int32_t id = -1;
    const mpu_vpc_chn_attr channelAttr{};
    check(mpu_vpc_sys_create_chn(&id, &channelAttr), "mpu_vpc_sys_create_chn");
    channel = mpu::PictureChannel(id, nullptr);
    paint(frame, 0);

    // A wide-angle camera's calibration, viewed a little wider so that the corners are black.
    const lens::Intrinsics camera{1000.0, 1000.0, 959.5, 539.5};
    const lens::Distortion distortion{-0.30, 0.09, 0.0005, -0.0003, -0.01};
    lens::Intrinsics view = camera;
    view.fx *= 0.85;
    view.fy *= 0.85;
    maps = lens::makeUndistortMaps(kInWidth, kInHeight, camera, distortion, view);

    // Remap through the media unit's table.
    std::uint32_t lutSize = 0;
    check(mpu_vpc_get_lut_mem_size(kInWidth, kInHeight, &lutSize), "mpu_vpc_get_lut_mem_size");
    lutMemory = allocate(lutSize);
    lut = {kInWidth, kInHeight, kInWidth, kInHeight, lutMemory.address(), lutSize};
    mpu_remap_maps mapRecord{maps.x.data(), maps.y.data(), kInWidth * kInHeight * 4, kInWidth, kInHeight,
                             kInWidth,      kInHeight};
    check(mpu_vpc_get_remap_lut(&mapRecord, &lut), "mpu_vpc_get_remap_lut");
    const mpu_vpc_workspace workspace{MPU_VPC_WORKSPACE_REMAP, kInWidth, kInHeight, kInWidth, kInHeight};
    check(mpu_vpc_set_chn_workspace(channel.get(), &workspace, 1), "mpu_vpc_set_chn_workspace");
    warp = {frame.info, undistorted.info, MPU_VPC_INTERPOLATION_BILINEAR, 1};

    // OpenCV's maps: the chroma maps at the chroma samples' positions, as the media unit makes them.
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
    cv::convertMaps(cv::Mat(kInHeight, kInWidth, CV_32FC1, maps.x.data()),
                    cv::Mat(kInHeight, kInWidth, CV_32FC1, maps.y.data()), lumaXY, lumaFraction, CV_16SC2);
    cv::convertMaps(cv::Mat(kInHeight / 2, kInWidth / 2, CV_32FC1, chromaX.data()),
                    cv::Mat(kInHeight / 2, kInWidth / 2, CV_32FC1, chromaY.data()), chromaXY, chromaFraction,
                    CV_16SC2);

    // Crop-resize of the undistorted frame, and conversion of the result to BGR.
    region.dest_pic_info = resized.info;
    region.crop_region = {0, 0, kInWidth, kInHeight};
    region.resize_info = {kOutWidth, kOutHeight, MPU_VPC_INTERPOLATION_BILINEAR};
    bgrMemory = allocate(std::uint64_t{kOutWidth} * 3 * kOutHeight);
    bgr = {bgrMemory.address(), kOutWidth * 3 * kOutHeight, kOutWidth, kOutHeight, kOutWidth * 3,
           kOutHeight,          MPU_PIXEL_FORMAT_BGR_888};

    for (int t = 0; t < 8; ++t) {
        moving.push_back(std::make_unique<Nv12>(kOutWidth, kOutHeight));
        paint(*moving.back(), t);
    }
    encoder = std::make_unique<Encoder>(kEncoderChannel, 30);
    keyFrameEncoder = std::make_unique<Encoder>(kKeyFrameEncoderChannel, 1);

    // The whole per-frame path of one camera worker, undistortion on, through the preprocessor itself.
    const std::string directory = std::getenv("TMPDIR") != nullptr ? std::getenv("TMPDIR") : "/tmp";
    const std::string mapX = directory + "/media_bench_map_x.bin";
    const std::string mapY = directory + "/media_bench_map_y.bin";
    if (const auto written = lens::writeMapFiles(maps, mapX, mapY); !written) {
        std::fprintf(stderr, "media_bench: %s\n", written.Error().message.c_str());
        std::exit(1);
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
    preprocess = std::make_unique<CamPreprocess>(0);
    check(preprocess->init(config, 8), "CamPreprocess::init");
    check(preprocess->allocateMemory(), "CamPreprocess::allocateMemory");
    std::remove(mapX.c_str());
    std::remove(mapY.c_str());
    if (!preprocess->isUndistortionEnabled()) {
        std::fprintf(stderr, "media_bench: undistortion did not come up\n");
        std::exit(1);
    }
    for (int t = 0; t < 4; ++t) {
        frames.push_back(std::make_unique<Nv12>(kInWidth, kInHeight));
        paint(*frames.back(), t);
    }
}

// Google Benchmark's console table, and the medians of the repetitions, per benchmark, in ms.
class MedianCollector : public benchmark::ConsoleReporter {
  public:
    struct Times {
        double wall{NAN};
        double cpu{NAN};
    };

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                medians_[run.run_name.function_name] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    Times median(const std::string& name) const {
        const auto found = medians_.find(name);
        return found == medians_.end() ? Times{} : found->second;
    }

  private:
    std::map<std::string, Times> medians_;
};

int runBench(int argc, char** argv) {
    // A closed standard descriptor would be taken by the first file opened, which would get the output.
    vcu::os::OpenStandardDescriptors();
    int repetitions = 5;
    std::vector<char*> arguments{argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--repetitions") == 0 && i + 1 < argc) {
            repetitions = std::max(1, std::atoi(argv[++i]));
        } else {
            arguments.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) {
        return 2;
    }
    ara::log::InitLogging("BNCH", "media_bench", ara::log::LogLevel::kWarn, ara::log::LogMode::kConsole, "");
    cv::setNumThreads(1);
    MediaPath path;

    const auto add = [&](const char* name, auto body) {
        benchmark::RegisterBenchmark(name,
                                     [body](benchmark::State& state) {
                                         std::size_t i = 0;
                                         for (auto _ : state) {
                                             body(i++);
                                         }
                                     })
            ->Unit(benchmark::kMillisecond)
            ->MeasureProcessCPUTime()
            ->UseRealTime()
            ->Repetitions(repetitions)
            ->ReportAggregatesOnly(true);
    };
    add("remap", [&](std::size_t) { path.remap(); });
    add("opencv_remap", [&](std::size_t) { path.opencvRemap(); });
    add("crop_resize", [&](std::size_t) { path.cropResize(); });
    add("bgr", [&](std::size_t) { path.convert(); });
    add("encode", [&](std::size_t i) { path.encoder->encode(*path.moving[i % path.moving.size()]); });
    add("encode_key_frame",
        [&](std::size_t i) { path.keyFrameEncoder->encode(*path.moving[i % path.moving.size()]); });
    add("path", [&](std::size_t i) { path.path(i); });
    MedianCollector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    const int remapDifference = path.remapDifference();

    const auto wall = [&](const char* name) { return collector.median(name).wall; };
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    std::printf("\nmedia_bench: 1920 x 1080 NV12 camera frame, single thread, median of %d repetitions, ms\n",
                repetitions);
    std::printf("  %-34s %10s %10s\n", "stage", "wall", "CPU");
    const struct {
        const char* name;
        const char* label;
        const char* note;
    } rows[] = {{"remap", "remap (media unit)", "goal <= 4"},
                {"opencv_remap", "remap (OpenCV cv::remap, 16SC2)", ""},
                {"crop_resize", "crop-resize to 1280 x 720", "goal <= 1.5"},
                {"bgr", "NV12 to BGR, 1280 x 720", "goal <= 0.3"},
                {"encode", "H.264 encode, 1280 x 720", "goal <= 4"},
                {"encode_key_frame", "H.264 encode, key frames only", ""},
                {"path", "whole path (CamPreprocess)", "goal <= 10"}};
    for (const auto& row : rows) {
        const MedianCollector::Times times = collector.median(row.name);
        std::printf("  %-34s %10.3f %10.3f   %s\n", row.label, times.wall, times.cpu, row.note);
    }
    std::printf("  OpenCV's remap is %.1fx slower; the outputs differ by at most %d\n",
                wall("opencv_remap") / wall("remap"), remapDifference);
    std::printf(
        "  4 cameras x 30 fps of the whole path need %.1f %% of %u cores (capture, acquisition and "
        "publishing not included)\n",
        4 * 30 * collector.median("path").cpu / 1000.0 / cores * 100, cores);
    std::printf(
        "media_bench: remap_ms=%.3f opencv_remap_ms=%.3f crop_resize_ms=%.3f bgr_ms=%.3f encode_ms=%.3f "
        "path_ms=%.3f\n",
        wall("remap"), wall("opencv_remap"), wall("crop_resize"), wall("bgr"), wall("encode"), wall("path"));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return runBench(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "media_bench: stopped by an unexpected failure: %s\n", error.what());
    } catch (...) {
        std::fprintf(stderr, "media_bench: stopped by an unexpected failure\n");
    }
    return 70;
}
