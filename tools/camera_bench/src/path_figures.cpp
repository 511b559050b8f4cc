#include "path_figures.h"

#include <time.h>

#include <algorithm>
#include <array>
#include <boost/property_tree/ptree.hpp>
#include <cmath>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include "cam_preprocess.h"
#include "ffmpeg/handles.h"
#include "process_usage.h"
#include "vcu/os/mapped_file.h"

namespace camera_bench {

using camera_tools::processCpuSeconds;

namespace {

constexpr unsigned char kSectionOffset = 8;
constexpr int kOutputWidth = 1280;
constexpr int kOutputHeight = 720;
constexpr int kGop = 30;
constexpr double kFps = 30.0;
constexpr std::int64_t kMaxBitRate = 4000 * 1000;  // the application's VBR cap
constexpr int kMemcpyRounds = 60;

using Result = PathFigures;

double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// One plane in double precision: `channels` interleaved samples per position.
struct FloatPlane {
    int width{0};
    int height{0};
    int channels{1};
    std::vector<double> samples;
    double at(int x, int y, int c) const {
        return samples[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                        static_cast<std::size_t>(x)) *
                           static_cast<std::size_t>(channels) +
                       static_cast<std::size_t>(c)];
    }
};

// Bilinear sample of an 8-bit plane at (x, y); neighbours outside the plane take `border`.
double sampleBilinear(const std::uint8_t* plane, int width, int height, int channels, int c, double x,
                      double y, double border) {
    const double fx = std::floor(x);
    const double fy = std::floor(y);
    const int x0 = static_cast<int>(fx);
    const int y0 = static_cast<int>(fy);
    const double ax = x - fx;
    const double ay = y - fy;
    const auto value = [&](int px, int py) -> double {
        if (px < 0 || py < 0 || px >= width || py >= height) {
            return border;
        }
        return plane[(static_cast<std::size_t>(py) * static_cast<std::size_t>(width) +
                      static_cast<std::size_t>(px)) *
                         static_cast<std::size_t>(channels) +
                     static_cast<std::size_t>(c)];
    };
    const double top = value(x0, y0) * (1 - ax) + value(x0 + 1, y0) * ax;
    const double bottom = value(x0, y0 + 1) * (1 - ax) + value(x0 + 1, y0 + 1) * ax;
    return top * (1 - ay) + bottom * ay;
}

// The exact undistortion of one NV12 frame: luma through the maps, chroma at its own sample positions
// (chroma sample (i, j) sits at luma (2i, 2j + 0.5): the mean of the maps at rows 2j and 2j + 1 of column
// 2i), black and neutral outside the frame.
void remapExact(const std::uint8_t* nv12, int width, int height, const float* mapX, const float* mapY,
                FloatPlane* luma, FloatPlane* chroma) {
    luma->width = width;
    luma->height = height;
    luma->channels = 1;
    luma->samples.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::size_t i =
                static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x);
            luma->samples[i] = sampleBilinear(nv12, width, height, 1, 0, mapX[i], mapY[i], 16.0);
        }
    }
    const int cw = width / 2;
    const int ch = height / 2;
    const std::uint8_t* uv = nv12 + static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    chroma->width = cw;
    chroma->height = ch;
    chroma->channels = 2;
    chroma->samples.resize(static_cast<std::size_t>(cw) * static_cast<std::size_t>(ch) * 2);
    for (int j = 0; j < ch; ++j) {
        for (int i = 0; i < cw; ++i) {
            const std::size_t upper = static_cast<std::size_t>(2 * j) * static_cast<std::size_t>(width) +
                                      static_cast<std::size_t>(2 * i);
            const std::size_t lower = upper + static_cast<std::size_t>(width);
            const double sx = (static_cast<double>(mapX[upper]) + mapX[lower]) * 0.25;
            const double sy = (static_cast<double>(mapY[upper]) + mapY[lower]) * 0.25 - 0.25;
            for (int c = 0; c < 2; ++c) {
                chroma->samples[(static_cast<std::size_t>(j) * static_cast<std::size_t>(cw) +
                                 static_cast<std::size_t>(i)) *
                                    2 +
                                static_cast<std::size_t>(c)] =
                    sampleBilinear(uv, cw, ch, 2, c, sx, sy, 128.0);
            }
        }
    }
}

