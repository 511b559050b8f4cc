#pragma once

// Everything recorded of one camera: from its first key frame on, every frame goes to the stream files, the
// decoder and the statistics, and gets its line in the index once its picture has been decoded (the code
// read from the picture is part of the line). Frames before the first key frame cannot be decoded and are
// only counted. Errors are logged once per kind and counted; they never stop the other cameras. Not
// thread-safe: the recorder's thread owns it.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "frame_continuity.h"
#include "frame_decoder.h"
#include "index_writer.h"
#include "recording_stats.h"
#include "stream_format.h"
#include "stream_writer.h"

namespace ara::log {
class Logger;
}

namespace camera_record {

using camera_tools::FrameContinuity;
using camera_tools::FrameContinuityTracker;

// One received frame, in the subscriber's buffer.
struct ReceivedFrame {
    const std::uint8_t* data{nullptr};
    std::size_t size{0};
    std::int32_t sec{0};  // the published stamp
    std::int32_t nsec{0};
    bool keyFlag{false};                // the published key-frame flag
    std::int64_t receiveRealtimeNs{0};  // receive time on the clock of the published stamp
    std::int64_t receiveMonotonicNs{0};
};

class CameraRecording {
  public:
    struct Settings {
        int platformId{8};
        std::string outputDirectory;
        std::optional<std::uint64_t> frameLimit;  // frames to record; unlimited without
        std::optional<double> codeScale;          // scale of the frame code; searched without
    };

    CameraRecording(Settings settings, ara::log::Logger& logger);
    ~CameraRecording();
    CameraRecording(const CameraRecording&) = delete;
    CameraRecording& operator=(const CameraRecording&) = delete;

    void Add(const ReceivedFrame& frame);
    // Samples were lost in transport, perhaps of this camera: until its next key frame the pictures may be
    // decoded from the wrong references, so their frame codes are not read (they would lie).
    void NoteStreamBreak() noexcept {
        codesUntrusted_ = true;
        if (continuity_) {
            continuity_->NoteTransportLoss();
        }
    }
    // Hands what is buffered to the files, so that the index and the video files agree on disk; the
    // recorder calls it every second.
    void Flush();
    // Decodes what the decoder still holds, writes the remaining index lines and closes the files. Later
    // frames are ignored.
    void Finish();

    bool ReachedLimit() const noexcept { return settings_.frameLimit && recorded_ >= *settings_.frameLimit; }
    const std::string& Name() const noexcept { return name_; }
    int PlatformId() const noexcept { return settings_.platformId; }
    CameraStats& Stats() noexcept { return stats_; }
    const CameraStats& Stats() const noexcept { return stats_; }

    // What was recorded: the stream's codec and size (unknown until the first key frame).
    const StreamParameters& Parameters() const noexcept { return parameters_; }
    const AVFrame* LatestPicture() const noexcept;
    std::uint64_t Recorded() const noexcept { return recorded_; }
    std::uint64_t SkippedBeforeKeyFrame() const noexcept { return skipped_; }
    std::uint64_t DecodeErrors() const noexcept;
    std::uint64_t WriteErrors() const noexcept { return writeErrors_; }
    std::uint64_t StampsAdjusted() const noexcept;
    // Why this camera records nothing, when its files could not be opened.
    const std::string& Failure() const noexcept { return failure_; }
    // Why this camera stopped recording on the way (the disk is full); empty while it records. Its files
    // keep what was written before.
    const std::string& StopReason() const noexcept { return stopReason_; }

    // Index lines waiting for their picture beyond this many are written without a code.
    static constexpr std::size_t kMaxPendingRows = 16;

  private:
    struct PendingRow {
        IndexRow row;
        bool codeTrusted;
    };

    bool Start(const ReceivedFrame& frame);
    void Resolve(const std::vector<DecodedPicture>& pictures);
    void WriteRow(const PendingRow& pending);
    // Counts a failed write; on a full disk stops this camera's recording.
    void WriteFailed(const std::string& what, int error);

    Settings settings_;
    ara::log::Logger& logger_;
    std::string name_;
    StreamParameters parameters_;
    std::optional<StreamWriter> stream_;
    std::optional<IndexWriter> index_;
    std::optional<FrameDecoder> decoder_;
    std::optional<FrameContinuityTracker> continuity_;
    std::deque<PendingRow> pendingRows_;
    CameraStats stats_;
    std::uint64_t recorded_{0};
    std::uint64_t skipped_{0};
    std::uint64_t writeErrors_{0};
    std::string failure_;
    std::string stopReason_;
    bool finished_{false};
    bool codesUntrusted_{false};
    bool loggedSkip_{false};
    bool loggedWriteError_{false};
};

}  // namespace camera_record
