#include "damaged_video.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include <cstdint>

#include "ffmpeg/handles.h"

namespace camera_test {

namespace {

// Flips a run of bytes in the middle of a P-frame's slice data. No flipped byte becomes 0, 1, 2 or 3, so no
// start code or emulation prevention is made where there was none: the damage stays inside the slice.
void Damage(AVPacket& packet) {
    const int start = packet.size / 2;
    const int end = std::min(packet.size, start + 12);
    for (int i = start; i < end; ++i) {
        std::uint8_t value = packet.data[i] ^ 0x5A;
        if (value < 4) {
            value |= 0x80;
        }
        packet.data[i] = value;
    }
}

}  // namespace

void WriteDamagedH264(const std::string& path, int width, int height, int frames) {
    AVFormatContext* rawOutput = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&rawOutput, nullptr, "matroska", path.c_str()), 0);
    const ffmpeg::OutputContextPtr output(rawOutput);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    ASSERT_NE(codec, nullptr) << "FFmpeg has no libx264 encoder";
    ffmpeg::CodecContextPtr encoder(avcodec_alloc_context3(codec));
    ASSERT_TRUE(encoder);
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = AVRational{1, 25};
    encoder->gop_size = frames;
    encoder->max_b_frames = 0;
    encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(encoder->priv_data, "preset", "veryfast", 0);
    ASSERT_GE(avcodec_open2(encoder.get(), codec, nullptr), 0);
    AVStream* stream = avformat_new_stream(output.get(), nullptr);
    ASSERT_NE(stream, nullptr);
    ASSERT_GE(avcodec_parameters_from_context(stream->codecpar, encoder.get()), 0);
    stream->time_base = encoder->time_base;
    ASSERT_GE(avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
    ASSERT_GE(avformat_write_header(output.get(), nullptr), 0);

    ffmpeg::PacketPtr packet(av_packet_alloc());
    int predicted = 0;
    const auto drain = [&] {
        while (avcodec_receive_packet(encoder.get(), packet.get()) == 0) {
            if ((packet->flags & AV_PKT_FLAG_KEY) == 0 && ++predicted % 4 == 0) {
                Damage(*packet);
            }
            av_packet_rescale_ts(packet.get(), encoder->time_base, stream->time_base);
            packet->stream_index = stream->index;
            av_interleaved_write_frame(output.get(), packet.get());
        }
    };
    ffmpeg::FramePtr frame(av_frame_alloc());
    frame->width = width;
    frame->height = height;
    frame->format = AV_PIX_FMT_YUV420P;
    ASSERT_GE(av_frame_get_buffer(frame.get(), 0), 0);
    for (int i = 0; i < frames; ++i) {
        ASSERT_GE(av_frame_make_writable(frame.get()), 0);
        // A texture that pans: the P-frames carry motion vectors and residuals worth damaging.
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                const int u = x + 3 * i;
                frame->data[0][y * frame->linesize[0] + x] =
                    static_cast<std::uint8_t>(((u * 7) ^ (y * 13)) + ((u / 8 + y / 8) % 2) * 60);
            }
        }
        for (int plane = 1; plane < 3; ++plane) {
            for (int y = 0; y < height / 2; ++y) {
                for (int x = 0; x < width / 2; ++x) {
                    frame->data[plane][y * frame->linesize[plane] + x] =
                        static_cast<std::uint8_t>(128 + ((x + i + plane * y) % 32) - 16);
                }
            }
        }
        frame->pts = i;
        ASSERT_GE(avcodec_send_frame(encoder.get(), frame.get()), 0);
        drain();
    }
    avcodec_send_frame(encoder.get(), nullptr);
    drain();
    ASSERT_GE(av_write_trailer(output.get()), 0);
    ASSERT_GT(predicted, 4) << "the encoder made too few P-frames to damage";
}

}  // namespace camera_test
