#include "recorder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "ara/log/logging.h"
#include "contact_sheet.h"

namespace camera_record {
namespace {

// Nanoseconds as seconds with one decimal, for log lines.
std::string SecondsText(std::int64_t ns) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", static_cast<double>(ns) / 1e9);
    return text;
}

}  // namespace

Recorder::Recorder(const RecorderOptions& options, ara::log::Logger& logger)
    : options_(options), logger_(logger) {
    for (const int platformId : options_.cameras) {
        CameraRecording::Settings settings;
        settings.platformId = platformId;
        settings.outputDirectory = options_.outputDirectory;
        settings.frameLimit = options_.framesPerCamera;
        settings.codeScale = options_.codeScale;
        cameras_.push_back(std::make_unique<CameraRecording>(settings, logger_));
    }
    if (options_.mcap) {
        auto opened = McapRecording::Open(options_.outputDirectory, options_.cameras, logger_);
        if (opened.HasValue()) {
            mcap_.emplace(std::move(opened).Value());
        } else {
            logger_.LogError(ARA_LOG_HERE) << opened.Error().message << "; recording without it";
            outputsIncomplete_ = true;
        }
    }
}

void Recorder::Add(int cameraIndex, const ReceivedFrame& frame) {
    ++samples_;
    NoteHeard(frame.receiveMonotonicNs);
    const int platformId = kFirstPlatformId + cameraIndex;
    const auto camera = std::find_if(cameras_.begin(), cameras_.end(), [platformId](const auto& recording) {
        return recording->PlatformId() == platformId;
    });
    if (camera == cameras_.end()) {
        ++foreignSamples_;
        if (!loggedForeign_ && (cameraIndex < 0 || cameraIndex >= kCameraCount)) {
            logger_.LogWarn(ARA_LOG_HERE) << "a sample carries camera index " << cameraIndex
                                          << ", expected 0 to 3; such samples are counted and dropped";
            loggedForeign_ = true;
        }
        return;
    }
    const std::uint64_t recordedBefore = (*camera)->Recorded();
    (*camera)->Add(frame);
    if (mcap_ && (*camera)->Recorded() > recordedBefore) {
        mcap_->Add(platformId, (*camera)->Parameters().codec, recordedBefore, frame);
    }
}

void Recorder::NoteHeard(std::int64_t monotonicNs) {
    if (silent_) {
        silent_ = false;
        logger_.LogInfo(ARA_LOG_HERE)
            << "the publisher is back after " << SecondsText(monotonicNs - lastHeardNs_.value_or(monotonicNs))
            << " s of silence";
    }
    if (!lastHeardNs_ || monotonicNs > *lastHeardNs_) {
        lastHeardNs_ = monotonicNs;
    }
}

void Recorder::CheckSilence(std::int64_t monotonicNs) {
    lastCheckNs_ = monotonicNs;
    if (silent_ || !lastHeardNs_) {
        return;
    }
    if (static_cast<double>(monotonicNs - *lastHeardNs_) / 1e9 >= options_.silenceTimeoutSeconds) {
        silent_ = true;
        ++silences_;
        logger_.LogWarn(ARA_LOG_HERE)
            << "the publisher has sent nothing for " << SecondsText(monotonicNs - *lastHeardNs_)
            << " s (silence timeout " << options_.silenceTimeoutSeconds
            << " s): it is paused, stopped or cut off; a recording that ends before it is back ends with "
               "status "
            << kExitPublisherSilent;
    }
}

double Recorder::SilentSeconds() const {
    return silent_ && lastHeardNs_ ? static_cast<double>(lastCheckNs_ - *lastHeardNs_) / 1e9 : 0.0;
}

void Recorder::NoteLostSamples() {
    for (const auto& camera : cameras_) {
        camera->NoteStreamBreak();
    }
}

void Recorder::NoteSequence(std::uint64_t sequence) {
    if (expectedSequence_ && sequence < *expectedSequence_) {
        ++restarts_;
        logger_.LogWarn(ARA_LOG_HERE)
            << "the publisher started over: sequence " << sequence << " after " << *expectedSequence_ - 1U
            << "; it was restarted (counted as a restart, not as lost samples)";
        NoteLostSamples();
    } else if (expectedSequence_ && sequence != *expectedSequence_) {
        NoteLostSamples();
    }
    expectedSequence_ = sequence + 1U;
}

void Recorder::Flush() {
    for (const auto& camera : cameras_) {
        camera->Flush();
    }
    if (mcap_) {
        mcap_->Flush();
    }
}

