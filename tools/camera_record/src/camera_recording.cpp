#include "camera_recording.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "ara/log/logging.h"

namespace camera_record {

CameraRecording::CameraRecording(Settings settings, ara::log::Logger& logger)
    : settings_(std::move(settings)), logger_(logger), name_("cam_" + std::to_string(settings_.platformId)) {}

CameraRecording::~CameraRecording() {
    Finish();
}

const AVFrame* CameraRecording::LatestPicture() const noexcept {
    return decoder_ ? decoder_->LatestPicture() : nullptr;
}

std::uint64_t CameraRecording::DecodeErrors() const noexcept {
    return decoder_ ? decoder_->DecodeErrors() : 0U;
}

std::uint64_t CameraRecording::StampsAdjusted() const noexcept {
    return stream_ ? stream_->StampsAdjusted() : 0U;
}

bool CameraRecording::Start(const ReceivedFrame& frame) {
    auto probed = ProbeKeyFrame(frame.data, frame.size);
    if (!probed.HasValue()) {
        ++skipped_;
        if (!loggedSkip_ && frame.keyFlag) {
            logger_.LogWarn(ARA_LOG_HERE)
                << name_
                << ": frame flagged as key frame cannot start the recording: " << probed.Error().message
                << "; waiting for the next key frame";
            loggedSkip_ = true;
        }
        return false;
    }
    const std::string base = settings_.outputDirectory + "/" + name_;
    auto stream = StreamWriter::Open(base, probed.Value());
    auto index = IndexWriter::Open(base + "_index.csv");
    auto decoder = FrameDecoder::Open(
        probed.Value(), settings_.codeScale ? FrameCodeReader(*settings_.codeScale) : FrameCodeReader());
    failure_ = !stream.HasValue()    ? stream.Error().message
               : !index.HasValue()   ? index.Error().message
               : !decoder.HasValue() ? decoder.Error().message
                                     : std::string();
    if (!failure_.empty()) {
        logger_.LogError(ARA_LOG_HERE) << name_ << ": recording cannot start: " << failure_;
        finished_ = true;
        return false;
    }
    parameters_ = std::move(probed).Value();
    stream_.emplace(std::move(stream).Value());
    index_.emplace(std::move(index).Value());
    decoder_.emplace(std::move(decoder).Value());
    continuity_.emplace(parameters_.codec);
    logger_.LogInfo(ARA_LOG_HERE) << name_ << ": recording " << CodecName(parameters_.codec) << " "
                                  << parameters_.width << "x" << parameters_.height << " to "
                                  << stream_->ElementaryPath() << " and " << stream_->Mp4Path() << " ("
                                  << skipped_ << " frames before the first key frame skipped)";
    return true;
}

void CameraRecording::Add(const ReceivedFrame& frame) {
    if (finished_ || !stopReason_.empty() || ReachedLimit() || frame.data == nullptr || frame.size == 0) {
        return;
    }
    if (!stream_ && !Start(frame)) {
        return;
    }
    const std::int64_t stampNs = static_cast<std::int64_t>(frame.sec) * 1000000000 + frame.nsec;
    const double latencyMs = static_cast<double>(frame.receiveRealtimeNs - stampNs) / 1e6;
    const std::uint64_t number = recorded_++;
    stats_.AddFrame(frame.receiveMonotonicNs, frame.size, frame.keyFlag, latencyMs);
    const FrameContinuity continuity = continuity_->Next(frame.data, frame.size, stampNs);
    stats_.AddContinuity(continuity.lostBefore, continuity.damaged);

    const bool randomAccess = IsRandomAccessPoint(parameters_.codec, frame.data, frame.size);
    if (randomAccess) {
        codesUntrusted_ = false;
    }
    if (!stream_->Write(frame.data, frame.size, stampNs, randomAccess)) {
        WriteFailed(stream_->LastError(), stream_->LastErrno());
    }

    PendingRow pending{IndexRow(), !codesUntrusted_ && !continuity.damaged};
    pending.row.frame = number;
    pending.row.sec = frame.sec;
    pending.row.nsec = frame.nsec;
    pending.row.keyFlag = frame.keyFlag;
    pending.row.bytes = frame.size;
    pending.row.latencyMs = latencyMs;
    pending.row.lostBefore = continuity.lostBefore;
    pending.row.damaged = continuity.damaged;
    pendingRows_.push_back(pending);
    Resolve(decoder_->Decode(frame.data, frame.size, number));
    while (pendingRows_.size() > kMaxPendingRows) {
        WriteRow(pendingRows_.front());
        pendingRows_.pop_front();
    }
}

void CameraRecording::Resolve(const std::vector<DecodedPicture>& pictures) {
    for (const DecodedPicture& picture : pictures) {
        // Rows before the picture's frame got no picture of their own.
        while (!pendingRows_.empty() && pendingRows_.front().row.frame < picture.frame) {
            WriteRow(pendingRows_.front());
            pendingRows_.pop_front();
        }
        if (!pendingRows_.empty() && pendingRows_.front().row.frame == picture.frame) {
            if (pendingRows_.front().codeTrusted) {
                pendingRows_.front().row.frameCode = picture.frameCode;
            }
            WriteRow(pendingRows_.front());
            pendingRows_.pop_front();
        }
    }
}

void CameraRecording::WriteRow(const PendingRow& pending) {
    stats_.AddFrameCode(pending.row.frameCode);
    if (!index_->Write(pending.row)) {
        WriteFailed(index_->Path() + ": write failed", index_->LastErrno());
    }
}

void CameraRecording::WriteFailed(const std::string& what, int error) {
    ++writeErrors_;
    if (error == ENOSPC || error == EDQUOT) {
        if (stopReason_.empty()) {
            stopReason_ = "disk full (" + std::string(std::strerror(error)) + ")";
            logger_.LogError(ARA_LOG_HERE) << name_ << ": the disk is full: " << what << "; recording of "
                                           << name_ << " stopped, its files keep what was written before";
        }
        return;
    }
    if (!loggedWriteError_) {
        logger_.LogError(ARA_LOG_HERE) << name_ << ": " << what;
        loggedWriteError_ = true;
    }
}

void CameraRecording::Flush() {
    if (finished_ || !stopReason_.empty() || !stream_) {
        return;
    }
    if (!index_->Flush()) {
        WriteFailed(index_->Path() + ": write failed", index_->LastErrno());
    }
    if (!stream_->Flush()) {
        WriteFailed(stream_->LastError(), stream_->LastErrno());
    }
}

void CameraRecording::Finish() {
    if (finished_) {
        return;
    }
    finished_ = true;
    if (!stream_) {
        return;
    }
    Resolve(decoder_->Flush());
    while (!pendingRows_.empty()) {
        WriteRow(pendingRows_.front());
        pendingRows_.pop_front();
    }
    if (!index_->Close()) {
        ++writeErrors_;
        logger_.LogError(ARA_LOG_HERE) << name_ << ": " << index_->Path() << ": cannot be completed";
    }
    if (!stream_->Close()) {
        ++writeErrors_;
        logger_.LogError(ARA_LOG_HERE) << name_ << ": " << stream_->LastError();
    }
}

}  // namespace camera_record
