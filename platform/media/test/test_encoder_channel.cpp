#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "ffmpeg/handles.h"
#include "media_test_support.h"
#include "mpu/annex_b.h"
#include "mpu/mpu_venc.h"

// libx265 3.5 keeps some of its frame filter's buffers after the encoder is closed; that is the codec
// library's own leak, not the channel's.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name LeakSanitizer looks for
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libx265.so\n";
}

namespace {

using mpu_test::Picture;

constexpr std::int32_t kChannel = 3;
constexpr std::uint32_t kWidth = 1280;
constexpr std::uint32_t kHeight = 720;
constexpr std::uint32_t kGop = 5;

mpu_venc_chn_attr channelAttributes(std::uint32_t payload, std::uint32_t gop) {
    mpu_venc_chn_attr attr{};
    attr.venc_attr = {payload, kWidth, kHeight, 5 * kWidth * kHeight, 0, 1, kWidth, kHeight};
    attr.rc_attr.rc_mode = payload == MPU_PAYLOAD_TYPE_H264 ? MPU_VENC_RC_H264_VBR : MPU_VENC_RC_H265_VBR;
    attr.rc_attr.gop = gop;
    attr.rc_attr.stat_time = 1;
    attr.rc_attr.src_frame_rate = 30;
    attr.rc_attr.dst_frame_rate = 30;
    attr.rc_attr.max_bit_rate = 4000;
    attr.gop_attr = {MPU_VENC_GOP_NORMAL_P, 3};
    return attr;
}

// A moving test pattern: gradients, a bright square that travels and coloured bands.
Picture testPattern(std::uint32_t frame) {
    Picture p = Picture::nv12(kWidth, kHeight);
    for (std::uint32_t v = 0; v < kHeight; ++v) {
        for (std::uint32_t u = 0; u < kWidth; ++u) {
            const bool square = u >= 100 + 8 * frame && u < 300 + 8 * frame && v >= 200 && v < 400;
            p.y(u, v) = square ? 220 : static_cast<std::uint8_t>(40 + (u + v + 4 * frame) % 160);
        }
    }
    for (std::uint32_t j = 0; j < kHeight / 2; ++j) {
        for (std::uint32_t i = 0; i < kWidth / 2; ++i) {
            p.uv(i, j, 0) = static_cast<std::uint8_t>(128 + 50 * ((i / 80) % 2 == 0 ? 1 : -1));
            p.uv(i, j, 1) = static_cast<std::uint8_t>(128 + 40 * ((j / 60) % 2 == 0 ? -1 : 1));
        }
    }
    return p;
}

mpu_video_frame_info frameOf(const Picture& p, std::uint32_t timeRef, std::uint64_t pts) {
    mpu_video_frame_info info{};
    mpu_video_frame& f = info.v_frame;
    f.width = p.info.picture_width;
    f.height = p.info.picture_height;
    f.field = MPU_VIDEO_FIELD_FRAME;
    f.pixel_format = MPU_PIXEL_FORMAT_YUV_SEMIPLANAR_420;
    f.color_gamut = MPU_COLOR_GAMUT_BT709;
    f.width_stride[0] = f.width_stride[1] = f.width_stride[2] = p.info.picture_width_stride;
    auto* luma = static_cast<std::uint8_t*>(p.info.picture_address);
    f.virt_addr[0] = luma;
    f.virt_addr[1] = luma + std::size_t{p.info.picture_width_stride} * p.info.picture_height_stride;
    f.time_ref = timeRef;
    f.pts = pts;
    info.mod_id = 8;
    return info;
}

struct Fetched {
    std::vector<std::uint8_t> bytes;
    std::vector<mpu_venc_pack> packs;
    std::uint32_t timeRef;
};

std::vector<std::uint32_t> nalTypes(const std::vector<std::uint8_t>& bytes, bool h265) {
    std::vector<std::uint32_t> types;
    mpu::annex_b::forEachNalHeader(bytes.data(), bytes.size(), [&](std::size_t header) {
        types.push_back(h265 ? mpu::annex_b::h265NalType(bytes[header])
                             : mpu::annex_b::h264NalType(bytes[header]));
    });
    return types;
}

bool contains(const std::vector<std::uint32_t>& values, std::uint32_t wanted) {
    return std::find(values.begin(), values.end(), wanted) != values.end();
}

// Decodes a stream of Annex B frames back into luma planes.
class Decoder {
  public:
    explicit Decoder(bool h265) {
        const AVCodec* codec = avcodec_find_decoder(h265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
        context_.reset(avcodec_alloc_context3(codec));
        avcodec_open2(context_.get(), codec, nullptr);
    }

    // PSNR of the decoded luma against `original`; -1 when nothing decoded.
    double decode(std::vector<std::uint8_t> bytes, Picture& original) {
        packet_->data = bytes.data();
        packet_->size = static_cast<int>(bytes.size());
        const bool decoded = avcodec_send_packet(context_.get(), packet_.get()) >= 0 &&
                             avcodec_receive_frame(context_.get(), frame_.get()) >= 0;
        // The packet only borrowed the bytes.
        packet_->data = nullptr;
        packet_->size = 0;
        if (!decoded) {
            return -1;
        }
        EXPECT_EQ(frame_->width, static_cast<int>(kWidth));
        EXPECT_EQ(frame_->height, static_cast<int>(kHeight));
        double squares = 0;
        for (std::uint32_t v = 0; v < kHeight; ++v) {
            for (std::uint32_t u = 0; u < kWidth; ++u) {
                const double d = frame_->data[0][v * frame_->linesize[0] + u] - original.y(u, v);
                squares += d * d;
            }
        }
        const double mse = squares / (kWidth * kHeight);
        return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
    }

  private:
    ffmpeg::CodecContextPtr context_;
    ffmpeg::FramePtr frame_{av_frame_alloc()};
    ffmpeg::PacketPtr packet_{av_packet_alloc()};
};

class EncoderChannelTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(mpu_sys_init(), MPU_OK); }
    void TearDown() override {
        close();
        mpu_venc_mod_param defaults{MPU_VENC_MOD_H264, {}};
        mpu_venc_set_mod_param(&defaults);
        mpu_sys_exit();
    }

