#include "recorder_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

namespace camera_record {
namespace {

__attribute__((format(printf, 1, 2))) std::string Format(const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return std::string(text, length > 0 ? std::min(static_cast<std::size_t>(length), sizeof(text) - 1) : 0U);
}

}  // namespace

std::string FormatLiveLine(double elapsedSeconds, const std::vector<LiveCamera>& cameras,
                           std::uint64_t missedSamples, PublisherState publisher, double silentSeconds) {
    std::string line = Format("[%4.0f s]", elapsedSeconds);
    std::vector<double> latencies;
    for (const LiveCamera& camera : cameras) {
        const WindowFigures& figures = camera.figures;
        line += Format(" %s %4.1f fps %5.2f Mbit/s %" PRIu64 " key", camera.name.c_str(), figures.fps,
                       figures.bitRateKbps / 1000.0, figures.keyFrames);
        if (figures.lostFrames > 0 || figures.damagedFrames > 0) {
            line +=
                Format(" %" PRIu64 " lost %" PRIu64 " damaged", figures.lostFrames, figures.damagedFrames);
        }
        if (camera.writeErrors > 0) {
            line += Format(" %" PRIu64 " write errors", camera.writeErrors);
        }
        if (!camera.stopReason.empty()) {
            line += " STOPPED: " + camera.stopReason;
        }
        line += " |";
        latencies.insert(latencies.end(), figures.latenciesMs.begin(), figures.latenciesMs.end());
    }
    if (latencies.empty()) {
        line += " latency -";
    } else {
        line += Format(" latency p50 %.1f ms max %.1f ms", Percentile(latencies, 50.0),
                       Percentile(latencies, 100.0));
    }
    line += Format(" | missed %" PRIu64, missedSamples);
    if (publisher == PublisherState::kWaiting) {
        line += " | waiting for the publisher";
    } else if (publisher == PublisherState::kQuiet) {
        line += " | no samples";
    } else if (publisher == PublisherState::kSilent) {
        line += Format(" | PUBLISHER SILENT for %.1f s", silentSeconds);
    }
    return line;
}

std::string FormatSummary(const RecordingReport& report) {
    std::string text = Format("camera_record summary: %.1f s, event %" PRIu32 ", output %s\n",
                              report.elapsedSeconds, report.entityId, report.outputDirectory.c_str());
    for (const CameraReport& camera : report.cameras) {
        const CameraSummary& s = camera.summary;
        text += Format("%s frames=%" PRIu64 " key_frames=%" PRIu64 " fps=%.2f bitrate_kbps=%.1f",
                       camera.name.c_str(), s.frames, s.keyFrames, s.fps, s.bitRateKbps);
        text += Format(" latency_p50_ms=%.2f latency_p99_ms=%.2f latency_max_ms=%.2f", s.latencyP50Ms,
                       s.latencyP99Ms, s.latencyMaxMs);
        text += Format(" decode_errors=%" PRIu64 " write_errors=%" PRIu64, camera.decodeErrors,
                       camera.writeErrors);
        text += Format(" codec=%s size=%dx%d skipped_before_key=%" PRIu64, camera.codec.c_str(), camera.width,
                       camera.height, camera.skippedBeforeKeyFrame);
        text += Format(" coded_frames=%" PRIu64 " code_gaps=%" PRIu64 " code_disorder=%" PRIu64,
                       s.framesWithCode, s.codeGaps, s.codeDisorder);
        text +=
            Format(" lost_frames=%" PRIu64 " damaged_frames=%" PRIu64 "\n", s.lostFrames, s.damagedFrames);
        if (!camera.failure.empty()) {
            text += camera.name + " not recorded: " + camera.failure + "\n";
        }
        if (!camera.stopReason.empty()) {
            text += camera.name + " stopped recording: " + camera.stopReason + "\n";
        }
    }
    text += Format("missed_samples=%" PRIu64 " undecodable_samples=%" PRIu64 " other_camera_samples=%" PRIu64
                   " publisher_restarts=%" PRIu64 " publisher_silences=%" PRIu64
                   " (event-wide, all cameras together)\n",
                   report.missedSamples, report.undecodableSamples, report.foreignSamples,
                   report.publisherRestarts, report.publisherSilences);
    if (report.silentAtEndSeconds > 0.0) {
        text += Format("publisher silent at the end: no sample for the last %.1f s of the recording\n",
                       report.silentAtEndSeconds);
    }
    if (!report.contactSheet.empty()) {
        text += "contact sheet: " + report.contactSheet +
                " (cam_8 top-left, cam_9 top-right, cam_10 bottom-left, cam_11 bottom-right)\n";
    }
    return text;
}

}  // namespace camera_record
