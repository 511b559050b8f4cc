#include "mcap_recording.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <utility>

#include "ara/log/logging.h"
#include "compressed_video.h"

namespace camera_record {

namespace {

namespace mcap = camera_tools::mcap;

// What the ros2 profile asks of every channel: the publisher's QoS as rosbag2 writes it (YAML). The cameras
// are published as ROS 2's sensor-data profile: keep last 5, best effort, volatile.
constexpr const char kSensorDataQos[] =
    "- history: 1\n"
    "  depth: 5\n"
    "  reliability: 2\n"
    "  durability: 2\n"
    "  deadline:\n"
    "    sec: 0\n"
    "    nsec: 0\n"
    "  lifespan:\n"
    "    sec: 0\n"
    "    nsec: 0\n"
    "  liveliness: 1\n"
    "  liveliness_lease_duration:\n"
    "    sec: 0\n"
    "    nsec: 0\n"
    "  avoid_ros_namespace_conventions: false\n";

}  // namespace

RecordResult<McapRecording> McapRecording::Open(const std::string& directory,
                                                const std::vector<int>& platformIds,
                                                ara::log::Logger& logger) {
    using R = RecordResult<McapRecording>;
    mcap::WriterOptions options;
    options.profile = "ros2";
    options.library = "camera_record";
    auto created = mcap::McapWriter::Create(directory + "/" + kFile, options);
    if (!created.HasValue()) {
        return R::FromError({RecordErrc::kOpen, created.Error().message});
    }
    McapRecording recording(std::move(created).Value(), logger);
    const std::uint16_t schema =
        recording.writer_.AddSchema(std::string(camera_tools::kCompressedVideoSchemaName),
                                    std::string(camera_tools::kCompressedVideoSchemaEncoding),
                                    std::string(camera_tools::CompressedVideoSchema()));
    for (const int platformId : platformIds) {
        const std::uint16_t channel =
            recording.writer_.AddChannel(schema, "/cam_" + std::to_string(platformId) + "/video",
                                         std::string(camera_tools::kCompressedVideoMessageEncoding),
                                         {{"offered_qos_profiles", kSensorDataQos}});
        recording.channels_.emplace_back(platformId, channel);
    }
    return R::FromValue(std::move(recording));
}

McapRecording::McapRecording(mcap::McapWriter writer, ara::log::Logger& logger)
    : writer_(std::move(writer)), logger_(&logger) {}

void McapRecording::Add(int platformId, VideoCodec codec, std::uint64_t frameNumber,
                        const ReceivedFrame& frame) {
    const auto found = std::find_if(channels_.begin(), channels_.end(), [platformId](const auto& channel) {
        return channel.first == platformId;
    });
    if (found == channels_.end() || writer_.Failed()) {
        return;
    }
    char frameId[16];
    const int frameIdSize = std::snprintf(frameId, sizeof(frameId), "cam_%d", platformId);
    camera_tools::CompressedVideo video;
    video.sec = frame.sec;
    video.nanosec = static_cast<std::uint32_t>(frame.nsec);
    video.frameId = std::string_view(frameId, static_cast<std::size_t>(frameIdSize));
    video.data = frame.data;
    video.size = frame.size;
    video.format = CodecName(codec);

    mcap::MessageHeader header;
    header.channelId = found->second;
    header.sequence = static_cast<std::uint32_t>(frameNumber);
    header.logTimeNs = static_cast<std::uint64_t>(frame.receiveRealtimeNs);
    header.publishTimeNs =
        static_cast<std::uint64_t>(static_cast<std::int64_t>(frame.sec) * 1000000000 + frame.nsec);
    if (!writer_.Write(header, camera_tools::CompressedVideoCdrSize(video),
                       [&video](std::uint8_t* out) { camera_tools::EncodeCompressedVideo(video, out); })) {
        Failed();
    }
}

void McapRecording::Flush() {
    if (!writer_.Failed() && !writer_.CloseChunk()) {
        Failed();
    }
}

bool McapRecording::Finish() {
    const bool failedBefore = writer_.Failed();
    if (!writer_.Close() && !failedBefore) {
        Failed();
    }
    if (writeErrors_ > 0) {
        logger_->LogError(ARA_LOG_HERE) << Path() << " is incomplete (" << writer_.LastError().message
                                        << "): it holds the chunks written before, which a reader reads from "
                                           "the start";
        return false;
    }
    logger_->LogInfo(ARA_LOG_HERE) << Path() << ": " << writer_.MessagesWritten() << " messages in "
                                   << writer_.ChunksWritten() << " chunks";
    return true;
}

// The writer stops at its first failed write; the file keeps its complete chunks.
void McapRecording::Failed() {
    if (writer_.LastError().code == mcap::McapErrc::kUsage) {
        return;
    }
    ++writeErrors_;
    logger_->LogError(ARA_LOG_HERE) << writer_.LastError().message
                                    << "; nothing more goes into it, the other outputs go on";
}

}  // namespace camera_record
