#pragma once

// The per-frame index of one camera's recording, a CSV file with the columns
//
//   frame,stamp,key,bytes,latency_ms,frame_code,lost_before,damaged
//
// frame: number of the frame in the recording (0 = the first key frame, then in receive order); stamp: the
// published time stamp as <sec>.<nsec, 9 digits>; key: the published key-frame flag (1/0); bytes: size of the
// encoded frame; latency_ms: receive time minus the published stamp, in milliseconds (3 decimals);
// frame_code: the test pattern's frame code read from the decoded picture, empty when the picture carried
// none or was not decoded; lost_before: frames of the camera lost right before this one (by the stream's
// frame numbering); damaged: 1 when the frame is predicted from a lost frame (it decodes, but not to the
// picture that was sent), else 0. Columns are only ever added at the end. Move-only; not thread-safe.

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

#include "record_error.h"

namespace camera_record {

struct IndexRow {
    std::uint64_t frame{0};
    std::int32_t sec{0};
    std::int32_t nsec{0};
    bool keyFlag{false};
    std::size_t bytes{0};
    double latencyMs{0.0};
    std::optional<std::uint32_t> frameCode;
    std::uint64_t lostBefore{0};
    bool damaged{false};
};

class IndexWriter {
  public:
    static constexpr const char* kHeader = "frame,stamp,key,bytes,latency_ms,frame_code,lost_before,damaged";

    // Creates the file and writes the header line.
    static RecordResult<IndexWriter> Open(const std::string& path);

    // False when the line could not be written.
    bool Write(const IndexRow& row);
    // Hands the buffered lines to the file; false when that failed.
    bool Flush();
    // Flushes and closes the file; false when that failed. Later calls do nothing.
    bool Close();
    // The system's error number of the last failure, 0 when it had none (ENOSPC: the disk is full).
    int LastErrno() const noexcept { return lastErrno_; }

    // One row as it appears in the file, without the line end.
    static std::string Format(const IndexRow& row);

    const std::string& Path() const noexcept { return path_; }

  private:
    IndexWriter() = default;

    bool Check();

    std::string path_;
    std::ofstream file_;
    int lastErrno_{0};
};

}  // namespace camera_record