    // Stops and destroys the channel and closes its epoll instance.
    void close() {
        mpu_venc_stop_chn(kChannel);
        mpu_venc_destroy_chn(kChannel);
        if (epollFd >= 0) {
            mpu_sys_close_epoll(epollFd);
            epollFd = -1;
        }
    }

    void open(std::uint32_t payload, std::uint32_t gop = kGop) {
        const mpu_venc_chn_attr attr = channelAttributes(payload, gop);
        ASSERT_EQ(mpu_venc_create_chn(kChannel, &attr), MPU_OK);
        const mpu_venc_start_param start{-1};
        ASSERT_EQ(mpu_venc_start_chn(kChannel, &start), MPU_OK);
        ASSERT_EQ(mpu_sys_create_epoll(10, &epollFd), MPU_OK);
        const int fd = mpu_venc_get_fd(kChannel);
        ASSERT_GE(fd, 0);
        mpu_sys_epoll_event watch{MPU_SYS_EPOLL_IN, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd))};
        ASSERT_EQ(mpu_sys_ctl_epoll(epollFd, MPU_SYS_EPOLL_CTL_ADD, fd, &watch), MPU_OK);
    }

    // Sends a frame, waits for the descriptor and fetches and releases the stream.
    Fetched encode(const Picture& picture, std::uint32_t timeRef, std::uint64_t pts) {
        const mpu_video_frame_info frame = frameOf(picture, timeRef, pts);
        EXPECT_EQ(mpu_venc_send_frame(kChannel, &frame, -1), MPU_OK);
        mpu_sys_epoll_event events[3];
        std::int32_t count = 0;
        EXPECT_EQ(mpu_sys_wait_epoll(epollFd, events, 3, 5000, &count), MPU_OK);
        EXPECT_EQ(count, 1);
        Fetched fetched = fetchWaiting();
        for (const mpu_venc_pack& pack : fetched.packs) {
            EXPECT_EQ(pack.pts, pts);
        }
        return fetched;
    }

    // Fetches and releases the oldest stream, which the caller knows is waiting.
    Fetched fetchWaiting() {
        Fetched fetched{};
        mpu_venc_chn_status status{};
        EXPECT_EQ(mpu_venc_query_status(kChannel, &status), MPU_OK);
        EXPECT_GE(status.cur_packs, 1u);
        std::vector<mpu_venc_pack> packs(status.cur_packs);
        mpu_venc_stream stream{packs.data(), status.cur_packs, 0, 0};
        EXPECT_EQ(mpu_venc_get_stream(kChannel, &stream, 0), MPU_OK);
        for (std::uint32_t i = 0; i < stream.pack_count; ++i) {
            const mpu_venc_pack& pack = packs[i];
            fetched.bytes.insert(fetched.bytes.end(), pack.addr + pack.offset, pack.addr + pack.len);
        }
        fetched.packs.assign(packs.begin(), packs.begin() + stream.pack_count);
        fetched.timeRef = stream.time_ref;
        EXPECT_EQ(mpu_venc_release_stream(kChannel, &stream), MPU_OK);
        EXPECT_EQ(mpu_venc_release_stream(kChannel, &stream), MPU_ERR_NOT_PERMITTED) << "released once only";
        return fetched;
    }

    // A GOP of 0 makes the first frame the only key frame.
    void encodesDecodableKeyFramesAtGopPositions(std::uint32_t payload,
                                                 const std::vector<std::uint32_t>& headers,
                                                 std::vector<std::uint32_t> idrTypes,
                                                 std::uint32_t gop = kGop) {
        open(payload, gop);
        const bool h265 = payload == MPU_PAYLOAD_TYPE_H265;
        Decoder decoder(h265);
        for (std::uint32_t n = 0; n < 2 * kGop + 1; ++n) {
            Picture picture = testPattern(n);
            const Fetched fetched = encode(picture, 2 * (n + 1), 1000000000ull * n + 7);
            SCOPED_TRACE(testing::Message() << "frame " << n);
            EXPECT_EQ(fetched.timeRef, 2 * (n + 1));
            const std::vector<std::uint32_t> types = nalTypes(fetched.bytes, h265);
            const bool key = gop == 0 ? n == 0 : n % gop == 0;
            EXPECT_EQ(fetched.packs.front().key_frame, key ? 1u : 0u);
            EXPECT_EQ(contains(types, idrTypes[0]) || contains(types, idrTypes.back()), key);
            for (const std::uint32_t header : headers) {
                EXPECT_EQ(contains(types, header), key) << "stream header " << header;
            }
            EXPECT_GT(decoder.decode(fetched.bytes, picture), 30.0);
        }
    }

    std::int32_t epollFd{-1};
};

