#include "encoder_channel.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "media_log.h"
#include "mpu/annex_b.h"

namespace mpu::internal {
namespace {

constexpr std::uint32_t kMaxBitRateKbps = 800000;
constexpr std::uint32_t kMaxQp = 51;
constexpr std::uint32_t kMaxFrameRate = 240;
constexpr std::uint32_t kMaxStatTime = 60;
constexpr std::int32_t kMaxIpQpDelta = 10;
constexpr std::uint32_t kMaxStreamBuffer = 512u << 20;

std::int32_t refuseAttribute(const char* field, std::int64_t value) {
    mediaLogger().LogError(ARA_LOG_HERE) << "mpu_venc_create_chn: refused " << field << " " << value;
    return MPU_ERR_ILLEGAL_PARAM;
}

bool validSide(std::uint32_t side) {
    return side >= MPU_VENC_MIN_PICTURE_SIDE && side <= MPU_MAX_PICTURE_SIDE && side % 2 == 0;
}

std::int32_t settingsFrom(const mpu_venc_chn_attr& attr, const mpu_venc_codec_mod_param& moduleParam,
                          EncoderSettings* settings) {
    const mpu_venc_attr& venc = attr.venc_attr;
    const mpu_venc_rc_attr& rc = attr.rc_attr;
    EncoderSettings s;
    if (venc.type == MPU_PAYLOAD_TYPE_H264) {
        s.codec = Codec::kH264;
    } else if (venc.type == MPU_PAYLOAD_TYPE_H265) {
        s.codec = Codec::kH265;
    } else {
        return refuseAttribute("payload type", venc.type);
    }
    if (!validSide(venc.pic_width)) {
        return refuseAttribute("picture width", venc.pic_width);
    }
    if (!validSide(venc.pic_height)) {
        return refuseAttribute("picture height", venc.pic_height);
    }
    if (venc.max_pic_width < venc.pic_width || venc.max_pic_height < venc.pic_height) {
        return refuseAttribute("maximum picture size below the picture size, width", venc.max_pic_width);
    }
    if (venc.buf_size < std::uint64_t{venc.pic_width} * venc.pic_height || venc.buf_size > kMaxStreamBuffer) {
        return refuseAttribute("stream buffer size", venc.buf_size);
    }
    if (venc.profile > (s.codec == Codec::kH264 ? MPU_VENC_PROFILE_HIGH : MPU_VENC_PROFILE_BASELINE)) {
        return refuseAttribute("profile", venc.profile);
    }
    if (venc.is_by_frame != 1) {
        return refuseAttribute("stream by frame", venc.is_by_frame);
    }
    const bool h264 = s.codec == Codec::kH264;
    switch (rc.rc_mode) {
        case MPU_VENC_RC_H264_CBR:
        case MPU_VENC_RC_H265_CBR:
            s.rateControl = RateControl::kConstant;
            break;
        case MPU_VENC_RC_H264_VBR:
        case MPU_VENC_RC_H265_VBR:
            s.rateControl = RateControl::kVariable;
            break;
        case MPU_VENC_RC_H264_FIXQP:
        case MPU_VENC_RC_H265_FIXQP:
            s.rateControl = RateControl::kFixedQp;
            break;
        default:
            return refuseAttribute("rate-control mode", rc.rc_mode);
    }
    if ((rc.rc_mode < MPU_VENC_RC_H265_CBR) != h264) {
        return refuseAttribute("rate-control mode of the other codec", rc.rc_mode);
    }
    if (rc.gop > MPU_VENC_MAX_GOP) {
        return refuseAttribute("GOP length", rc.gop);
    }
    if (rc.stat_time == 0 || rc.stat_time > kMaxStatTime) {
        return refuseAttribute("statistics time", rc.stat_time);
    }
    if (rc.src_frame_rate == 0 || rc.src_frame_rate > kMaxFrameRate) {
        return refuseAttribute("source frame rate", rc.src_frame_rate);
    }
    if (rc.dst_frame_rate == 0 || rc.dst_frame_rate > rc.src_frame_rate) {
        return refuseAttribute("destination frame rate", rc.dst_frame_rate);
    }
    if (s.rateControl == RateControl::kConstant && (rc.bit_rate < 2 || rc.bit_rate > kMaxBitRateKbps)) {
        return refuseAttribute("bit rate", rc.bit_rate);
    }
    if (s.rateControl == RateControl::kVariable) {
        if (rc.max_bit_rate < 2 || rc.max_bit_rate > kMaxBitRateKbps) {
            return refuseAttribute("maximum bit rate", rc.max_bit_rate);
        }
        if (rc.max_qp > kMaxQp || rc.min_qp > rc.max_qp) {
            return refuseAttribute("quantiser range, maximum", rc.max_qp);
        }
    }
    if (s.rateControl == RateControl::kFixedQp && (rc.i_qp > kMaxQp || rc.p_qp > kMaxQp)) {
        return refuseAttribute("fixed quantiser, P", rc.p_qp);
    }
    if (attr.gop_attr.gop_mode != MPU_VENC_GOP_NORMAL_P) {
        return refuseAttribute("GOP mode", attr.gop_attr.gop_mode);
    }
    if (attr.gop_attr.ip_qp_delta < 0 || attr.gop_attr.ip_qp_delta > kMaxIpQpDelta) {
        return refuseAttribute("I/P quantiser delta", attr.gop_attr.ip_qp_delta);
    }
    s.width = venc.pic_width;
    s.height = venc.pic_height;
    s.profile = venc.profile;
    s.speedPreset = moduleParam.speed_preset;
    s.framesPerSecond = rc.dst_frame_rate;
    s.gop = rc.gop;
    s.bitRateKbps = rc.bit_rate;
    s.maxBitRateKbps = rc.max_bit_rate;
    s.statTimeSeconds = rc.stat_time;
    s.minQp = rc.min_qp;
    s.maxQp = rc.max_qp;
    s.iQp = rc.i_qp;
    s.pQp = rc.p_qp;
    s.ipQpDelta = attr.gop_attr.ip_qp_delta;
    *settings = s;
    return MPU_OK;
}

std::int32_t checkFrame(const mpu_video_frame& frame, const EncoderSettings& settings) {
    const char* problem = nullptr;
    std::int64_t value = 0;
    if (frame.width != settings.width || frame.height != settings.height) {
        problem = "size differs from the channel's, width";
        value = frame.width;
    } else if (frame.pixel_format != MPU_PIXEL_FORMAT_YUV_SEMIPLANAR_420) {
        problem = "pixel format";
        value = frame.pixel_format;
    } else if (frame.field != MPU_VIDEO_FIELD_FRAME) {
        problem = "field";
        value = frame.field;
    } else if (frame.video_format != 0 || frame.compress_mode != 0 || frame.dynamic_range != 0) {
        problem = "layout, compression or dynamic range; video format";
        value = frame.video_format;
    } else if (frame.color_gamut > MPU_COLOR_GAMUT_BT2020) {
        problem = "colour gamut";
        value = frame.color_gamut;
    } else if (frame.width_stride[0] < frame.width || frame.width_stride[1] < frame.width) {
        problem = "width stride below width";
        value = frame.width_stride[0] < frame.width ? frame.width_stride[0] : frame.width_stride[1];
    } else if (frame.virt_addr[0] == nullptr || frame.virt_addr[1] == nullptr) {
        problem = "null plane address";
    }
    if (problem == nullptr) {
        return MPU_OK;
    }
    mediaLogger().LogError(ARA_LOG_HERE) << "mpu_venc_send_frame: frame refused: " << problem << " " << value;
    return MPU_ERR_BAD_PICTURE;
}

std::uint32_t nalUnitType(std::uint8_t header, Codec codec) {
    return codec == Codec::kH264 ? annex_b::h264NalType(header) : annex_b::h265NalType(header);
}

// The start-code scan within one packet, whose size fits 32 bits.
std::uint32_t nextStartCode(const std::uint8_t* data, std::uint32_t size, std::uint32_t from) {
    return static_cast<std::uint32_t>(annex_b::nextStartCode(data, size, from));
}

std::uint32_t skipStartCode(const std::uint8_t* data, std::uint32_t size, std::uint32_t at) {
    return static_cast<std::uint32_t>(annex_b::skipStartCode(data, size, at));
}

template <class Predicate>
bool waitUntil(std::condition_variable& condition, std::unique_lock<std::mutex>& lock, std::int32_t timeoutMs,
               Predicate ready) {
    if (timeoutMs < 0) {
        condition.wait(lock, ready);
        return true;
    }
    return condition.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

}  // namespace

class EncoderChannel::Sink final : public PacketSink {
  public:
    Sink(EncoderChannel& channel, const PendingFrame& frame) : channel_(channel), frame_(frame) {}
    void onPacket(const EncodedPacket& packet) override { channel_.storePacket(packet, frame_); }

