#pragma once

// One camera's stream on disk, twice: the Annex-B elementary stream exactly as it arrived (`<base>.h264` or
// `<base>.h265`, playable from its start because it starts with a key frame), and a fragmented MP4 through
// libavformat whose time stamps are the published ones, relative to the first frame. What Flush handed to
// the files survives a crash of the process or a full disk: the MP4 plays up to its last whole fragment.
// Move-only; not thread-safe. Destroying an open writer finishes both files.

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <utility>

#include "ffmpeg/handles.h"
#include "record_error.h"
#include "stream_format.h"

namespace camera_record {

class StreamWriter {
  public:
    // Creates `<basePath>.<codec>` and `<basePath>.mp4` for a stream with `parameters` (from its first key
    // frame). The error names the file and what failed.
    static RecordResult<StreamWriter> Open(const std::string& basePath, const StreamParameters& parameters);

    StreamWriter(StreamWriter&& other) noexcept { *this = std::move(other); }
    StreamWriter& operator=(StreamWriter&& other) noexcept;
    StreamWriter(const StreamWriter&) = delete;
    StreamWriter& operator=(const StreamWriter&) = delete;
    ~StreamWriter();

    // Appends one access unit stamped `stampNs` (published time, ns). The MP4's time stamps must increase:
    // a stamp at or before the previous one is moved just after it and counted. Returns false when a file
    // could not be written (the error is kept in LastError).
    bool Write(const std::uint8_t* data, std::size_t size, std::int64_t stampNs, bool randomAccess);

    // Writes the MP4's index and closes both files; later calls do nothing. False when either file could not
    // be completed.
    bool Close();
    // Hands what is buffered to the files, so that they hold every frame written so far (the MP4 as a
    // fragment of its own); false when that failed (the error is kept in LastError).
    bool Flush();

    const std::string& ElementaryPath() const noexcept { return elementaryPath_; }
    const std::string& Mp4Path() const noexcept { return mp4Path_; }
    std::uint64_t FramesWritten() const noexcept { return framesWritten_; }
    std::uint64_t StampsAdjusted() const noexcept { return stampsAdjusted_; }
    const std::string& LastError() const noexcept { return lastError_; }
    // The system's error number of the last failure, 0 when it had none (ENOSPC: the disk is full).
    int LastErrno() const noexcept { return lastErrno_; }

    // The MP4's time base: 90 kHz, as usual for video.
    static constexpr int kTimeBase = 90000;
    // The MP4 muxer's fragmenting: an empty moov, a fragment from every key frame, each fragment's data
    // offsets from its own moof; and a fragment at the latest every second.
    static constexpr const char* kMp4Flags = "frag_keyframe+empty_moov+default_base_moof";
    static constexpr std::int64_t kFragmentMicroseconds = 1000000;

  private:
    void Failed(const std::string& what, int error);
    StreamWriter() = default;

    std::string elementaryPath_;
    std::string mp4Path_;
    std::ofstream elementary_;
    ffmpeg::OutputContextPtr mp4_;
    ffmpeg::PacketPtr packet_;
    std::int64_t firstStampNs_{0};
    std::int64_t lastPts_{-1};
    std::int64_t lastDuration_{StreamWriter::kTimeBase / 30};
    std::uint64_t framesWritten_{0};
    std::uint64_t stampsAdjusted_{0};
    std::string lastError_;
    int lastErrno_{0};
    bool open_{false};
};

}  // namespace camera_record
