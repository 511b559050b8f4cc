#pragma once

// The recorder without its transport: routes each received frame to its camera's recording, forms the live
// line, and at the end finishes the files and writes summary.txt and contact_sheet.png into the output
// directory. Not thread-safe: one thread receives and records.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "camera_recording.h"
#include "mcap_recording.h"
#include "recorder_options.h"
#include "recorder_report.h"

namespace camera_record {

class Recorder {
  public:
    static constexpr std::uint32_t kImageEventId = 35045;
    static constexpr const char* kSummaryFile = "summary.txt";
    static constexpr const char* kContactSheetFile = "contact_sheet.png";

    // The output directory must exist.
    Recorder(const RecorderOptions& options, ara::log::Logger& logger);

    // A frame of the camera with index `cameraIndex` in the event (0..3, platform id 8..11). Frames of
    // cameras not recorded are counted and dropped.
    void Add(int cameraIndex, const ReceivedFrame& frame);
    // Samples were lost in transport before the next one; they may have been any camera's.
    void NoteLostSamples();
    // The publisher's sequence number of the next sample: a gap is lost samples; a number that goes back
    // is a publisher that started over (the application was restarted), logged and counted as a restart.
    void NoteSequence(std::uint64_t sequence);
    std::uint64_t PublisherRestarts() const noexcept { return restarts_; }

    // A sample arrived at `monotonicNs` (steady clock), whether it could be read or not. Add() notes its
    // frame's receive time itself.
    void NoteHeard(std::int64_t monotonicNs);
    // Looks at the clock: a publisher that sent before and has sent nothing for the silence timeout is
    // silent (logged once per silence; its return is logged too). Call at least every few hundred ms.
    void CheckSilence(std::int64_t monotonicNs);
    // Whether the publisher is silent at the last CheckSilence.
    bool PublisherSilent() const noexcept { return silent_; }
    std::uint64_t PublisherSilences() const noexcept { return silences_; }

    // True when a frame count was given and every recorded camera has reached it.
    bool AllReachedLimit() const;

    // The live line for a window of `windowSeconds` ending `elapsedSeconds` after the start; starts the
    // next window.
    std::string LiveLine(double elapsedSeconds, double windowSeconds, std::uint64_t missedSamples);
    // Hands every camera's buffered index lines and frames to the files; call every second.
    void Flush();

    // Finishes every camera's files and writes the contact sheet and the summary; returns the summary
    // text. Call once.
    std::string Finish(double elapsedSeconds, std::uint64_t missedSamples, std::uint64_t undecodableSamples);

    const CameraRecording* Camera(int platformId) const;

    // After Finish: true when some output could not be written (each was logged).
    bool OutputsIncomplete() const noexcept { return outputsIncomplete_; }

  private:
    // How long the publisher has been silent at the last CheckSilence; 0 while it is not.
    double SilentSeconds() const;

    RecorderOptions options_;
    ara::log::Logger& logger_;
    std::vector<std::unique_ptr<CameraRecording>> cameras_;  // by ascending platform id
    std::optional<McapRecording> mcap_;                      // with --format mcap
    std::uint64_t foreignSamples_{0};
    std::uint64_t samples_{0};
    std::uint64_t samplesBeforeWindow_{0};
    std::optional<std::uint64_t> expectedSequence_;
    std::uint64_t restarts_{0};
    std::uint64_t restartsBeforeWindow_{0};
    bool loggedForeign_{false};
    std::optional<std::int64_t> lastHeardNs_;  // steady clock of the latest sample
    std::int64_t lastCheckNs_{0};
    std::uint64_t silences_{0};
    bool silent_{false};
    bool outputsIncomplete_{false};
};

}  // namespace camera_record
