#pragma once

// The recorded frames of every camera in one MCAP file, cameras.mcap, as ROS 2 and Foxglove read it: one
// channel per camera, topic /cam_<id>/video, schema foxglove_msgs/msg/CompressedVideo (ros2msg), messages in
// CDR; a message's log time is the frame's receive time, its publish time the published stamp, its sequence
// the frame's number in the camera's index. The chunk being filled is closed on every Flush (once a second),
// so a killed recorder or a full disk loses at most the last second and the summary (see mcap_writer.h). A
// failed write stops the MCAP file only; it is logged and counted. Not thread-safe: the recorder's thread
// owns it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera_recording.h"
#include "mcap_writer.h"
#include "record_error.h"
#include "stream_format.h"

namespace ara::log {
class Logger;
}

namespace camera_record {

class McapRecording {
  public:
    static constexpr const char* kFile = "cameras.mcap";

    // Creates `<directory>/cameras.mcap` with a channel for each of `platformIds`. The error names the file.
    static RecordResult<McapRecording> Open(const std::string& directory, const std::vector<int>& platformIds,
                                            ara::log::Logger& logger);

    // Frame `frameNumber` of camera `platformId`, as recorded in its index, of a stream in `codec`.
    void Add(int platformId, VideoCodec codec, std::uint64_t frameNumber, const ReceivedFrame& frame);
    // Puts every frame so far into complete chunks on disk.
    void Flush();
    // Writes the summary and closes the file; false when the file is incomplete (logged). Call once.
    bool Finish();

    const std::string& Path() const noexcept { return writer_.Path(); }
    std::uint64_t Messages() const noexcept { return writer_.MessagesWritten(); }
    std::uint64_t WriteErrors() const noexcept { return writeErrors_; }

  private:
    McapRecording(camera_tools::mcap::McapWriter writer, ara::log::Logger& logger);
    void Failed();

    camera_tools::mcap::McapWriter writer_;
    ara::log::Logger* logger_;
    std::vector<std::pair<int, std::uint16_t>> channels_;  // platform id, channel id
    std::uint64_t writeErrors_{0};
};

}  // namespace camera_record