// The exact bilinear resize of a whole plane with centre-aligned samples (source position (i + 0.5) x scale -
// 0.5, limited to the plane), rounded to 8 bits.
std::vector<std::uint8_t> resizeExact(const FloatPlane& source, int width, int height) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) *
                                  static_cast<std::size_t>(source.channels));
    const double sx = static_cast<double>(source.width) / width;
    const double sy = static_cast<double>(source.height) / height;
    for (int y = 0; y < height; ++y) {
        const double py = std::clamp((y + 0.5) * sy - 0.5, 0.0, static_cast<double>(source.height - 1));
        const int y0 = std::min(static_cast<int>(py), source.height - 2);
        const double ay = py - y0;
        for (int x = 0; x < width; ++x) {
            const double px = std::clamp((x + 0.5) * sx - 0.5, 0.0, static_cast<double>(source.width - 1));
            const int x0 = std::min(static_cast<int>(px), source.width - 2);
            const double ax = px - x0;
            for (int c = 0; c < source.channels; ++c) {
                const double top = source.at(x0, y0, c) * (1 - ax) + source.at(x0 + 1, y0, c) * ax;
                const double bottom = source.at(x0, y0 + 1, c) * (1 - ax) + source.at(x0 + 1, y0 + 1, c) * ax;
                const double value = top * (1 - ay) + bottom * ay;
                out[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                     static_cast<std::size_t>(x)) *
                        static_cast<std::size_t>(source.channels) +
                    static_cast<std::size_t>(c)] =
                    static_cast<std::uint8_t>(std::clamp(std::lround(value), 0L, 255L));
            }
        }
    }
    return out;
}

// Squared errors of decoded pictures against the reference, summed.
struct ErrorSum {
    double luma{0};
    double chroma{0};
    std::uint64_t lumaSamples{0};
    std::uint64_t chromaSamples{0};

    double psnr() const {
        return psnrOf((luma + chroma) /
                      static_cast<double>(std::max<std::uint64_t>(1, lumaSamples + chromaSamples)));
    }
    double psnrLuma() const {
        return psnrOf(luma / static_cast<double>(std::max<std::uint64_t>(1, lumaSamples)));
    }
};

// An H.264 decoder that compares every picture it decodes with the reference of its frame.
class CheckingDecoder {
  public:
    bool open() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        if (codec == nullptr) {
            return false;
        }
        context_.reset(avcodec_alloc_context3(codec));
        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        if (!context_ || !frame_ || !packet_) {
            return false;
        }
        context_->thread_count = 1;
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        return avcodec_open2(context_.get(), codec, nullptr) >= 0;
    }

    // Decodes one frame's stream and adds its errors against `luma` and `chroma` (NV12 of the output size).
    bool check(const std::vector<std::uint8_t>& stream, const std::vector<std::uint8_t>& luma,
               const std::vector<std::uint8_t>& chroma, ErrorSum* errors) {
        packet_->data = const_cast<std::uint8_t*>(stream.data());
        packet_->size = static_cast<int>(stream.size());
        if (avcodec_send_packet(context_.get(), packet_.get()) < 0) {
            return false;
        }
        if (avcodec_receive_frame(context_.get(), frame_.get()) < 0) {
            return false;
        }
        const AVFrame* f = frame_.get();
        if (f->width != kOutputWidth || f->height != kOutputHeight || f->format != AV_PIX_FMT_YUV420P) {
            av_frame_unref(frame_.get());
            return false;
        }
        for (int y = 0; y < kOutputHeight; ++y) {
            const std::uint8_t* row = f->data[0] + static_cast<std::ptrdiff_t>(y) * f->linesize[0];
            for (int x = 0; x < kOutputWidth; ++x) {
                const double d =
                    static_cast<double>(row[x]) -
                    luma[static_cast<std::size_t>(y) * kOutputWidth + static_cast<std::size_t>(x)];
                errors->luma += d * d;
            }
        }
        for (int y = 0; y < kOutputHeight / 2; ++y) {
            for (int c = 0; c < 2; ++c) {
                const std::uint8_t* row =
                    f->data[1 + c] + static_cast<std::ptrdiff_t>(y) * f->linesize[1 + c];
                for (int x = 0; x < kOutputWidth / 2; ++x) {
                    const double d = static_cast<double>(row[x]) -
                                     chroma[(static_cast<std::size_t>(y) * (kOutputWidth / 2) +
                                             static_cast<std::size_t>(x)) *
                                                2 +
                                            static_cast<std::size_t>(c)];
                    errors->chroma += d * d;
                }
            }
        }
        errors->lumaSamples += std::uint64_t{kOutputWidth} * kOutputHeight;
        errors->chromaSamples += std::uint64_t{kOutputWidth} * kOutputHeight / 2;
        av_frame_unref(frame_.get());
        return true;
    }

  private:
    ffmpeg::CodecContextPtr context_;
    ffmpeg::FramePtr frame_;
    ffmpeg::PacketPtr packet_;
};

