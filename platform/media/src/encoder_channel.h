#pragma once

// One encoder channel: a queue of sent frames, an encoder thread, and the stream buffer the encoded frames
// wait in until they are fetched and released. The channel's eventfd counts the streams waiting to be
// fetched. Nothing on the per-frame path allocates: queues and the stream buffer are sized at creation.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ara/core/result.h"
#include "mpu/mpu_venc.h"
#include "vcu/os/unique_fd.h"
#include "video_encoder.h"

namespace mpu::internal {

class EncoderChannel {
  public:
    using CreateResult = ara::core::Result<std::unique_ptr<EncoderChannel>, mpu_status>;

    // Checks `attr`, opens the codec and starts the encoder thread; on failure, the status.
    static CreateResult create(const mpu_venc_chn_attr& attr, const mpu_venc_codec_mod_param& moduleParam);
    ~EncoderChannel();
    EncoderChannel(const EncoderChannel&) = delete;
    EncoderChannel& operator=(const EncoderChannel&) = delete;

    std::int32_t start(const mpu_venc_start_param& param);
    std::int32_t stop();
    // Wakes and refuses every caller still waiting: the channel is being destroyed.
    void close();
    // MPU_OK when the channel can be destroyed (stopped, no stream held).
    std::int32_t canDestroy() const;

    int fd() const { return eventFd_.get(); }

    std::int32_t sendFrame(const mpu_video_frame_info& frame, std::int32_t timeoutMs);
    // Encodes the oldest frame sent on the calling thread if the encoder thread has not taken it yet: a
    // caller that would only wait for the stream does the work instead of sleeping until it is done.
    void encodeHere();
    mpu_venc_chn_status queryStatus() const;
    std::int32_t getStream(mpu_venc_stream* stream, std::int32_t timeoutMs);
    std::int32_t releaseStream(const mpu_venc_stream& stream);

    static constexpr std::uint32_t kInputDepth = 4;    // frames sent and not yet encoded
    static constexpr std::uint32_t kStreamDepth = 16;  // streams encoded and not yet released
    static constexpr std::uint32_t kMaxPacks = 16;  // packets of one stream; further NAL units join the last

  private:
    struct PendingFrame {
        FramePlanes planes;
        std::uint32_t timeRef;
        std::uint64_t pts;
    };
    enum class StreamState { kWaiting, kHeld, kReleased };
    struct StoredStream {
        std::uint64_t offset;  // of its bytes in the stream buffer
        std::uint32_t size;
        std::uint32_t seq;
        std::uint32_t timeRef;
        StreamState state;
        std::uint32_t packCount;
        std::array<mpu_venc_pack, kMaxPacks> packs;
    };
    class Sink;

    EncoderChannel(const EncoderSettings& settings, std::uint32_t bufferSize, bool onePacketPerFrame,
                   std::uint32_t srcFrameRate, std::uint32_t dstFrameRate);
    void work();
    // Encodes (or skips, by the frame-rate control) the oldest frame sent; `lock` is held and released
    // while the encoder runs. The caller has set encoding_.
    void encodeOldest(std::unique_lock<std::mutex>& lock);
    void storePacket(const EncodedPacket& packet, const PendingFrame& frame);
    // Why an encoded packet finds no place: empty, every stream slot taken, or too few free bytes.
    enum class ReserveError { kEmpty, kNoStreamSlot, kNoRoom };
    using ReserveResult = ara::core::Result<std::uint64_t, ReserveError>;
    // The offset in the stream buffer where `size` bytes fit after the live streams.
    ReserveResult reserve(std::uint32_t size) const;
    StoredStream& streamAt(std::uint32_t position) {
        return streams_[(streamHead_ + position) % kStreamDepth];
    }
    const StoredStream& streamAt(std::uint32_t position) const {
        return streams_[(streamHead_ + position) % kStreamDepth];
    }
    void dropReleasedHead();

    const EncoderSettings settings_;
    const std::uint32_t srcFrameRate_;
    const std::uint32_t dstFrameRate_;
    const bool onePacketPerFrame_;
    std::unique_ptr<VideoEncoder> encoder_;
    vcu::os::UniqueFd eventFd_;
    std::unique_ptr<std::uint8_t[]> streamBuffer_;
    const std::uint32_t bufferSize_;

    mutable std::mutex mutex_;
    std::condition_variable frameQueued_;
    std::condition_variable inputFreed_;
    std::condition_variable streamReady_;
    bool started_{false};
    bool closing_{false};
    std::int32_t framesLeftToReceive_{-1};
    std::uint64_t framesReceived_{0};
    std::uint32_t droppedFrames_{0};
    std::array<PendingFrame, kInputDepth> input_{};
    std::uint32_t inputHead_{0};
    std::uint32_t inputLength_{0};
    bool encoding_{false};         // a thread encodes the oldest frame sent; the others keep away
    std::int64_t framesTaken_{0};  // frames the frame-rate control has seen
    std::int64_t framesEncoded_{0};
    std::array<StoredStream, kStreamDepth> streams_{};
    std::uint32_t streamHead_{0};    // oldest stream not yet released
    std::uint32_t streamLength_{0};  // streams from the head on, in encoding order
    std::uint32_t nextSeq_{0};
    std::thread worker_;
};

}  // namespace mpu::internal