  private:
    EncoderChannel& channel_;
    const PendingFrame& frame_;
};

std::int32_t EncoderChannel::create(const mpu_venc_chn_attr& attr,
                                    const mpu_venc_codec_mod_param& moduleParam,
                                    std::unique_ptr<EncoderChannel>* channel) {
    EncoderSettings settings;
    if (const std::int32_t status = settingsFrom(attr, moduleParam, &settings)) {
        return status;
    }
    std::unique_ptr<EncoderChannel> created(
        new EncoderChannel(settings, attr.venc_attr.buf_size, moduleParam.one_stream_buffer == 1,
                           attr.rc_attr.src_frame_rate, attr.rc_attr.dst_frame_rate));
    if (!created->eventFd_.valid()) {
        const int error = errno;
        mediaLogger().LogError(ARA_LOG_HERE) << "eventfd failed: " << std::strerror(error);
        return MPU_ERR_SYSTEM;
    }
    created->encoder_ = VideoEncoder::open(settings);
    if (!created->encoder_) {
        return MPU_ERR_CODEC;
    }
    created->worker_ = std::thread([raw = created.get()] { raw->work(); });
    *channel = std::move(created);
    return MPU_OK;
}

EncoderChannel::EncoderChannel(const EncoderSettings& settings, std::uint32_t bufferSize,
                               bool onePacketPerFrame, std::uint32_t srcFrameRate, std::uint32_t dstFrameRate)
    : settings_(settings),
      srcFrameRate_(srcFrameRate),
      dstFrameRate_(dstFrameRate),
      onePacketPerFrame_(onePacketPerFrame),
      eventFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE)),
      streamBuffer_(new std::uint8_t[bufferSize]),
      bufferSize_(bufferSize) {}

