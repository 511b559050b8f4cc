// The sending side of the DDS interoperability tests: encodes a moving picture per camera with x264 and
// writes the access units through the DDS binding (the event's DDS deployment from CM_CONFIG_FILE_PATH), once
// every camera's topic has a reader.
//
//   dds_video_publisher <frames> <width> <height> <intervalUs> [fillerBytes]
//
// fillerBytes: an H.264 filler-data unit of that size after each access unit (decoders skip it), to give
// the frames the size of 720p ones.
//
// Prints "matched" when every topic has a reader, "streaming" after the first round, and at the end
// "sent <n> longest <us> us counters <DdsCounters::Describe>", then stays until the readers are gone (at
// most 20 s). Exit status 0 when every frame was sent.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include <time.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "ffmpeg/handles.h"
#include "impl_type_camerah265image.h"
#include "vrt/cm/dds/dds_transport.h"
#include "vrt/cm/deployment/deployment_manifest.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kImageEvent = 35045;

// One camera's x264 encoder: zero latency, no B-frames, a key frame with its parameter sets every 10 frames.
struct CameraEncoder {
    CameraEncoder(int index, int width, int height) : camera(index) {
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        context.reset(avcodec_alloc_context3(codec));
        context->width = width;
        context->height = height;
        context->pix_fmt = AV_PIX_FMT_YUV420P;
        context->time_base = AVRational{1, 30};
        context->gop_size = 10;
        context->max_b_frames = 0;
        av_opt_set(context->priv_data, "preset", "ultrafast", 0);
        av_opt_set(context->priv_data, "tune", "zerolatency", 0);
        av_opt_set(context->priv_data, "x264-params", "repeat-headers=1", 0);
        ok = avcodec_open2(context.get(), codec, nullptr) == 0;
        picture->format = AV_PIX_FMT_YUV420P;
        picture->width = width;
        picture->height = height;
        ok = ok && av_frame_get_buffer(picture.get(), 0) == 0;
    }

    // The access unit of frame `index`, or empty.
    std::vector<std::uint8_t> Encode(int index, bool& key) {
        av_frame_make_writable(picture.get());
        for (int y = 0; y < picture->height; ++y) {
            for (int x = 0; x < picture->width; ++x) {
                picture->data[0][y * picture->linesize[0] + x] =
                    static_cast<std::uint8_t>(x + y + 3 * index + 40 * camera);
            }
        }
        for (int plane = 1; plane < 3; ++plane) {
            for (int y = 0; y < picture->height / 2; ++y) {
                std::fill_n(picture->data[plane] + y * picture->linesize[plane], picture->width / 2,
                            static_cast<std::uint8_t>(128 + camera * 10));
            }
        }
        picture->pts = index;
        std::vector<std::uint8_t> bytes;
        if (avcodec_send_frame(context.get(), picture.get()) == 0 &&
            avcodec_receive_packet(context.get(), packet.get()) == 0) {
            bytes.assign(packet->data, packet->data + packet->size);
            key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
            av_packet_unref(packet.get());
        }
        return bytes;
    }

    int camera;
    ffmpeg::CodecContextPtr context;
    ffmpeg::FramePtr picture{av_frame_alloc()};
    ffmpeg::PacketPtr packet{av_packet_alloc()};
    bool ok{false};
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::cerr << "usage: dds_video_publisher <frames> <width> <height> <intervalUs> [fillerBytes]\n";
        return 64;
    }
    const int frames = std::stoi(argv[1]);
    const int width = std::stoi(argv[2]);
    const int height = std::stoi(argv[3]);
    const auto interval = std::chrono::microseconds(std::stoi(argv[4]));
    const std::size_t filler = argc > 5 ? std::stoul(argv[5]) : 0U;

    auto manifest =
        vrt::cm::deployment::DeploymentManifest::Load(vrt::cm::deployment::DeploymentManifest::DefaultPath());
    if (!manifest.HasValue()) {
        std::cout << manifest.Error().Describe() << std::endl;
        return 2;
    }
    const auto* event = manifest.Value().FindEvent(kImageEvent);
    if (event == nullptr || event->transports.count(vrt::cm::type::DriverType::DDS) == 0U) {
        std::cout << "no DDS deployment of event " << kImageEvent << std::endl;
        return 2;
    }
    const auto& deployment = *event->transports.at(vrt::cm::type::DriverType::DDS).dds;
    auto created = vrt::cm::dds::DdsEventPublisher::Create(
        DdsCodec(static_cast<const CameraH265Image*>(nullptr)), deployment);
    if (!created.HasValue()) {
        std::cout << created.Error().message << std::endl;
        return 2;
    }
    auto& publisher = *created.Value();
    publisher.Offer();
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (publisher.TopicsWithReaders() < deployment.cameras.size() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (publisher.TopicsWithReaders() < deployment.cameras.size()) {
        std::cout << "readers on " << publisher.TopicsWithReaders() << " topics only" << std::endl;
        return 2;
    }
    std::cout << "matched" << std::endl;

    std::vector<CameraEncoder> encoders;
    encoders.reserve(deployment.cameras.size());
    for (std::size_t camera = 0; camera < deployment.cameras.size(); ++camera) {
        encoders.emplace_back(static_cast<int>(camera), width, height);
        if (!encoders.back().ok) {
            std::cout << "no x264 encoder" << std::endl;
            return 2;
        }
    }
    int sent = 0;
    std::chrono::nanoseconds longest{0};
    CameraH265Image image;
    image.typeCode = 20;
    for (int index = 0; index < frames; ++index) {
        for (CameraEncoder& encoder : encoders) {
            image.cameraId = static_cast<std::int8_t>(encoder.camera);
            image.data = encoder.Encode(index, image.isKeyFrame);
            if (filler > 0U && !image.data.empty()) {
                const std::uint8_t unit[] = {0, 0, 0, 1, 0x0C};
                image.data.insert(image.data.end(), unit, unit + sizeof(unit));
                image.data.insert(image.data.end(), filler, 0xFF);
                image.data.push_back(0x80);
            }
            timespec now{};
            ::clock_gettime(CLOCK_REALTIME, &now);
            image.header.sec = static_cast<std::int32_t>(now.tv_sec);
            image.header.nsec = static_cast<std::int32_t>(now.tv_nsec);
            const auto before = Clock::now();
            if (!image.data.empty() && publisher.Write(&image) == vrt::cm::SendStatus::kSent) {
                ++sent;
            }
            longest = std::max(longest, Clock::now() - before);
        }
        if (index == 0) {
            std::cout << "streaming" << std::endl;
        }
        std::this_thread::sleep_for(interval);
    }
    std::cout << "sent " << sent << " longest "
              << std::chrono::duration_cast<std::chrono::microseconds>(longest).count() << " us counters "
              << publisher.Counters().Describe() << std::endl;
    const auto lingerEnd = Clock::now() + std::chrono::seconds(20);
    while (publisher.HasSubscribers() && Clock::now() < lingerEnd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    publisher.StopOffer();
    return sent == frames * static_cast<int>(encoders.size()) ? 0 : 1;
}
