#include "stream_writer.h"

#include <cerrno>
#include <cstring>
#include <utility>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
}

namespace camera_record {

RecordResult<StreamWriter> StreamWriter::Open(const std::string& basePath,
                                              const StreamParameters& parameters) {
    using R = RecordResult<StreamWriter>;
    if (parameters.codec == VideoCodec::kUnknown || parameters.width <= 0 || parameters.height <= 0 ||
        parameters.extradata.empty()) {
        return R::FromError(
            {RecordErrc::kFormat, basePath + ": no stream parameters (codec, picture size, parameter sets)"});
    }
    StreamWriter writer;
    writer.elementaryPath_ = basePath + "." + CodecName(parameters.codec);
    writer.mp4Path_ = basePath + ".mp4";

    writer.elementary_.open(writer.elementaryPath_, std::ios::binary | std::ios::trunc);
    if (!writer.elementary_) {
        return R::FromError({RecordErrc::kOpen, writer.elementaryPath_ + ": cannot be created"});
    }

    const auto failure = [&writer](RecordErrc code, const std::string& what, int result) {
        return R::FromError({code, writer.mp4Path_ + ": " + what + " (" + ffmpeg::AvErrorText(result) + ")"});
    };
    AVFormatContext* raw = nullptr;
    int result = avformat_alloc_output_context2(&raw, nullptr, "mp4", writer.mp4Path_.c_str());
    if (result < 0 || raw == nullptr) {
        return failure(RecordErrc::kLibrary, "no MP4 muxer", result);
    }
    writer.mp4_.reset(raw);
    AVStream* stream = avformat_new_stream(raw, nullptr);
    writer.packet_.reset(av_packet_alloc());
    if (stream == nullptr || !writer.packet_) {
        return failure(RecordErrc::kLibrary, "cannot be set up", AVERROR(ENOMEM));
    }
    stream->time_base = AVRational{1, kTimeBase};
    AVCodecParameters* codecpar = stream->codecpar;
    codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    codecpar->codec_id = parameters.codec == VideoCodec::kH264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC;
    codecpar->width = parameters.width;
    codecpar->height = parameters.height;
    // Annex-B parameter sets: the muxer turns them into the avcC/hvcC box and the frames into
    // length-prefixed samples.
    const std::size_t extradataSize = parameters.extradata.size();
    codecpar->extradata =
        static_cast<std::uint8_t*>(av_mallocz(extradataSize + AV_INPUT_BUFFER_PADDING_SIZE));
    if (codecpar->extradata == nullptr) {
        return failure(RecordErrc::kLibrary, "cannot be set up", AVERROR(ENOMEM));
    }
    std::memcpy(codecpar->extradata, parameters.extradata.data(), extradataSize);
    codecpar->extradata_size = static_cast<int>(extradataSize);

    // Fragmented: an empty index first, then self-contained fragments (from each key frame, at most a second
    // long, and at every Flush), so that a file cut short by a crash or a full disk plays up to its last
    // whole fragment; and the muxer holds no index of every frame until the end.
    result = av_opt_set(raw->priv_data, "movflags", kMp4Flags, 0);
    if (result >= 0) {
        result = av_opt_set_int(raw->priv_data, "frag_duration", kFragmentMicroseconds, 0);
    }
    if (result < 0) {
        return failure(RecordErrc::kLibrary, std::string("refuses movflags ") + kMp4Flags, result);
    }
    result = avio_open(&raw->pb, writer.mp4Path_.c_str(), AVIO_FLAG_WRITE);
    if (result < 0) {
        return failure(RecordErrc::kOpen, "cannot be created", result);
    }
    result = avformat_write_header(raw, nullptr);
    if (result < 0) {
        return failure(RecordErrc::kWrite, "header cannot be written", result);
    }
    writer.open_ = true;
    return R::FromValue(std::move(writer));
}

StreamWriter& StreamWriter::operator=(StreamWriter&& other) noexcept {
    if (this != &other) {
        Close();
        elementaryPath_ = std::move(other.elementaryPath_);
        mp4Path_ = std::move(other.mp4Path_);
        elementary_ = std::move(other.elementary_);
        mp4_ = std::move(other.mp4_);
        packet_ = std::move(other.packet_);
        firstStampNs_ = other.firstStampNs_;
        lastPts_ = other.lastPts_;
        lastDuration_ = other.lastDuration_;
        framesWritten_ = other.framesWritten_;
        stampsAdjusted_ = other.stampsAdjusted_;
        lastError_ = std::move(other.lastError_);
        lastErrno_ = other.lastErrno_;
        open_ = std::exchange(other.open_, false);
    }
    return *this;
}

StreamWriter::~StreamWriter() {
    Close();
}

bool StreamWriter::Write(const std::uint8_t* data, std::size_t size, std::int64_t stampNs,
                         bool randomAccess) {
    if (!open_ || data == nullptr || size == 0) {
        lastError_ = "nothing to write";
        return false;
    }
    bool ok = true;
    errno = 0;
    elementary_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!elementary_) {
        Failed(elementaryPath_ + ": write failed", errno);
        elementary_.clear();
        ok = false;
    }

