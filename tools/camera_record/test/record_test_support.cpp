#include "record_test_support.h"

#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include "ffmpeg/handles.h"
#include "vcu/camera/frame_code.h"

// libx265 3.5 keeps some of its frame filter's buffers after the encoder is closed; that is the codec
// library's own leak, not the recorder's.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name LeakSanitizer looks for
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}

namespace camera_record::test {
namespace {

void Collect(AVCodecContext* encoder, AVPacket* packet, std::vector<EncodedFrame>& frames) {
    while (avcodec_receive_packet(encoder, packet) == 0) {
        frames.push_back(EncodedFrame{std::vector<std::uint8_t>(packet->data, packet->data + packet->size),
                                      (packet->flags & AV_PKT_FLAG_KEY) != 0});
        av_packet_unref(packet);
    }
}

}  // namespace

std::vector<EncodedFrame> EncodePattern(VideoCodec codec, int width, int height, int count, int gop,
                                        std::uint32_t firstCode) {
    std::vector<EncodedFrame> frames;
    const bool h264 = codec == VideoCodec::kH264;
    const AVCodec* encoderCodec = avcodec_find_encoder_by_name(h264 ? "libx264" : "libx265");
    if (encoderCodec == nullptr) {
        return frames;
    }
    ffmpeg::CodecContextPtr encoder(avcodec_alloc_context3(encoderCodec));
    ffmpeg::FramePtr picture(av_frame_alloc());
    ffmpeg::PacketPtr packet(av_packet_alloc());
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = AVRational{1, 30};
    encoder->framerate = AVRational{30, 1};
    encoder->gop_size = gop;
    encoder->max_b_frames = 0;
    encoder->thread_count = 1;
    av_opt_set(encoder->priv_data, "preset", "ultrafast", 0);
    av_opt_set(encoder->priv_data, "tune", "zerolatency", 0);
    const std::string params =
        "keyint=" + std::to_string(gop) + ":min-keyint=" + std::to_string(gop) +
        ":scenecut=0:bframes=0:repeat-headers=1" +
        (h264 ? std::string(":log=-1") : std::string(":open-gop=0:frame-threads=1:log-level=none"));
    av_opt_set(encoder->priv_data, h264 ? "x264-params" : "x265-params", params.c_str(), 0);
    if (avcodec_open2(encoder.get(), encoderCodec, nullptr) < 0) {
        return frames;
    }
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = width;
    picture->height = height;
    if (av_frame_get_buffer(picture.get(), 0) < 0) {
        return frames;
    }

    std::vector<std::uint8_t> nv12(static_cast<std::size_t>(width) * height * 3 / 2);
    for (int i = 0; i < count; ++i) {
        // A diagonal ramp that moves with the frame, so that P-frames carry something, and the code on top.
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                nv12[static_cast<std::size_t>(y) * width + x] =
                    static_cast<std::uint8_t>(16 + (x + y + 4 * i) % 200);
            }
        }
        std::memset(nv12.data() + static_cast<std::size_t>(width) * height, 128,
                    static_cast<std::size_t>(width) * height / 2);
        vcu::camera::drawFrameCode(nv12.data(), width, height, firstCode + static_cast<std::uint32_t>(i));

        av_frame_make_writable(picture.get());
        for (int y = 0; y < height; ++y) {
            std::memcpy(picture->data[0] + y * picture->linesize[0],
                        nv12.data() + static_cast<std::size_t>(y) * width, static_cast<std::size_t>(width));
        }
        for (int plane = 1; plane <= 2; ++plane) {
            for (int y = 0; y < height / 2; ++y) {
                std::memset(picture->data[plane] + y * picture->linesize[plane], 128,
                            static_cast<std::size_t>(width) / 2);
            }
        }
        picture->pts = i;
        if (avcodec_send_frame(encoder.get(), picture.get()) < 0) {
            return {};
        }
        Collect(encoder.get(), packet.get(), frames);
    }
    avcodec_send_frame(encoder.get(), nullptr);
    Collect(encoder.get(), packet.get(), frames);
    return frames;
}

MediaProbe ProbeMedia(const std::string& path, const char* format) {
    MediaProbe probe;
    AVFormatContext* raw = nullptr;
    const AVInputFormat* input = format != nullptr ? av_find_input_format(format) : nullptr;
    if (avformat_open_input(&raw, path.c_str(), input, nullptr) < 0) {
        probe.error = path + ": cannot be opened";
        return probe;
    }
    ffmpeg::InputContextPtr context(raw);
    if (avformat_find_stream_info(raw, nullptr) < 0 || raw->nb_streams != 1) {
        probe.error = path + ": no single stream";
        return probe;
    }
    const AVStream* stream = raw->streams[0];
    probe.width = stream->codecpar->width;
    probe.height = stream->codecpar->height;
    probe.codecName = avcodec_get_name(stream->codecpar->codec_id);
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    ffmpeg::CodecContextPtr decoder(avcodec_alloc_context3(codec));
    avcodec_parameters_to_context(decoder.get(), stream->codecpar);
    decoder->thread_count = 1;
    if (codec == nullptr || avcodec_open2(decoder.get(), codec, nullptr) < 0) {
        probe.error = path + ": no decoder";
        return probe;
    }
    ffmpeg::PacketPtr packet(av_packet_alloc());
    ffmpeg::FramePtr frame(av_frame_alloc());
    const auto drain = [&] {
        while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
            ++probe.decodedFrames;
            probe.codes.push_back(vcu::camera::readFrameCode(frame->data[0], frame->width, frame->height,
                                                             frame->linesize[0], 1.0));
            av_frame_unref(frame.get());
        }
    };
    while (av_read_frame(raw, packet.get()) >= 0) {
        if (packet->pts != AV_NOPTS_VALUE) {
            probe.ptsNs.push_back(av_rescale_q(packet->pts, stream->time_base, AVRational{1, 1000000000}));
        }
        probe.keyPackets.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
        avcodec_send_packet(decoder.get(), packet.get());
        av_packet_unref(packet.get());
        drain();
    }
    avcodec_send_packet(decoder.get(), nullptr);
    drain();
    return probe;
}

SmallDisk::SmallDisk(const std::string& directory, const std::string& size) : directory_(directory) {
    std::filesystem::create_directories(directory_);
    if (::mount("tmpfs", directory_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) {
        error_ = "cannot mount a tmpfs on " + directory_ + ": " + std::strerror(errno) +
                 " (the test needs root, or CAP_SYS_ADMIN)";
    }
}

SmallDisk::~SmallDisk() {
    if (error_.empty()) {
        ::umount2(directory_.c_str(), MNT_DETACH);
    }
}

}  // namespace camera_record::test
