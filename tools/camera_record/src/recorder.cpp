#include "recorder.h"

#include <algorithm>
#include <fstream>

#include "ara/log/logging.h"
#include "contact_sheet.h"

namespace camera_record {

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
}

void Recorder::Add(int cameraIndex, const ReceivedFrame& frame) {
    ++samples_;
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
    (*camera)->Add(frame);
}

void Recorder::NoteLostSamples() {
    for (const auto& camera : cameras_) {
        camera->NoteStreamBreak();
    }
}

bool Recorder::AllReachedLimit() const {
    return options_.framesPerCamera && std::all_of(cameras_.begin(), cameras_.end(),
                                                   [](const auto& camera) { return camera->ReachedLimit(); });
}

std::string Recorder::LiveLine(double elapsedSeconds, double windowSeconds, std::uint64_t missedSamples) {
    std::vector<LiveCamera> live;
    for (const auto& camera : cameras_) {
        live.push_back(LiveCamera{camera->Name(), camera->Stats().TakeWindow(windowSeconds)});
    }
    const PublisherState publisher = samples_ == 0                      ? PublisherState::kWaiting
                                     : samples_ == samplesBeforeWindow_ ? PublisherState::kSilent
                                                                        : PublisherState::kActive;
    samplesBeforeWindow_ = samples_;
    return FormatLiveLine(elapsedSeconds, live, missedSamples, publisher);
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
        outputsIncomplete_ = outputsIncomplete_ || !entry.failure.empty() || entry.writeErrors > 0;
        report.cameras.push_back(entry);
        if (sheet.HasValue() && camera->LatestPicture() != nullptr) {
            sheet.Value().Place(camera->PlatformId() - kFirstPlatformId, *camera->LatestPicture());
        }
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
            logger_.LogError(ARA_LOG_HERE) << written.Error();
            outputsIncomplete_ = true;
        }
    } else {
        logger_.LogError(ARA_LOG_HERE) << sheet.Error();
        outputsIncomplete_ = true;
    }

    const std::string text = FormatSummary(report);
    const std::string path = options_.outputDirectory + "/" + kSummaryFile;
    std::ofstream file(path, std::ios::trunc);
    file << text;
    file.close();
    if (!file) {
        logger_.LogError(ARA_LOG_HERE) << path << ": cannot be written";
        outputsIncomplete_ = true;
    }
    return text;
}

}  // namespace camera_record