    if (framesWritten_ == 0) {
        firstStampNs_ = stampNs;
    }
    AVStream* stream = mp4_->streams[0];
    std::int64_t pts = av_rescale_q(stampNs - firstStampNs_, AVRational{1, 1000000000}, stream->time_base);
    if (pts <= lastPts_) {
        pts = lastPts_ + 1;
        ++stampsAdjusted_;
    }
    if (lastPts_ >= 0) {
        lastDuration_ = pts - lastPts_;
    }

    AVPacket* packet = packet_.get();
    int result = av_new_packet(packet, static_cast<int>(size));
    if (result < 0) {
        lastError_ = mp4Path_ + ": no packet (" + ffmpeg::AvErrorText(result) + ")";
        return false;
    }
    std::memcpy(packet->data, data, size);
    packet->stream_index = 0;
    packet->pts = pts;
    packet->dts = pts;  // no B-frames: decode order is presentation order
    // The muxer takes each sample's duration from the next one's time stamp; this one is for the last.
    packet->duration = lastDuration_;
    packet->flags = randomAccess ? AV_PKT_FLAG_KEY : 0;
    result = av_write_frame(mp4_.get(), packet);
    av_packet_unref(packet);
    // The muxer's output is buffered: a failed write of the buffer shows in its I/O context.
    if (result >= 0 && mp4_->pb != nullptr && mp4_->pb->error < 0) {
        result = mp4_->pb->error;
    }
    if (result < 0) {
        Failed(mp4Path_ + ": frame cannot be written", result < 0 && result > -4096 ? -result : 0);
        ok = false;
    } else {
        lastPts_ = pts;
    }
    ++framesWritten_;
    return ok;
}

void StreamWriter::Failed(const std::string& what, int error) {
    lastErrno_ = error;
    lastError_ = error != 0 ? what + " (" + std::strerror(error) + ")" : what;
}

bool StreamWriter::Flush() {
    if (!open_) {
        return true;
    }
    bool ok = true;
    errno = 0;
    if (!elementary_.flush()) {
        Failed(elementaryPath_ + ": write failed", errno);
        elementary_.clear();
        ok = false;
    }
    // The fragment of the frames since the last one goes out whole, then the I/O buffer.
    const int result = av_write_frame(mp4_.get(), nullptr);
    if (result < 0) {
        Failed(mp4Path_ + ": fragment cannot be written", result > -4096 ? -result : 0);
        ok = false;
    }
    if (mp4_->pb != nullptr) {
        avio_flush(mp4_->pb);
        if (mp4_->pb->error < 0) {
            Failed(mp4Path_ + ": write failed", -mp4_->pb->error);
            ok = false;
        }
    }
    return ok;
}

bool StreamWriter::Close() {
    if (!open_) {
        return true;
    }
    open_ = false;
    bool ok = true;
    elementary_.close();
    if (elementary_.fail()) {
        lastError_ = elementaryPath_ + ": cannot be completed";
        ok = false;
    }
    const int result = av_write_trailer(mp4_.get());
    if (result < 0) {
        lastError_ = mp4Path_ + ": index cannot be written (" + ffmpeg::AvErrorText(result) + ")";
        ok = false;
    }
    mp4_.reset();
    return ok;
}

}  // namespace camera_record