// Adds the errors of an NV12 picture of the output size against the reference.
void addPictureErrors(const std::uint8_t* nv12, const std::vector<std::uint8_t>& luma,
                      const std::vector<std::uint8_t>& chroma, ErrorSum* errors) {
    const std::size_t lumaSamples = std::size_t{kOutputWidth} * kOutputHeight;
    for (std::size_t i = 0; i < lumaSamples; ++i) {
        const double d = static_cast<double>(nv12[i]) - luma[i];
        errors->luma += d * d;
    }
    for (std::size_t i = 0; i < lumaSamples / 2; ++i) {
        const double d = static_cast<double>(nv12[lumaSamples + i]) - chroma[i];
        errors->chroma += d * d;
    }
    errors->lumaSamples += lumaSamples;
    errors->chromaSamples += lumaSamples / 2;
}

void noRelease(void* /*opaque*/, std::uint8_t* /*data*/) {}

// The application's encoder settings before the platform took over the rate control: CRF under a VBV of the
// cap's rate and a buffer of one second of it.
constexpr X264Rate kTodaysRate{0, kMaxBitRate, kMaxBitRate};
// The VBVs with which x264 alone holds the cap in every second (maximum rate + buffer = cap), in CRF and in
// ABR at the maximum rate: the best of them is the quality x264 reaches within the cap our stream holds.
constexpr std::array<X264Rate, 4> kCapHoldingRates{
    {{0, kMaxBitRate * 7 / 8, kMaxBitRate / 8},
     {0, kMaxBitRate * 3 / 4, kMaxBitRate / 4},
     {kMaxBitRate * 7 / 8, kMaxBitRate * 7 / 8, kMaxBitRate / 8},
     {kMaxBitRate * 3 / 4, kMaxBitRate * 3 / 4, kMaxBitRate / 4}}};

// libx264 through libavcodec at the application's encoder settings as they were before the platform took
// over the rate control: ultrafast, zero latency, baseline, a GOP of 30 without scene-cut key frames, IDR
// frames with the stream headers, I/P quantiser ratio for a delta of 3; the rate as `rate` says.
class FloorEncoder {
  public:
    bool open(const X264Rate& rate) {
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        if (codec == nullptr) {
            return false;
        }
        context_.reset(avcodec_alloc_context3(codec));
        frame_.reset(av_frame_alloc());
        packet_.reset(av_packet_alloc());
        if (!context_ || !frame_ || !packet_) {
            return false;
        }
        AVCodecContext* c = context_.get();
        c->width = kOutputWidth;
        c->height = kOutputHeight;
        c->pix_fmt = AV_PIX_FMT_NV12;
        c->time_base = AVRational{1, static_cast<int>(kFps)};
        c->framerate = AVRational{static_cast<int>(kFps), 1};
        c->gop_size = kGop;
        c->keyint_min = kGop;
        c->max_b_frames = 0;
        c->thread_count = 1;
        c->rc_max_rate = rate.maxBitRate;
        c->rc_buffer_size = static_cast<int>(rate.bufferBits);
        c->bit_rate = rate.meanBitRate;
        const std::string params = "keyint=" + std::to_string(kGop) + ":min-keyint=" + std::to_string(kGop) +
                                   ":scenecut=0:bframes=0:repeat-headers=1:ipratio=1.414:log=0";
        if (av_opt_set(c->priv_data, "preset", "ultrafast", 0) < 0 ||
            av_opt_set(c->priv_data, "tune", "zerolatency", 0) < 0 ||
            av_opt_set(c->priv_data, "profile", "baseline", 0) < 0 ||
            av_opt_set(c->priv_data, "x264-params", params.c_str(), 0) < 0) {
            return false;
        }
        if (avcodec_open2(c, codec, nullptr) < 0) {
            return false;
        }
        frame_->format = AV_PIX_FMT_NV12;
        frame_->width = kOutputWidth;
        frame_->height = kOutputHeight;
        // The planes are the caller's: a reference that owns nothing keeps libavcodec from copying them.
        static std::uint8_t placeholder = 0;
        frame_->buf[0] = av_buffer_create(&placeholder, 1, noRelease, nullptr, AV_BUFFER_FLAG_READONLY);
        return frame_->buf[0] != nullptr;
    }

