#include "encoder_channel.h"

#include <pthread.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstring>

#include "encoder_attributes.h"
#include "media_log.h"
#include "stage_clock.h"
#include "wait_until.h"

namespace mpu::internal {

class EncoderChannel::Sink final : public PacketSink {
  public:
    Sink(EncoderChannel& channel, const PendingFrame& frame) : channel_(channel), frame_(frame) {}
    void onPacket(const EncodedPacket& packet) override { channel_.storePacket(packet, frame_); }

  private:
    EncoderChannel& channel_;
    const PendingFrame& frame_;
};

EncoderChannel::CreateResult EncoderChannel::create(const mpu_venc_chn_attr& attr,
                                                    const mpu_venc_codec_mod_param& moduleParam) {
    const SettingsResult checked = SettingsFrom(attr, moduleParam);
    if (!checked) {
        return CreateResult::FromError(checked.Error());
    }
    const EncoderSettings& settings = checked.Value();
    std::unique_ptr<EncoderChannel> created(
        new EncoderChannel(settings, attr.venc_attr.buf_size, moduleParam.one_stream_buffer == 1,
                           attr.rc_attr.src_frame_rate, attr.rc_attr.dst_frame_rate));
    if (!created->eventFd_.valid()) {
        const int error = errno;
        mediaLogger().LogError(ARA_LOG_HERE) << "eventfd failed: " << std::strerror(error);
        return CreateResult::FromError(MPU_ERR_SYSTEM);
    }
    created->encoder_ = VideoEncoder::open(settings);
    if (!created->encoder_) {
        return CreateResult::FromError(MPU_ERR_CODEC);
    }
    created->worker_ = std::thread([raw = created.get()] { raw->work(); });
    pthread_setname_np(created->worker_.native_handle(), "mpu_venc");
    return CreateResult(std::move(created));
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
    if (const std::int32_t status = CheckFrame(info.v_frame, settings_)) {
        return status;
    }
    const mpu_video_frame& frame = info.v_frame;
    std::unique_lock<std::mutex> lock(mutex_);
    if (!started_ || framesLeftToReceive_ == 0) {
        return MPU_ERR_NOT_PERMITTED;
    }
    if (inputLength_ == kInputDepth) {
        // A sender waiting for room does not come to encode: the encoder thread makes it.
        callersEncode_ = false;
        frameQueued_.notify_one();
    }
    if (!WaitUntil(inputFreed_, lock, timeoutMs,
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
                     frame.time_ref, frame.pts, Clock::now()};
    ++inputLength_;
    ++framesSent_;
    const bool wake = !callersEncode_ || !workerLooks_ || streamWaiters_ > 0;
    if (framesLeftToReceive_ > 0) {
        --framesLeftToReceive_;
    }
    lock.unlock();
    if (wake) {
        frameQueued_.notify_one();
    }
    return MPU_OK;
}

bool EncoderChannel::workerTakes(Clock::time_point now) const {
    return inputLength_ > 0 && !encoding_ &&
           (!callersEncode_ || streamWaiters_ > 0 || now - input_[inputHead_].sent >= kCallerGrace);
}

void EncoderChannel::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    bool quiet = false;  // no frame came during the last look
    while (!closing_) {
        const Clock::time_point now = Clock::now();
        if (workerTakes(now)) {
            if (callersEncode_ && streamWaiters_ == 0) {
                callersEncode_ = false;  // its caller did not come: every frame wakes this thread again
            }
            encoding_ = true;
            encodeOldest(lock);
            continue;
        }
        if (!callersEncode_ || quiet) {
            workerLooks_ = false;
            quiet = false;
            frameQueued_.wait(lock);
            continue;
        }
        // The callers encode their frames: look again when the oldest has waited kCallerGrace, or after
        // kCallerGrace, for as long as frames come.
        const bool waiting = inputLength_ > 0 && !encoding_;
        const Clock::time_point deadline = (waiting ? input_[inputHead_].sent : now) + kCallerGrace;
        const std::uint64_t sentBefore = framesSent_;
        workerLooks_ = true;
        const bool timedOut = frameQueued_.wait_until(lock, deadline) == std::cv_status::timeout;
        quiet = timedOut && framesSent_ == sentBefore && inputLength_ == 0;
    }
}

void EncoderChannel::encodeHere(std::unique_lock<std::mutex>& lock) {
    if (inputLength_ == 0 || encoding_ || closing_) {
        return;
    }
    callersEncode_ = Clock::now() - input_[inputHead_].sent < kPromptCaller;
    encoding_ = true;
    encodeOldest(lock);
    // Frames sent meanwhile are the encoder thread's, if its callers do not encode them.
    if (inputLength_ > 0) {
        frameQueued_.notify_one();
    }
}

void EncoderChannel::beginWaitForStream() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++streamWaiters_;
    encodeHere(lock);
}

void EncoderChannel::endWaitForStream() {
    std::lock_guard<std::mutex> lock(mutex_);
    --streamWaiters_;
}

void EncoderChannel::encodeOldest(std::unique_lock<std::mutex>& lock) {
    // The frame stays in the queue while it is encoded: its planes are in use until then.
    const PendingFrame frame = input_[inputHead_];
    // Frame-rate control: of every src frames, dst are encoded, spread evenly.
    const std::int64_t received = framesTaken_++;
    const bool keep =
        (received + 1) * dstFrameRate_ / srcFrameRate_ > received * dstFrameRate_ / srcFrameRate_;
    const std::int64_t index = framesEncoded_;
    if (keep) {
        ++framesEncoded_;
    }
    lock.unlock();
    bool encoded = true;
    if (keep) {
        Sink sink(*this, frame);
        const StageClock clock(Stage::kEncode);
        encoded = encoder_->encode(frame.planes, index, sink);
    }
    lock.lock();
    if (!keep || !encoded) {
        ++droppedFrames_;
    }
    inputHead_ = (inputHead_ + 1) % kInputDepth;
    --inputLength_;
    encoding_ = false;
    inputFreed_.notify_all();
}

}  // namespace mpu::internal