EncoderChannel::~EncoderChannel() {
    close();
    if (worker_.joinable()) {
        worker_.join();
    }
}

void EncoderChannel::close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    frameQueued_.notify_all();
    inputFreed_.notify_all();
    streamReady_.notify_all();
}

std::int32_t EncoderChannel::start(const mpu_venc_start_param& param) {
    if (param.recv_pic_num < -1) {
        return MPU_ERR_ILLEGAL_PARAM;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) {
        return MPU_ERR_NOT_PERMITTED;
    }
    started_ = true;
    framesLeftToReceive_ = param.recv_pic_num;
    return MPU_OK;
}

std::int32_t EncoderChannel::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!started_) {
            return MPU_ERR_NOT_PERMITTED;
        }
        started_ = false;
    }
    inputFreed_.notify_all();  // senders waiting for room give up
    return MPU_OK;
}

std::int32_t EncoderChannel::canDestroy() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) {
        return MPU_ERR_NOT_PERMITTED;
    }
    for (std::uint32_t i = 0; i < streamLength_; ++i) {
        if (streamAt(i).state == StreamState::kHeld) {
            return MPU_ERR_NOT_PERMITTED;
        }
    }
    return MPU_OK;
}

std::int32_t EncoderChannel::sendFrame(const mpu_video_frame_info& info, std::int32_t timeoutMs) {
    if (const std::int32_t status = checkFrame(info.v_frame, settings_)) {
        return status;
    }
    const mpu_video_frame& frame = info.v_frame;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!started_ || framesLeftToReceive_ == 0) {
        return MPU_ERR_NOT_PERMITTED;
    }
    if (!waitUntil(inputFreed_, lock, timeoutMs,
                   [this] { return inputLength_ < kInputDepth || closing_ || !started_; })) {
        return MPU_ERR_TIMEOUT;
    }
    if (closing_) {
        return MPU_ERR_INVALID_CHANNEL;
    }
    if (!started_) {
        return MPU_ERR_NOT_PERMITTED;
    }
    input_[(inputHead_ + inputLength_) % kInputDepth] =
        PendingFrame{FramePlanes{static_cast<const std::uint8_t*>(frame.virt_addr[0]),
                                 static_cast<const std::uint8_t*>(frame.virt_addr[1]), frame.width_stride[0],
                                 frame.width_stride[1]},
                     frame.time_ref, frame.pts};
    ++inputLength_;
    if (framesLeftToReceive_ > 0) {
        --framesLeftToReceive_;
    }
    lock.unlock();
    frameQueued_.notify_one();
    return MPU_OK;
}