// What tells one codec's stream apart: its NAL unit types of stream headers and of IDR slices.
struct Codec {
    const char* name;
    std::uint32_t payload;
    std::vector<std::uint32_t> headers;
    std::vector<std::uint32_t> idrTypes;
};

// Its name, for test names and messages.
void PrintTo(const Codec& codec, std::ostream* out) {
    *out << codec.name;
}

class EncoderChannelCodecTest : public EncoderChannelTest, public ::testing::WithParamInterface<Codec> {};

TEST_P(EncoderChannelCodecTest, FramesDecodeBackWithHeadersOnEveryIdrFrame) {
    encodesDecodableKeyFramesAtGopPositions(GetParam().payload, GetParam().headers, GetParam().idrTypes);
}

TEST_P(EncoderChannelCodecTest, GopOfZeroGivesOneKeyFrameAtTheStart) {
    encodesDecodableKeyFramesAtGopPositions(GetParam().payload, GetParam().headers, GetParam().idrTypes, 0);
}

INSTANTIATE_TEST_SUITE_P(Codecs, EncoderChannelCodecTest,
                         ::testing::Values(Codec{"H264", MPU_PAYLOAD_TYPE_H264, {7, 8}, {5}},
                                           Codec{"H265", MPU_PAYLOAD_TYPE_H265, {32, 33, 34}, {19, 20}}),
                         [](const ::testing::TestParamInfo<Codec>& param) { return param.param.name; });

