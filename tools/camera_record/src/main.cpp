// camera_record: subscribes to the cameras' encoded frames on the visualization image event over shared
// memory and records them per camera (elementary stream, MP4, index), with a live line every second and a
// summary and contact sheet at the end. See its usage in recorder_options.cpp.

#include <signal.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "ara/log/logging.h"
#include "command_line.h"
#include "impl_type_camerah265image.h"
#include "output_directory.h"
#include "recorder.h"
#include "recorder_options.h"
#include "vrt/cm/event_subscriber.h"
#include "vrt/cm/transport_runtime.h"

namespace {

using Clock = std::chrono::steady_clock;
using camera_record::Recorder;

volatile std::sig_atomic_t stopRequested = 0;
// RouDi ended or restarted: nothing more will arrive. Set on the middleware's monitoring thread.
std::atomic<bool> roudiLost{false};

void RequestStop(int /*signal*/) {
    stopRequested = 1;
}

void InstallSignalHandlers() {
    struct sigaction action {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

std::int64_t RealtimeNs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::int64_t MonotonicNs(Clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
}

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// Samples handled between two looks at the clock, so that the live line keeps its rhythm under load.
constexpr int kSamplesPerTurn = 32;
// Samples the subscriber keeps while the recorder is busy; beyond, the oldest are lost (and counted).
constexpr std::uint64_t kQueueCapacity = 64;

// Runs the tool with its command line read.
int Record(camera_record::RecorderOptions options) {
    if (options.manifestPath.empty()) {
        options.manifestPath = vrt::cm::deployment::DeploymentManifest::DefaultPath();
    }

    ara::log::InitLogging("CREC", "camera recorder", ara::log::LogLevel::kInfo, ara::log::LogMode::kConsole,
                          "");
    ara::log::Logger& logger = ara::log::CreateLogger("REC", "recording");

    // Before anything else: a recording of before is not overwritten unless asked for.
    const auto prepared = camera_record::PrepareOutputDirectory(options.outputDirectory, options.overwrite);
    if (!prepared.HasValue()) {
        std::cerr << "camera_record: " << prepared.Error().message << "\n";
        return 1;
    }
    if (!prepared.Value().empty()) {
        logger.LogWarn(ARA_LOG_HERE) << "--overwrite: removed the " << prepared.Value().size()
                                     << " files of the previous recording in " << options.outputDirectory
                                     << " (" << prepared.Value().front() << ", ...)";
    }

    InstallSignalHandlers();
    vrt::cm::SetTransportLossHandler([](const std::string& /*reason*/) {
        roudiLost = true;
        stopRequested = 1;
    });
    vrt::cm::EventSubscriber<CameraH265Image>::Options subscriberOptions;
    subscriberOptions.queueCapacity = kQueueCapacity;
    if (options.someip) {
        subscriberOptions.transport = vrt::cm::type::DriverType::SOMEIP;
    }
    if (options.dds) {
        subscriberOptions.transport = vrt::cm::type::DriverType::DDS;
    }
    auto subscribed = vrt::cm::EventSubscriber<CameraH265Image>::Create(
        Recorder::kImageEventId, subscriberOptions, options.manifestPath);
    if (!subscribed.HasValue()) {
        std::cerr << "camera_record: cannot subscribe to the camera images (event " << Recorder::kImageEventId
                  << "): " << subscribed.Error().message << "\n";
        if (vrt::cm::StartupAbandoned()) {
            // iceoryx's registration still runs on a thread of its own: end without destroying its statics.
            std::cerr << std::flush;
            std::_Exit(1);
        }
        return 1;
    }
    auto& subscriber = *subscribed.Value();

    Recorder recorder(options, logger);
    logger.LogInfo(ARA_LOG_HERE) << "recording event " << Recorder::kImageEventId << " to "
                                 << options.outputDirectory;

    const Clock::time_point start = Clock::now();
    Clock::time_point windowStart = start;
    CameraH265Image record;
    vrt::cm::SampleHeader header;
    while (stopRequested == 0) {
        if (subscriber.WaitForData(std::chrono::milliseconds(50))) {
            for (int i = 0; i < kSamplesPerTurn; ++i) {
                const auto outcome = subscriber.TryReceive(record, &header);
                if (!outcome) {
                    break;
                }
                const std::int64_t receivedNs = MonotonicNs(Clock::now());
                recorder.NoteHeard(receivedNs);
                // A gap in the publisher's sequence, or a sample we cannot read, cost some camera a frame.
                recorder.NoteSequence(header.sequence);
                if (!outcome->IsSuccess()) {
                    recorder.NoteLostSamples();
                    continue;
                }
                camera_record::ReceivedFrame frame;
                frame.receiveRealtimeNs = RealtimeNs();
                frame.receiveMonotonicNs = receivedNs;
                frame.data = record.data.data();
                frame.size = record.data.size();
                frame.sec = record.header.sec;
                frame.nsec = record.header.nsec;
                frame.keyFlag = record.isKeyFrame;
                recorder.Add(record.cameraId, frame);
            }
        }
        const Clock::time_point now = Clock::now();
        recorder.CheckSilence(MonotonicNs(now));
        if (now - windowStart >= std::chrono::seconds(1)) {
            std::cout << recorder.LiveLine(SecondsBetween(start, now), SecondsBetween(windowStart, now),
                                           subscriber.MissedSamples())
                      << std::endl;
            recorder.Flush();
            windowStart = now;
        }
        if (options.durationSeconds && SecondsBetween(start, now) >= *options.durationSeconds) {
            break;
        }
        if (recorder.AllReachedLimit()) {
            break;
        }
    }

    recorder.CheckSilence(MonotonicNs(Clock::now()));
    const std::string summary = recorder.Finish(SecondsBetween(start, Clock::now()),
                                                subscriber.MissedSamples(), subscriber.DecodeFailures());
    std::cout << summary << std::flush;
    if (roudiLost) {
        std::cerr << "camera_record: RouDi was lost (ended or restarted), so no sample can arrive any more; "
                     "the files hold what was received before. Exit status 1.\n";
        return 1;
    }
    if (recorder.OutputsIncomplete()) {
        std::cerr << "camera_record: some outputs in " << options.outputDirectory
                  << " could not be written (see the errors above)\n";
        return 1;
    }
    if (recorder.PublisherSilent()) {
        std::cerr << "camera_record: the publisher fell silent and did not come back before the end (see "
                     "the summary); the files hold what was received before. Exit status "
                  << camera_record::kExitPublisherSilent << ".\n";
        return camera_record::kExitPublisherSilent;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return camera_tools::RunTool("camera_record", argc, argv, camera_record::RecorderCommandLine(), Record);
}
