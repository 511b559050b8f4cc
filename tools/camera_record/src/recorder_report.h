#pragma once

// The recorder's text outputs: the live line printed every second and the summary printed and written to
// summary.txt at the end.

#include <cstdint>
#include <string>
#include <vector>

#include "recording_stats.h"

namespace camera_record {

struct LiveCamera {
    std::string name;  // cam_8
    WindowFigures figures;
    std::uint64_t writeErrors{0};  // since the start
    std::string stopReason;  // why the camera stopped recording ("disk full ..."), empty while it records
};

// What the recorder has heard of the publisher by the end of a window.
enum class PublisherState : std::uint8_t {
    kWaiting,  // no sample yet
    kQuiet,    // samples before, none in this window, but not yet for the silence timeout
    kSilent,   // nothing for at least the silence timeout
    kActive,
};

// e.g. "[  3 s] cam_8 30.0 fps 2.10 Mbit/s 1 key | cam_9 ... | latency p50 4.2 ms max 9.1 ms | missed 0",
// ending in "| waiting for the publisher" before the first sample, "| no samples" in a quiet window and
// "| PUBLISHER SILENT for 5.0 s" (`silentSeconds` since its last sample) once it is silent. A camera that
// lost frames in the window shows "2 lost 7 damaged" after its key count, one with failed writes "3 write
// errors", one that stopped recording "STOPPED: <reason>".
std::string FormatLiveLine(double elapsedSeconds, const std::vector<LiveCamera>& cameras,
                           std::uint64_t missedSamples, PublisherState publisher, double silentSeconds = 0.0);

struct CameraReport {
    std::string name;
    std::string codec;  // h264, h265, or "none" before the first key frame
    int width{0};
    int height{0};
    CameraSummary summary;
    std::uint64_t skippedBeforeKeyFrame{0};
    std::uint64_t decodeErrors{0};
    std::uint64_t writeErrors{0};
    std::string failure;     // why nothing was recorded, when files could not be opened
    std::string stopReason;  // why recording stopped on the way (disk full)
};

struct RecordingReport {
    double elapsedSeconds{0.0};
    std::uint32_t entityId{0};
    std::string outputDirectory;
    std::vector<CameraReport> cameras;
    std::uint64_t missedSamples{0};       // for the event, all cameras together
    std::uint64_t undecodableSamples{0};  // samples whose payload did not deserialize
    std::uint64_t foreignSamples{0};      // samples of cameras not recorded or with an invalid camera id
    std::uint64_t publisherRestarts{0};   // times the publisher's sequence started over (it was restarted)
    std::uint64_t publisherSilences{0};   // times the publisher fell silent (nothing for the silence timeout)
    // How long the publisher had been silent when the recording ended; 0 when it was not silent then.
    double silentAtEndSeconds{0.0};
    std::string contactSheet;  // path, or empty when none was written
};

// One line per camera of key=value pairs, e.g.
//   cam_8 frames=300 key_frames=10 fps=30.00 bitrate_kbps=2104.3 latency_p50_ms=4.21 latency_p99_ms=9.80 ...
// between a heading line and the event-wide figures; a publisher silent at the end has a line of its own.
std::string FormatSummary(const RecordingReport& report);

}  // namespace camera_record