// A thread waiting on the channel's descriptor encodes a waiting frame itself while the encoder thread takes
// the others: frames sent ahead all come out once, in order, and decode.
TEST_F(EncoderChannelTest, FramesSentAheadComeOutInOrderWhoeverEncodesThem) {
    constexpr std::uint32_t kSentAhead = 4;  // as many as the channel queues
    open(MPU_PAYLOAD_TYPE_H264);
    Decoder decoder(false);
    std::vector<Picture> pictures;
    for (std::uint32_t round = 0; round < 3; ++round) {
        pictures.clear();
        for (std::uint32_t n = 0; n < kSentAhead; ++n) {
            pictures.push_back(testPattern(round * 10 + n));
        }
        for (std::uint32_t n = 0; n < pictures.size(); ++n) {
            const mpu_video_frame_info frame = frameOf(pictures[n], 2 * (n + 1), n);
            ASSERT_EQ(mpu_venc_send_frame(kChannel, &frame, -1), MPU_OK);
        }
        for (std::uint32_t n = 0; n < pictures.size(); ++n) {
            SCOPED_TRACE(testing::Message() << "round " << round << ", frame " << n);
            mpu_sys_epoll_event events[3];
            std::int32_t count = 0;
            ASSERT_EQ(mpu_sys_wait_epoll(epollFd, events, 3, 5000, &count), MPU_OK);
            ASSERT_EQ(count, 1);
            const Fetched fetched = fetchWaiting();
            EXPECT_EQ(fetched.timeRef, 2 * (n + 1));
            EXPECT_GT(decoder.decode(fetched.bytes, pictures[n]), 30.0);
        }
    }
}

// A channel whose caller has come to wait at once after every frame leaves the next frames to their callers;
// a frame whose caller then only polls the descriptor, or one sent behind a full queue, must still be
// encoded, and every stream come out once, in order.
TEST_F(EncoderChannelTest, FramesLeftByACallerWhoUsedToWaitAreStillEncoded) {
    constexpr std::uint32_t kSentAhead = 5;  // one more than the channel queues
    open(MPU_PAYLOAD_TYPE_H264);
    std::vector<Picture> pictures;
    for (std::uint32_t n = 0; n < 3 + kSentAhead; ++n) {
        pictures.push_back(testPattern(n));
    }
    const auto send = [&](std::uint32_t n) {
        const mpu_video_frame_info frame = frameOf(pictures[n], 2 * (n + 1), n);
        return mpu_venc_send_frame(kChannel, &frame, -1);
    };
    // The descriptor polled as a caller without the platform's epoll would, then the stream fetched.
    const auto fetch = [&](std::uint32_t n) {
        pollfd descriptor{mpu_venc_get_fd(kChannel), POLLIN, 0};
        ASSERT_EQ(::poll(&descriptor, 1, 10000), 1) << "frame " << n << " was never encoded";
        EXPECT_EQ(fetchWaiting().timeRef, 2 * (n + 1));
    };
    for (std::uint32_t n = 0; n < 2; ++n) {
        encode(pictures[n], 2 * (n + 1), n);
    }
    ASSERT_EQ(send(2), MPU_OK);
    fetch(2);
    for (std::uint32_t n = 0; n < 2; ++n) {
        encode(pictures[n], 2 * (n + 1), n);
    }
    std::thread sender([&] {
        for (std::uint32_t n = 3; n < 3 + kSentAhead; ++n) {
            EXPECT_EQ(send(n), MPU_OK);
        }
    });
    for (std::uint32_t n = 3; n < 3 + kSentAhead; ++n) {
        fetch(n);
    }
    sender.join();
}