    // Encodes one NV12 picture of the output size; its stream goes to `stream`.
    bool encode(const std::uint8_t* nv12, std::int64_t index, std::vector<std::uint8_t>* stream) {
        frame_->data[0] = const_cast<std::uint8_t*>(nv12);
        frame_->data[1] = const_cast<std::uint8_t*>(nv12) + std::size_t{kOutputWidth} * kOutputHeight;
        frame_->linesize[0] = kOutputWidth;
        frame_->linesize[1] = kOutputWidth;
        frame_->pts = index;
        if (avcodec_send_frame(context_.get(), frame_.get()) < 0) {
            return false;
        }
        stream->clear();
        while (avcodec_receive_packet(context_.get(), packet_.get()) >= 0) {
            stream->insert(stream->end(), packet_->data, packet_->data + packet_->size);
            av_packet_unref(packet_.get());
        }
        return true;
    }

  private:
    ffmpeg::CodecContextPtr context_;
    ffmpeg::FramePtr frame_;
    ffmpeg::PacketPtr packet_;
};

// x264 alone at one rate setting, its stream checked against the exact output frame by frame.
struct Reference {
    explicit Reference(const X264Rate& r) : rate(r) {}
    bool open() { return encoder.open(rate) && decoder.open(); }
    bool encode(const std::uint8_t* nv12, std::int64_t index) {
        if (!encoder.encode(nv12, index, &stream)) {
            return false;
        }
        sizes.push_back(stream.size());
        return true;
    }
    bool check(const std::vector<std::uint8_t>& luma, const std::vector<std::uint8_t>& chroma) {
        return decoder.check(stream, luma, chroma, &errors);
    }

    X264Rate rate;
    FloorEncoder encoder;
    CheckingDecoder decoder;
    std::vector<std::uint8_t> stream;
    std::vector<std::size_t> sizes;
    ErrorSum errors;
};

boost::property_tree::ptree preprocessorConfig(const FrameFile& file, const std::string& mapX,
                                               const std::string& mapY) {
    const std::string name = "cam_" + std::to_string(kSectionOffset) + ".";
    boost::property_tree::ptree config;
    config.put(name + "inputImageWidth", file.width);
    config.put(name + "inputImageHeight", file.height);
    config.put(name + "outputImageWidth", kOutputWidth);
    config.put(name + "outputImageHeight", kOutputHeight);
    config.put(name + "cropTopOffset", 0);
    config.put(name + "cropLeftOffset", 0);
    config.put(name + "encoderGopNumber", kGop);
    config.put(name + "remapFilePathX", mapX);
    config.put(name + "remapFilePathY", mapY);
    return config;
}

double memcpyFloorUs(const std::uint8_t* frames, std::size_t frameBytes, int frameCount) {
    std::vector<std::uint8_t> target(frameBytes);
    // Warm the target's pages, then copy a different frame each time, as a camera buffer would arrive.
    std::memcpy(target.data(), frames, frameBytes);
    const double start = threadCpuMs();
    for (int i = 0; i < kMemcpyRounds; ++i) {
        std::memcpy(target.data(), frames + static_cast<std::size_t>(i % frameCount) * frameBytes,
                    frameBytes);
    }
    const double elapsed = threadCpuMs() - start;
    volatile std::uint8_t sink = target[frameBytes / 2];
    (void)sink;
    return elapsed * 1000.0 / kMemcpyRounds;
}

}  // namespace

double psnrOf(double meanSquaredError) {
    if (meanSquaredError <= 0) {
        return std::numeric_limits<double>::infinity();
    }
    return 10.0 * std::log10(255.0 * 255.0 / meanSquaredError);
}

