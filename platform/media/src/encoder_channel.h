#pragma once

// One encoder channel: a queue of sent frames, an encoder thread, and the stream buffer the encoded frames
// wait in until they are fetched and released. The channel's eventfd counts the streams waiting to be
// fetched. Nothing on the per-frame path allocates: queues and the stream buffer are sized at creation.
//
// A caller that comes to wait for a stream (mpu_sys_wait_epoll, mpu_venc_get_stream) while its frame has not
// been taken yet encodes it itself rather than sleeping until the encoder thread has. Once a caller has come
// within kPromptCaller of sending, the channel leaves its frames to its callers: a send does not wake the
// encoder thread, which would mostly take the frame to another core, away from the picture in the caller's
// cache. The encoder thread then looks at the queue every kCallerGrace while frames come, takes a frame that
// has waited that long (and from then on is woken for every frame again), and is woken at once for frames
// sent while a thread waits in mpu_sys_wait_epoll, or while a sender waits for room.

#include <array>
#include <chrono>
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
#include "wait_until.h"

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
    // A thread is about to wait in mpu_sys_wait_epoll for this channel's streams: it encodes the oldest frame
    // sent if the encoder thread has not taken it yet, and until endWaitForStream the encoder thread takes
    // the frames sent.
    void beginWaitForStream();
    void endWaitForStream();
    mpu_venc_chn_status queryStatus() const;
    std::int32_t getStream(mpu_venc_stream* stream, std::int32_t timeoutMs);
    std::int32_t releaseStream(const mpu_venc_stream& stream);

    static constexpr std::uint32_t kInputDepth = 4;    // frames sent and not yet encoded
    static constexpr std::uint32_t kStreamDepth = 16;  // streams encoded and not yet released
    static constexpr std::uint32_t kMaxPacks = 16;  // packets of one stream; further NAL units join the last

  private:
    using Clock = WaitClock;
    // How long a frame left to its caller waits before the encoder thread takes it.
    static constexpr Clock::duration kCallerGrace = std::chrono::milliseconds(100);

    struct PendingFrame {
        FramePlanes planes;
        std::uint32_t timeRef;
        std::uint64_t pts;
        Clock::time_point sent;
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
    // Whether the encoder thread takes the oldest frame sent now (it is there and nobody encodes).
    bool workerTakes(Clock::time_point now) const;
    // Encodes the oldest frame sent on the calling thread if nobody has taken it: a caller that would only
    // wait for the stream does the work instead of sleeping until it is done. `lock` is held.
    void encodeHere(std::unique_lock<std::mutex>& lock);
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
    std::uint64_t framesSent_{0};
    std::uint32_t droppedFrames_{0};
    std::array<PendingFrame, kInputDepth> input_{};
    std::uint32_t inputHead_{0};
    std::uint32_t inputLength_{0};
    bool encoding_{false};            // a thread encodes the oldest frame sent; the others keep away
    bool callersEncode_{false};       // a send leaves the encoder thread asleep (see above)
    bool workerLooks_{false};         // the encoder thread looks at the queue within kCallerGrace
    std::uint32_t streamWaiters_{0};  // threads in mpu_sys_wait_epoll for this channel's streams
    std::int64_t framesTaken_{0};     // frames the frame-rate control has seen
    std::int64_t framesEncoded_{0};
    std::array<StoredStream, kStreamDepth> streams_{};
    std::uint32_t streamHead_{0};    // oldest stream not yet released
    std::uint32_t streamLength_{0};  // streams from the head on, in encoding order
    std::uint32_t nextSeq_{0};
    std::thread worker_;
};

}  // namespace mpu::internal