TEST_F(EncoderChannelTest, OneStreamBufferPutsAFrameInOnePacket) {
    mpu_venc_mod_param param{MPU_VENC_MOD_H264, {}};
    ASSERT_EQ(mpu_venc_get_mod_param(&param), MPU_OK);
    EXPECT_EQ(param.codec.one_stream_buffer, 0u);
    const Picture picture = testPattern(0);
    {
        open(MPU_PAYLOAD_TYPE_H264);
        const Fetched split = encode(picture, 2, 0);
        EXPECT_GE(split.packs.size(), 3u) << "SPS, PPS and slice apart";
        EXPECT_EQ(split.packs.back().frame_end, 1u);
        EXPECT_EQ(split.packs.front().data_type, 7u);
        close();
    }
    param.codec.one_stream_buffer = 1;
    ASSERT_EQ(mpu_venc_set_mod_param(&param), MPU_OK);
    open(MPU_PAYLOAD_TYPE_H264);
    const Fetched whole = encode(picture, 2, 0);
    ASSERT_EQ(whole.packs.size(), 1u);
    EXPECT_EQ(whole.packs[0].frame_end, 1u);
}

TEST_F(EncoderChannelTest, HandsOutNothingThatWasNotEncoded) {
    open(MPU_PAYLOAD_TYPE_H264);
    mpu_venc_pack pack{};
    mpu_venc_stream stream{&pack, 1, 0, 0};
    EXPECT_EQ(mpu_venc_get_stream(kChannel, &stream, 0), MPU_ERR_BUF_EMPTY);
    EXPECT_EQ(mpu_venc_release_stream(kChannel, &stream), MPU_ERR_NOT_PERMITTED);
    pollfd descriptor{mpu_venc_get_fd(kChannel), POLLIN, 0};
    EXPECT_EQ(::poll(&descriptor, 1, 0), 0);

    Picture wrongSize = Picture::nv12(640, 360);
    mpu_video_frame_info frame = frameOf(wrongSize, 2, 0);
    EXPECT_EQ(mpu_venc_send_frame(kChannel, &frame, -1), MPU_ERR_BAD_PICTURE);
    const Picture picture = testPattern(0);
    frame = frameOf(picture, 2, 0);
    frame.v_frame.virt_addr[1] = nullptr;
    EXPECT_EQ(mpu_venc_send_frame(kChannel, &frame, -1), MPU_ERR_BAD_PICTURE);

    frame = frameOf(picture, 2, 0);
    ASSERT_EQ(mpu_venc_send_frame(kChannel, &frame, -1), MPU_OK);
    mpu_venc_stream tooSmall{&pack, 0, 0, 0};
    EXPECT_EQ(mpu_venc_get_stream(kChannel, &tooSmall, 5000), MPU_ERR_ILLEGAL_PARAM);
    EXPECT_EQ(mpu_venc_destroy_chn(kChannel), MPU_ERR_NOT_PERMITTED) << "still started";
    ASSERT_EQ(mpu_venc_stop_chn(kChannel), MPU_OK);
    EXPECT_EQ(mpu_venc_send_frame(kChannel, &frame, -1), MPU_ERR_NOT_PERMITTED);
}

TEST_F(EncoderChannelTest, RefusesAttributesItCannotHonour) {
    const auto refused = [](void (*spoil)(mpu_venc_chn_attr&)) {
        mpu_venc_chn_attr attr = channelAttributes(MPU_PAYLOAD_TYPE_H264, kGop);
        spoil(attr);
        return mpu_venc_create_chn(kChannel, &attr);
    };
    EXPECT_EQ(refused([](mpu_venc_chn_attr& a) { a.venc_attr.type = 97; }), MPU_ERR_ILLEGAL_PARAM);
    EXPECT_EQ(refused([](mpu_venc_chn_attr& a) { a.rc_attr.gop = 65537; }), MPU_ERR_ILLEGAL_PARAM);
    EXPECT_EQ(refused([](mpu_venc_chn_attr& a) { a.rc_attr.rc_mode = MPU_VENC_RC_H265_VBR; }),
              MPU_ERR_ILLEGAL_PARAM);
    EXPECT_EQ(refused([](mpu_venc_chn_attr& a) { a.venc_attr.pic_width = 1281; }), MPU_ERR_ILLEGAL_PARAM);
    EXPECT_EQ(refused([](mpu_venc_chn_attr& a) { a.venc_attr.buf_size = 1000; }), MPU_ERR_ILLEGAL_PARAM);
    EXPECT_EQ(refused([](mpu_venc_chn_attr& a) { a.rc_attr.dst_frame_rate = 60; }), MPU_ERR_ILLEGAL_PARAM);
    EXPECT_EQ(mpu_venc_get_fd(kChannel), -1);
}