std::optional<X264Outcome> bestHoldingCap(const std::vector<X264Outcome>& outcomes, double capKbps) {
    std::optional<X264Outcome> best;
    for (const X264Outcome& outcome : outcomes) {
        if (outcome.peakKbps <= capKbps && (!best || outcome.psnrDb > best->psnrDb)) {
            best = outcome;
        }
    }
    return best;
}

double peakRateKbps(const std::vector<std::size_t>& frameBytes, std::size_t window, double fps) {
    if (frameBytes.empty() || window == 0) {
        return 0.0;
    }
    const std::size_t span = std::min(window, frameBytes.size());
    std::size_t sum = 0;
    std::size_t best = 0;
    for (std::size_t i = 0; i < frameBytes.size(); ++i) {
        sum += frameBytes[i];
        if (i >= span) {
            sum -= frameBytes[i - span];
        }
        if (i + 1 >= span) {
            best = std::max(best, sum);
        }
    }
    return static_cast<double>(best) * 8.0 / 1000.0 * fps / static_cast<double>(span);
}

PathFigures measurePath(const FrameFile& file, const std::string& mapX, const std::string& mapY, int frames) {
    PathFigures figures;
    const auto fail = [&figures](const std::string& why) {
        figures.error = why;
        return figures;
    };
    const std::size_t frameBytes = file.frameBytes();
    const std::size_t mapBytes =
        static_cast<std::size_t>(file.width) * static_cast<std::size_t>(file.height) * 4;
    frames = std::min(frames, file.frames);
    if (frames <= 0) {
        return fail("no frames in " + file.path);
    }
    std::string problem;
    const std::optional<vcu::os::MappedFile> input =
        vcu::os::MappedFile::map(file.path, frameBytes * static_cast<std::size_t>(file.frames), &problem);
    if (!input) {
        return fail("cannot map the frames of " + file.path + ": " + problem);
    }
    const std::optional<vcu::os::MappedFile> xMap = vcu::os::MappedFile::map(mapX, mapBytes, &problem);
    if (!xMap) {
        return fail("cannot map the undistortion map " + mapX + ": " + problem);
    }
    const std::optional<vcu::os::MappedFile> yMap = vcu::os::MappedFile::map(mapY, mapBytes, &problem);
    if (!yMap) {
        return fail("cannot map the undistortion map " + mapY + ": " + problem);
    }
    const auto* frameData = static_cast<const std::uint8_t*>(input->data());
    // Every page mapped before anything is timed: the floors copy frames that are in memory.
    std::uint8_t touched = 0;
    for (std::size_t offset = 0; offset < input->size(); offset += 4096) {
        touched = static_cast<std::uint8_t>(touched ^ frameData[offset]);
    }
    volatile std::uint8_t keep = touched;
    (void)keep;
    figures.memcpyUs = memcpyFloorUs(frameData, frameBytes, file.frames);

    boost::property_tree::ptree config = preprocessorConfig(file, mapX, mapY);
    auto preprocess = std::make_unique<CamPreprocess>(0);
    try {
        if (preprocess->init(config, kSectionOffset) != 0 || preprocess->allocateMemory() != 0) {
            return fail("the undistorting preprocessor did not start (see the log above)");
        }
    } catch (const std::exception& failure) {
        return fail(std::string("the preprocessor refused its configuration: ") + failure.what());
    }
    // x264 alone: at today's settings (timed: the floor), aiming at the cap as its mean rate, and at the
    // settings that hold the cap.
    std::vector<Reference> references;
    references.emplace_back(kTodaysRate);
    references.emplace_back(X264Rate{kMaxBitRate, kMaxBitRate, kMaxBitRate});
    for (const X264Rate& rate : kCapHoldingRates) {
        references.emplace_back(rate);
    }
    CheckingDecoder ours;
    bool opened = ours.open();
    for (Reference& reference : references) {
        opened = opened && reference.open();
    }
    if (!opened) {
        return fail("libavcodec has no libx264 encoder or H.264 decoder");
    }
    const auto* resized =
        static_cast<const std::uint8_t*>(preprocess->cropResize().dest_pic_info.picture_address);

    std::vector<std::uint8_t> copy(frameBytes);
    std::vector<std::uint8_t> stream;
    std::vector<std::size_t> sizes;
    ErrorSum errors;
    ErrorSum pictureErrors;
    double pathMs = 0;
    double floorMs = 0;
    const auto stagesBefore = mpu::stageCpuTotals();
    FloatPlane luma;
    FloatPlane chroma;
    for (int i = 0; i < frames; ++i) {
        const std::uint8_t* frame = frameData + static_cast<std::size_t>(i) * frameBytes;
        // As a camera worker hands over its frame's buffer: in memory, not in the page cache's mapping.
        std::memcpy(copy.data(), frame, frameBytes);
        const double start = processCpuSeconds();
        *preprocess->getInputAddress() = copy.data();
        preprocess->changeResizeSize(kOutputWidth, kOutputHeight);
        if (preprocess->runPreprocessPipeline(false) != 0) {
            return fail("the preprocessing of frame " + std::to_string(i) + " failed (see the log above)");
        }
        std::shared_ptr<mpu_venc_stream> encoded;
        if (preprocess->runEncoderPipeline(&encoded) != 0 || !encoded) {
            return fail("the encoding of frame " + std::to_string(i) + " failed (see the log above)");
        }
        pathMs += (processCpuSeconds() - start) * 1000.0;
        stream.clear();
        for (std::uint32_t p = 0; p < encoded->pack_count; ++p) {
            const mpu_venc_pack& pack = encoded->pack[p];
            stream.insert(stream.end(), pack.addr + pack.offset, pack.addr + pack.len);
        }
        encoded.reset();
        sizes.push_back(stream.size());

        // Only the first, at today's settings, is timed: the floor.
        for (std::size_t r = 0; r < references.size(); ++r) {
            const double encodeStart = processCpuSeconds();
            if (!references[r].encode(resized, i)) {
                return fail("x264 alone refused frame " + std::to_string(i));
            }
            if (r == 0) {
                floorMs += (processCpuSeconds() - encodeStart) * 1000.0;
            }
        }

        remapExact(copy.data(), file.width, file.height, static_cast<const float*>(xMap->data()),
                   static_cast<const float*>(yMap->data()), &luma, &chroma);
        const std::vector<std::uint8_t> refLuma = resizeExact(luma, kOutputWidth, kOutputHeight);
        const std::vector<std::uint8_t> refChroma = resizeExact(chroma, kOutputWidth / 2, kOutputHeight / 2);
        addPictureErrors(resized, refLuma, refChroma, &pictureErrors);
        bool decoded = ours.check(stream, refLuma, refChroma, &errors);
        for (Reference& reference : references) {
            decoded = decoded && reference.check(refLuma, refChroma);
        }
        if (!decoded) {
            return fail("frame " + std::to_string(i) + " did not decode to a 1280 x 720 picture");
        }
    }
    const auto stagesAfter = mpu::stageCpuTotals();
    figures.frames = frames;
    figures.pathCpuMs = pathMs / frames;
    figures.x264FloorMs = floorMs / frames;
    for (std::size_t s = 0; s < mpu::kStageCount; ++s) {
        figures.stageCpuUs[s] =
            static_cast<double>(stagesAfter[s].cpuNs - stagesBefore[s].cpuNs) / 1000.0 / frames;
    }
    figures.psnrDb = errors.psnr();
    figures.psnrLumaDb = errors.psnrLuma();
    figures.picturePsnrDb = pictureErrors.psnr();
    const auto meanKbps = [frames](const std::vector<std::size_t>& bytes) {
        double total = 0;
        for (const std::size_t b : bytes) {
            total += static_cast<double>(b);
        }
        return total * 8.0 / 1000.0 * kFps / frames;
    };
    figures.kbps = meanKbps(sizes);
    figures.peakKbps = peakRateKbps(sizes, static_cast<std::size_t>(kFps), kFps);
    std::vector<X264Outcome> outcomes;
    for (const Reference& reference : references) {
        outcomes.push_back(X264Outcome{reference.rate, reference.errors.psnr(), meanKbps(reference.sizes),
                                       peakRateKbps(reference.sizes, static_cast<std::size_t>(kFps), kFps)});
    }
    figures.x264Floor = outcomes[0];
    figures.x264AtCap = outcomes[1];
    const std::vector<X264Outcome> holding(outcomes.begin() + 2, outcomes.end());
    figures.x264HoldingCap = bestHoldingCap(holding, static_cast<double>(kMaxBitRate) / 1000.0);
    figures.ok = true;
    return figures;
}

}  // namespace camera_bench