void EncoderChannel::work() {
    std::int64_t received = 0;
    std::int64_t encoded = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        frameQueued_.wait(lock, [this] { return inputLength_ > 0 || closing_; });
        if (closing_) {
            return;
        }
        // The frame stays in the queue while it is encoded: its planes are in use until then.
        const PendingFrame frame = input_[inputHead_];
        lock.unlock();
        // Frame-rate control: of every src frames, dst are encoded, spread evenly.
        const bool keep =
            (received + 1) * dstFrameRate_ / srcFrameRate_ > received * dstFrameRate_ / srcFrameRate_;
        ++received;
        if (keep) {
            Sink sink(*this, frame);
            if (!encoder_->encode(frame.planes, encoded, sink)) {
                std::lock_guard<std::mutex> relock(mutex_);
                ++droppedFrames_;
            }
            ++encoded;
        }
        lock.lock();
        if (!keep) {
            ++droppedFrames_;
        }
        inputHead_ = (inputHead_ + 1) % kInputDepth;
        --inputLength_;
        inputFreed_.notify_all();
    }
}

bool EncoderChannel::reserve(std::uint32_t size, std::uint64_t* offset) const {
    if (size > bufferSize_) {
        return false;
    }
    if (streamLength_ == 0) {
        *offset = 0;
        return true;
    }
    const std::uint64_t head = streamAt(0).offset;
    const StoredStream& newest = streamAt(streamLength_ - 1);
    const std::uint64_t end = newest.offset + newest.size;
    if (end > head) {  // live bytes in one piece: [head, end)
        if (bufferSize_ - end >= size) {
            *offset = end;
            return true;
        }
        if (head >= size) {
            *offset = 0;
            return true;
        }
        return false;
    }
    if (head - end >= size) {  // live bytes wrapped: [head, buffer end) and [0, end)
        *offset = end;
        return true;
    }
    return false;
}

void EncoderChannel::storePacket(const EncodedPacket& packet, const PendingFrame& frame) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::uint64_t offset = 0;
    if (packet.size == 0 || streamLength_ == kStreamDepth || !reserve(packet.size, &offset)) {
        ++droppedFrames_;
        // Read under the lock: the consumer changes it on release.
        const std::uint32_t streamsKept = streamLength_;
        lock.unlock();
        mediaLogger().LogWarn(ARA_LOG_HERE) << "encoder stream dropped: " << packet.size
                                            << " bytes do not fit, streams waiting or held: " << streamsKept;
        return;
    }
    std::uint8_t* bytes = streamBuffer_.get() + offset;
    std::memcpy(bytes, packet.data, packet.size);

    StoredStream& stream = streamAt(streamLength_);
    stream.offset = offset;
    stream.size = packet.size;
    stream.seq = nextSeq_++;
    stream.timeRef = frame.timeRef;
    stream.state = StreamState::kWaiting;
    stream.packCount = 0;
    // A stream is either one packet, or one packet per NAL unit (the last one taking any surplus units).
    std::uint32_t start = nextStartCode(bytes, packet.size, 0);
    if (onePacketPerFrame_ || start == packet.size) {
        start = 0;
    }
    while (start < packet.size) {
        std::uint32_t end = onePacketPerFrame_
                                ? packet.size
                                : nextStartCode(bytes, packet.size, skipStartCode(bytes, packet.size, start));
        if (stream.packCount == kMaxPacks - 1) {
            end = packet.size;
        }
        const std::uint32_t payload = skipStartCode(bytes, packet.size, start);
        mpu_venc_pack& pack = stream.packs[stream.packCount++];
        pack.addr = bytes + start;
        pack.len = end - start;
        pack.offset = 0;
        pack.pts = frame.pts;
        pack.frame_end = end == packet.size ? 1 : 0;
        pack.data_type = payload < packet.size ? nalUnitType(bytes[payload], settings_.codec) : 0;
        pack.key_frame = packet.keyFrame ? 1 : 0;
        start = end;
    }
    ++streamLength_;
    const std::uint64_t one = 1;
    if (::write(eventFd_.get(), &one, sizeof(one)) != static_cast<ssize_t>(sizeof(one))) {
        const int error = errno;
        mediaLogger().LogError(ARA_LOG_HERE) << "eventfd write failed: " << std::strerror(error);
    }
    lock.unlock();
    streamReady_.notify_all();
}