bool Recorder::AllReachedLimit() const {
    return options_.framesPerCamera && std::all_of(cameras_.begin(), cameras_.end(),
                                                   [](const auto& camera) { return camera->ReachedLimit(); });
}

std::string Recorder::LiveLine(double elapsedSeconds, double windowSeconds, std::uint64_t missedSamples) {
    std::vector<LiveCamera> live;
    for (const auto& camera : cameras_) {
        live.push_back(LiveCamera{camera->Name(), camera->Stats().TakeWindow(windowSeconds),
                                  camera->WriteErrors(), camera->StopReason()});
    }
    const PublisherState publisher = !lastHeardNs_                      ? PublisherState::kWaiting
                                     : silent_                          ? PublisherState::kSilent
                                     : samples_ == samplesBeforeWindow_ ? PublisherState::kQuiet
                                                                        : PublisherState::kActive;
    samplesBeforeWindow_ = samples_;
    std::string line = FormatLiveLine(elapsedSeconds, live, missedSamples, publisher, SilentSeconds());
    if (restarts_ != restartsBeforeWindow_) {
        line += " | publisher restarted";
        restartsBeforeWindow_ = restarts_;
    }
    return line;
}

const CameraRecording* Recorder::Camera(int platformId) const {
    for (const auto& camera : cameras_) {
        if (camera->PlatformId() == platformId) {
            return camera.get();
        }
    }
    return nullptr;
}

std::string Recorder::Finish(double elapsedSeconds, std::uint64_t missedSamples,
                             std::uint64_t undecodableSamples) {
    RecordingReport report;
    report.elapsedSeconds = elapsedSeconds;
    report.entityId = kImageEventId;
    report.outputDirectory = options_.outputDirectory;
    report.missedSamples = missedSamples;
    report.undecodableSamples = undecodableSamples;
    report.foreignSamples = foreignSamples_;
    report.publisherRestarts = restarts_;
    report.publisherSilences = silences_;
    report.silentAtEndSeconds = SilentSeconds();

    auto sheet = ContactSheet::Create();
    for (const auto& camera : cameras_) {
        camera->Finish();
        CameraReport entry;
        entry.name = camera->Name();
        const StreamParameters& parameters = camera->Parameters();
        entry.codec = parameters.codec == VideoCodec::kUnknown ? "none" : CodecName(parameters.codec);
        entry.width = parameters.width;
        entry.height = parameters.height;
        entry.summary = camera->Stats().Summary();
        entry.skippedBeforeKeyFrame = camera->SkippedBeforeKeyFrame();
        entry.decodeErrors = camera->DecodeErrors();
        entry.writeErrors = camera->WriteErrors();
        entry.failure = camera->Failure();
        entry.stopReason = camera->StopReason();
        outputsIncomplete_ = outputsIncomplete_ || !entry.failure.empty() || entry.writeErrors > 0;
        report.cameras.push_back(entry);
        if (sheet.HasValue() && camera->LatestPicture() != nullptr) {
            sheet.Value().Place(camera->PlatformId() - kFirstPlatformId, *camera->LatestPicture());
        }
    }

    if (mcap_ && !mcap_->Finish()) {
        outputsIncomplete_ = true;
    }

    if (sheet.HasValue()) {
        for (int position = 0; position < ContactSheet::kCells; ++position) {
            sheet.Value().Label(position, "cam_" + std::to_string(kFirstPlatformId + position));
        }
        const std::string path = options_.outputDirectory + "/" + kContactSheetFile;
        const auto written = sheet.Value().WritePng(path);
        if (written.HasValue()) {
            report.contactSheet = path;
        } else {
            logger_.LogError(ARA_LOG_HERE) << written.Error().message;
            outputsIncomplete_ = true;
        }
    } else {
        logger_.LogError(ARA_LOG_HERE) << sheet.Error().message;
        outputsIncomplete_ = true;
    }

    std::string text = FormatSummary(report);
    const std::string path = options_.outputDirectory + "/" + kSummaryFile;
    errno = 0;
    std::ofstream file(path, std::ios::trunc);
    file << text;
    file.close();
    if (!file) {
        // An empty or cut summary would pass for a real one: none at all, and the reason.
        const int error = errno;
        std::remove(path.c_str());
        logger_.LogError(ARA_LOG_HERE)
            << path << ": cannot be written" << (error == ENOSPC ? ": the disk is full" : "")
            << (error != 0 ? " (" + std::string(std::strerror(error)) + ")" : "")
            << "; the summary is only on standard output";
        outputsIncomplete_ = true;
    }
    return text;
}

}  // namespace camera_record
