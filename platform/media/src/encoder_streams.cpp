#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "encoder_channel.h"
#include "media_log.h"
#include "mpu/annex_b.h"
#include "wait_until.h"

// The stream side of an encoder channel: the encoded frames in the stream buffer, from the encoder thread
// storing them to the consumer fetching and releasing them.

namespace mpu::internal {
namespace {

std::uint32_t NalUnitType(std::uint8_t header, Codec codec) {
    return codec == Codec::kH264 ? annex_b::h264NalType(header) : annex_b::h265NalType(header);
}

// The start-code scan within one packet, whose size fits 32 bits.
std::uint32_t NextStartCode(const std::uint8_t* data, std::uint32_t size, std::uint32_t from) {
    return static_cast<std::uint32_t>(annex_b::nextStartCode(data, size, from));
}

std::uint32_t SkipStartCode(const std::uint8_t* data, std::uint32_t size, std::uint32_t at) {
    return static_cast<std::uint32_t>(annex_b::skipStartCode(data, size, at));
}

}  // namespace

EncoderChannel::ReserveResult EncoderChannel::reserve(std::uint32_t size) const {
    if (size == 0) {
        return ReserveResult::FromError(ReserveError::kEmpty);
    }
    if (streamLength_ == kStreamDepth) {
        return ReserveResult::FromError(ReserveError::kNoStreamSlot);
    }
    if (size > bufferSize_) {
        return ReserveResult::FromError(ReserveError::kNoRoom);
    }
    if (streamLength_ == 0) {
        return std::uint64_t{0};
    }
    const std::uint64_t head = streamAt(0).offset;
    const StoredStream& newest = streamAt(streamLength_ - 1);
    const std::uint64_t end = newest.offset + newest.size;
    if (end > head) {  // live bytes in one piece: [head, end)
        if (bufferSize_ - end >= size) {
            return end;
        }
        if (head >= size) {
            return std::uint64_t{0};
        }
        return ReserveResult::FromError(ReserveError::kNoRoom);
    }
    if (head - end >= size) {  // live bytes wrapped: [head, buffer end) and [0, end)
        return end;
    }
    return ReserveResult::FromError(ReserveError::kNoRoom);
}

void EncoderChannel::storePacket(const EncodedPacket& packet, const PendingFrame& frame) {
    std::unique_lock<std::mutex> lock(mutex_);
    const ReserveResult reserved = reserve(packet.size);
    if (!reserved) {
        ++droppedFrames_;
        // Read under the lock: the consumer changes it on release.
        const std::uint32_t streamsKept = streamLength_;
        lock.unlock();
        mediaLogger().LogWarn(ARA_LOG_HERE) << "encoder stream dropped: " << packet.size
                                            << " bytes do not fit, streams waiting or held: " << streamsKept;
        return;
    }
    const std::uint64_t offset = reserved.Value();
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
    std::uint32_t start = NextStartCode(bytes, packet.size, 0);
    if (onePacketPerFrame_ || start == packet.size) {
        start = 0;
    }
    while (start < packet.size) {
        std::uint32_t end = onePacketPerFrame_
                                ? packet.size
                                : NextStartCode(bytes, packet.size, SkipStartCode(bytes, packet.size, start));
        if (stream.packCount == kMaxPacks - 1) {
            end = packet.size;
        }
        const std::uint32_t payload = SkipStartCode(bytes, packet.size, start);
        mpu_venc_pack& pack = stream.packs[stream.packCount++];
        pack.addr = bytes + start;
        pack.len = end - start;
        pack.offset = 0;
        pack.pts = frame.pts;
        pack.frame_end = end == packet.size ? 1 : 0;
        pack.data_type = payload < packet.size ? NalUnitType(bytes[payload], settings_.codec) : 0;
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

mpu_venc_chn_status EncoderChannel::queryStatus() const {
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
    return result;
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
        // A caller that waits for a stream while its frame has not been taken encodes it itself; frames sent
        // while it waits go to the encoder thread.
        ++streamWaiters_;
        if (!findWaiting()) {
            encodeHere(lock);
        }
        WaitUntil(streamReady_, lock, timeoutMs, findWaiting);
        --streamWaiters_;
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
