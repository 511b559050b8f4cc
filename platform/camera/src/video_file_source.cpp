extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <cstdint>
#include <string>

#include "ffmpeg/handles.h"
#include "ffmpeg/log_route.h"
#include "frame_source.h"
#include "vcu/os/files.h"

namespace vcu::camera::internal {
namespace {

// Decodes the file's first video stream and scales its pictures to the camera's size.
class VideoFileSource final : public FrameSource {
  public:
    // Opens the file and decodes its first picture, so that a file that cannot be played fails here.
    static SourceResult open(const std::string& path, int width, int height);
    ~VideoFileSource() override;

    bool fill(std::uint8_t* nv12, int width, int height, std::uint64_t frameNumber) override;
    std::uint64_t concealedPictures() const override { return concealment_.Pictures(); }
    std::uint64_t concealedErrors() const override { return concealment_.Errors(); }

  private:
    VideoFileSource(const std::string& path, int width, int height);

    bool decodeNext();
    bool rewind();

    int width_;
    int height_;
    ffmpeg::ConcealmentWatch concealment_;  // outlives the decoder it watches
    ffmpeg::InputContextPtr format_;
    ffmpeg::CodecContextPtr decoder_;
    ffmpeg::FramePtr frame_;
    ffmpeg::PacketPtr packet_;
    ffmpeg::ScaleContextPtr scaler_;
    int streamIndex_{-1};
    bool framePending_{false};  // frame_ holds a picture that no fill has used yet
    std::uint64_t framesSinceRewind_{0};
};

}  // namespace

SourceResult OpenVideoFile(const std::string& path, int width, int height) {
    return VideoFileSource::open(path, width, height);
}

SourceResult VideoFileSource::open(const std::string& path, int width, int height) {
    std::unique_ptr<VideoFileSource> source(new VideoFileSource(path, width, height));
    const auto failure = [&path](const std::string& what, int error) {
        return SourceFailure("video file " + path + ": " + what + " (" + ffmpeg::AvErrorText(error) + ")");
    };

    // The source is read round and round: a FIFO or a device would block the open or never loop.
    if (const std::string problem = vcu::os::RegularFileProblem(path); !problem.empty()) {
        return SourceFailure("video file " + path + " " + problem);
    }
    AVFormatContext* format = nullptr;
    int result = avformat_open_input(&format, path.c_str(), nullptr, nullptr);
    if (result < 0) {
        return failure("cannot be opened", result);
    }
    source->format_.reset(format);
    result = avformat_find_stream_info(format, nullptr);
    if (result < 0) {
        return failure("stream information cannot be read", result);
    }
    const AVCodec* codec = nullptr;
    result = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (result < 0) {
        return failure("has no video stream that can be decoded", result);
    }
    source->streamIndex_ = result;
    for (unsigned int i = 0; i < format->nb_streams; ++i) {
        if (static_cast<int>(i) != source->streamIndex_) {
            format->streams[i]->discard = AVDISCARD_ALL;
        }
    }

    source->decoder_.reset(avcodec_alloc_context3(codec));
    source->frame_.reset(av_frame_alloc());
    source->packet_.reset(av_packet_alloc());
    if (!source->decoder_ || !source->frame_ || !source->packet_) {
        return failure("decoder cannot be allocated", AVERROR(ENOMEM));
    }
    result = avcodec_parameters_to_context(source->decoder_.get(),
                                           format->streams[source->streamIndex_]->codecpar);
    if (result >= 0) {
        source->concealment_.Attach(source->decoder_.get());
        result = avcodec_open2(source->decoder_.get(), codec, nullptr);
    }
    if (result < 0) {
        return failure(std::string("decoder ") + codec->name + " cannot be opened", result);
    }
    if (!source->decodeNext()) {
        return SourceFailure("video file " + path + ": no picture could be decoded");
    }
    source->framePending_ = true;
    return std::unique_ptr<FrameSource>(std::move(source));
}

VideoFileSource::VideoFileSource(const std::string& path, int width, int height)
    : FrameSource("video file " + path), width_(width), height_(height) {
    ffmpeg::RouteLogToAra();
}

VideoFileSource::~VideoFileSource() {
    // The decoder's last complaints held back as repeats are reported with the source that caused them.
    decoder_.reset();
    ffmpeg::FlushLogRepeats();
}

bool VideoFileSource::fill(std::uint8_t* nv12, int width, int height, std::uint64_t /*frameNumber*/) {
    if (nv12 == nullptr || width != width_ || height != height_) {
        return false;
    }
    if (!framePending_ && !decodeNext()) {
        return false;
    }
    framePending_ = false;

    AVFrame* frame = frame_.get();
    scaler_.reset(sws_getCachedContext(scaler_.release(), frame->width, frame->height,
                                       static_cast<AVPixelFormat>(frame->format), width_, height_,
                                       AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler_) {
        return false;
    }
    std::uint8_t* planes[4] = {nv12, nv12 + static_cast<std::ptrdiff_t>(width_) * height_, nullptr, nullptr};
    const int strides[4] = {width_, width_, 0, 0};
    const int rows =
        sws_scale(scaler_.get(), frame->data, frame->linesize, 0, frame->height, planes, strides);
    return rows == height_;
}

bool VideoFileSource::decodeNext() {
    AVCodecContext* decoder = decoder_.get();
    for (;;) {
        int result = avcodec_receive_frame(decoder, frame_.get());
        if (result == 0) {
            ++framesSinceRewind_;
            return true;
        }
        if (result == AVERROR_EOF) {
            // A pass over the whole file without a picture would loop for ever.
            if (framesSinceRewind_ == 0 || !rewind()) {
                return false;
            }
            continue;
        }
        if (result != AVERROR(EAGAIN)) {
            return false;
        }
        result = av_read_frame(format_.get(), packet_.get());
        if (result == AVERROR_EOF) {
            // Flush the pictures the decoder still holds before starting over.
            avcodec_send_packet(decoder, nullptr);
            continue;
        }
        if (result < 0) {
            return false;
        }
        if (packet_->stream_index == streamIndex_) {
            result = avcodec_send_packet(decoder, packet_.get());
        }
        av_packet_unref(packet_.get());
        // A damaged packet costs its picture, not the stream.
        if (result < 0 && result != AVERROR_INVALIDDATA) {
            return false;
        }
    }
}

bool VideoFileSource::rewind() {
    const AVStream* stream = format_->streams[streamIndex_];
    const std::int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
    if (av_seek_frame(format_.get(), streamIndex_, start, AVSEEK_FLAG_BACKWARD) < 0) {
        return false;
    }
    avcodec_flush_buffers(decoder_.get());
    framesSinceRewind_ = 0;
    return true;
}

}  // namespace vcu::camera::internal