std::int32_t EncoderChannel::queryStatus(mpu_venc_chn_status* status) const {
    std::lock_guard<std::mutex> lock(mutex_);
    mpu_venc_chn_status result{};
    result.left_pics = inputLength_;
    for (std::uint32_t i = 0; i < streamLength_; ++i) {
        const StoredStream& stream = streamAt(i);
        if (stream.state != StreamState::kWaiting) {
            continue;
        }
        if (result.left_stream_frames == 0) {
            result.cur_packs = stream.packCount;
        }
        ++result.left_stream_frames;
        result.left_stream_bytes += stream.size;
    }
    result.left_recv_pics = framesLeftToReceive_;
    result.dropped_pics = droppedFrames_;
    *status = result;
    return MPU_OK;
}

std::int32_t EncoderChannel::getStream(mpu_venc_stream* stream, std::int32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    StoredStream* waiting = nullptr;
    const auto findWaiting = [&] {
        for (std::uint32_t i = 0; i < streamLength_; ++i) {
            if (streamAt(i).state == StreamState::kWaiting) {
                waiting = &streamAt(i);
                return true;
            }
        }
        return closing_;
    };
    if (timeoutMs == 0) {
        findWaiting();
    } else {
        waitUntil(streamReady_, lock, timeoutMs, findWaiting);
    }
    if (closing_) {
        return MPU_ERR_INVALID_CHANNEL;
    }
    if (waiting == nullptr) {
        return MPU_ERR_BUF_EMPTY;
    }
    if (stream->pack_count < waiting->packCount) {
        mediaLogger().LogError(ARA_LOG_HERE) << "mpu_venc_get_stream: room for " << stream->pack_count
                                             << " packets, the stream has " << waiting->packCount;
        return MPU_ERR_ILLEGAL_PARAM;
    }
    std::copy(waiting->packs.begin(), waiting->packs.begin() + waiting->packCount, stream->pack);
    stream->pack_count = waiting->packCount;
    stream->seq = waiting->seq;
    stream->time_ref = waiting->timeRef;
    waiting->state = StreamState::kHeld;
    std::uint64_t count = 0;
    if (::read(eventFd_.get(), &count, sizeof(count)) != static_cast<ssize_t>(sizeof(count))) {
        const int error = errno;
        mediaLogger().LogError(ARA_LOG_HERE) << "eventfd read failed: " << std::strerror(error);
    }
    return MPU_OK;
}

std::int32_t EncoderChannel::releaseStream(const mpu_venc_stream& stream) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::uint32_t i = 0; i < streamLength_; ++i) {
        StoredStream& stored = streamAt(i);
        if (stored.seq != stream.seq) {
            continue;
        }
        if (stored.state != StreamState::kHeld) {
            break;
        }
        if (stream.pack == nullptr || stream.pack_count != stored.packCount || stored.packCount == 0 ||
            stream.pack[0].addr != stored.packs[0].addr) {
            mediaLogger().LogError(ARA_LOG_HERE)
                << "mpu_venc_release_stream: stream " << stream.seq << " does not match what was handed out";
            return MPU_ERR_ILLEGAL_PARAM;
        }
        stored.state = StreamState::kReleased;
        dropReleasedHead();
        return MPU_OK;
    }
    mediaLogger().LogError(ARA_LOG_HERE) << "mpu_venc_release_stream: stream " << stream.seq
                                         << " is not held (released before, or never handed out)";
    return MPU_ERR_NOT_PERMITTED;
}

void EncoderChannel::dropReleasedHead() {
    while (streamLength_ > 0 && streamAt(0).state == StreamState::kReleased) {
        streamHead_ = (streamHead_ + 1) % kStreamDepth;
        --streamLength_;
    }
}

}  // namespace mpu::internal