// Streams that find no room are dropped while the consumer releases others: the encoder thread and the
// consumer both touch the channel's stream bookkeeping. Run under ThreadSanitizer (scripts/test.sh), this
// catches any of it read or written outside the channel's lock.
TEST_F(EncoderChannelTest, DropsStreamsForWantOfRoomWhileTheConsumerReleases) {
    constexpr std::uint32_t kSide = 64;
    mpu_venc_chn_attr attr = channelAttributes(MPU_PAYLOAD_TYPE_H264, kGop);
    attr.venc_attr = {MPU_PAYLOAD_TYPE_H264, kSide, kSide, 5 * kSide * kSide, 0, 1, kSide, kSide};
    ASSERT_EQ(mpu_venc_create_chn(kChannel, &attr), MPU_OK);
    const mpu_venc_start_param start{-1};
    ASSERT_EQ(mpu_venc_start_chn(kChannel, &start), MPU_OK);
    Picture picture = Picture::nv12(kSide, kSide);

    struct Held {
        std::vector<mpu_venc_pack> packs;
        mpu_venc_stream stream;
    };
    const auto fetch = [](std::deque<Held>& held, std::int32_t timeoutMs) {
        held.push_back(Held{std::vector<mpu_venc_pack>(4), {}});
        Held& next = held.back();
        next.stream = mpu_venc_stream{next.packs.data(), 4, 0, 0};
        if (mpu_venc_get_stream(kChannel, &next.stream, timeoutMs) != MPU_OK) {
            held.pop_back();
            return false;
        }
        return true;
    };

    // Every stream slot held: the frames sent from now on find no room until one is released.
    std::deque<Held> held;
    for (std::uint32_t frame = 0; frame < 16; ++frame) {
        const mpu_video_frame_info info = frameOf(picture, frame, frame);
        ASSERT_EQ(mpu_venc_send_frame(kChannel, &info, -1), MPU_OK);
        ASSERT_TRUE(fetch(held, 5000)) << frame;
    }

    std::atomic<bool> sending{true};
    std::thread consumer([&] {
        std::uint32_t round = 0;
        while (sending.load()) {
            if (!held.empty()) {
                EXPECT_EQ(mpu_venc_release_stream(kChannel, &held.front().stream), MPU_OK);
                held.pop_front();
            }
            fetch(held, 20);
            std::this_thread::sleep_for(std::chrono::microseconds(50 * (++round % 7)));
        }
    });
    for (std::uint32_t frame = 16; frame < 400; ++frame) {
        const mpu_video_frame_info info = frameOf(picture, frame, frame);
        ASSERT_EQ(mpu_venc_send_frame(kChannel, &info, -1), MPU_OK);
    }
    sending = false;
    consumer.join();

    mpu_venc_chn_status status{};
    ASSERT_EQ(mpu_venc_query_status(kChannel, &status), MPU_OK);
    EXPECT_GT(status.dropped_pics, 0u) << "no stream was dropped: the test did not reach the drop";
    for (Held& stream : held) {
        EXPECT_EQ(mpu_venc_release_stream(kChannel, &stream.stream), MPU_OK);
    }
    // The encoder reads the picture in place: it goes before the picture does.
    EXPECT_EQ(mpu_venc_stop_chn(kChannel), MPU_OK);
    EXPECT_EQ(mpu_venc_destroy_chn(kChannel), MPU_OK);
}

}  // namespace
