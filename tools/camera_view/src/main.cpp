// camera_view: subscribes to the cameras' encoded frames on the visualization image event over shared memory,
// like camera_record, and serves them live to browsers with their figures. See its usage in view_options.cpp.

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <chrono>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "ara/log/logging.h"
#include "camera_figures.h"
#include "command_line.h"
#include "compressed_video.h"
#include "foxglove_protocol.h"
#include "frame_message.h"
#include "impl_type_camerah265image.h"
#include "view_options.h"
#include "view_server.h"
#include "vrt/cm/event_subscriber.h"
#include "vrt/cm/transport_runtime.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kImageEventId = 35045;
// Samples the subscriber keeps while camera_view is busy; beyond, the oldest are lost (and counted).
constexpr std::uint64_t kQueueCapacity = 64;

// SIGINT and SIGTERM stay pending (blocked in every thread, which inherit the mask) until the receiving loop
// asks for them, so that no handler runs in the middle of anything.
sigset_t BlockStopSignals() {
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    // A browser that goes away mid-write must not end the process.
    ::signal(SIGPIPE, SIG_IGN);
    return stop;
}

bool StopRequested(const sigset_t& stop) {
    const timespec now{0, 0};
    return ::sigtimedwait(&stop, nullptr, &now) > 0;
}

std::int64_t NowNs(clockid_t clock) {
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::string HostList(const camera_view::ServerOptions& options) {
    std::string names = "localhost, 127.0.0.1, [::1]";
    if (options.address != "127.0.0.1") {
        names += ", " + options.address;
    }
    for (const std::string& name : options.allowedHosts) {
        names += ", " + name;
    }
    return names;
}

// What the server refused since the last report, once a second at most and only when there is something.
void LogRefusals(ara::log::Logger& logger, const camera_view::ServerCounters& before,
                 const camera_view::ServerCounters& now) {
    const std::uint64_t hosts = now.refusedHosts - before.refusedHosts;
    const std::uint64_t origins = now.refusedOrigins - before.refusedOrigins;
    const std::uint64_t viewers = now.refusedViewers - before.refusedViewers;
    const std::uint64_t connections = now.refusedConnections - before.refusedConnections;
    if (hosts + origins + viewers + connections == 0) {
        return;
    }
    logger.LogWarn(ARA_LOG_HERE) << "refused in the last second: " << hosts
                                 << " request(s) for a foreign host, " << origins
                                 << " viewer(s) from a foreign page, " << viewers
                                 << " viewer(s) beyond the cap, " << connections
                                 << " connection(s) beyond the cap";
}

// Runs the tool with its command line read.
int Serve(camera_view::ViewOptions options) {
    if (options.manifestPath.empty()) {
        options.manifestPath = vrt::cm::deployment::DeploymentManifest::DefaultPath();
    }

    const sigset_t stopSignals = BlockStopSignals();  // before any thread starts
    ara::log::InitLogging("CVIE", "camera viewer", ara::log::LogLevel::kInfo, ara::log::LogMode::kConsole,
                          "");
    ara::log::Logger& logger = ara::log::CreateLogger("VIEW", "live view");

    vrt::cm::EventSubscriber<CameraH265Image>::Options subscriberOptions;
    subscriberOptions.queueCapacity = kQueueCapacity;
    const bool shm = options.transport == "shm";
    subscriberOptions.transport = options.transport == "dds"      ? vrt::cm::type::DriverType::DDS
                                  : options.transport == "someip" ? vrt::cm::type::DriverType::SOMEIP
                                                                  : vrt::cm::type::DriverType::SHM;
    auto subscribed = vrt::cm::EventSubscriber<CameraH265Image>::Create(kImageEventId, subscriberOptions,
                                                                        options.manifestPath);
    if (!subscribed.HasValue()) {
        std::cerr << "camera_view: cannot subscribe to the camera images (event " << kImageEventId
                  << "): " << subscribed.Error().message << "\n";
        return 1;
    }
    auto& subscriber = *subscribed.Value();

    camera_view::ServerOptions serverOptions;
    serverOptions.address = options.address;
    serverOptions.port = options.port;
    serverOptions.allowedHosts = options.allowedHosts;
    serverOptions.allowedOrigins = options.allowedOrigins;
    auto started = camera_view::ViewServer::Start(serverOptions);
    if (!started.HasValue()) {
        std::cerr << "camera_view: " << started.Error().message << "\n";
        return 1;
    }
    camera_view::ViewServer& server = *started.Value();
    // On every interface (a wildcard address), this machine's own browser opens it by the loopback name.
    std::string host =
        options.address.find(':') != std::string::npos ? "[" + options.address + "]" : options.address;
    if (host == "0.0.0.0") {
        host = "127.0.0.1";
    } else if (host == "[::]") {
        host = "[::1]";
    }
    std::cout << "camera_view: open http://" << host << ":" << server.Port() << "/ in a browser" << std::endl;
    std::cout << "camera_view: in Foxglove, open connection ws://" << host << ":" << server.Port()
              << std::endl;
    logger.LogInfo(ARA_LOG_HERE) << "serving event " << static_cast<unsigned int>(kImageEventId) << " on "
                                 << options.address << " port " << static_cast<unsigned int>(server.Port())
                                 << " to requests for " << HostList(serverOptions) << "; at most "
                                 << static_cast<std::uint64_t>(serverOptions.maxViewers) << " viewers and "
                                 << static_cast<std::uint64_t>(serverOptions.maxConnections)
                                 << " connections";
    camera_view::ServerCounters reported;

    camera_view::FigureBoard board;
    std::array<std::uint32_t, camera_view::kCameras> frameNumbers{};
    // Each camera's format, from its latest key frame's parameter sets.
    std::array<std::string_view, camera_view::kCameras> formats{"h264", "h264", "h264", "h264"};
    static const std::array<std::string, camera_view::kCameras> kFrameIds = {"cam_8", "cam_9", "cam_10",
                                                                             "cam_11"};
    const Clock::time_point start = Clock::now();
    Clock::time_point windowStart = start;
    CameraH265Image record;
    while (!StopRequested(stopSignals)) {
        if (subscriber.WaitForData(std::chrono::milliseconds(50))) {
            while (auto outcome = subscriber.TryReceive(record)) {
                if (!outcome->IsSuccess()) {
                    continue;
                }
                const int camera = record.cameraId;
                if (camera < 0 || camera >= camera_view::kCameras) {
                    continue;
                }
                camera_view::FrameHeader header;
                header.camera = static_cast<std::uint8_t>(camera);
                header.key = record.isKeyFrame;
                header.frameNumber = frameNumbers[static_cast<std::size_t>(camera)]++;
                header.publishNs =
                    static_cast<std::int64_t>(record.header.sec) * 1000000000 + record.header.nsec;
                header.receiveNs = NowNs(CLOCK_REALTIME);
                board.AddFrame(camera, NowNs(CLOCK_MONOTONIC), header.publishNs, header.receiveNs,
                               record.data.size(), header.key, record.data.data());
                server.PublishFrame(
                    camera_view::MakeFrameMessage(header, record.data.data(), record.data.size()), camera,
                    header.key);
                const auto index = static_cast<std::size_t>(camera);
                if (header.key) {
                    const auto format =
                        camera_tools::AnnexBVideoFormat(record.data.data(), record.data.size());
                    formats[index] = format.empty() ? formats[index] : format;
                }
                if (server.FoxgloveSubscribed(camera)) {
                    camera_tools::CompressedVideo video;
                    video.sec = record.header.sec;
                    video.nanosec = static_cast<std::uint32_t>(record.header.nsec);
                    video.frameId = kFrameIds[index];
                    video.data = record.data.data();
                    video.size = record.data.size();
                    video.format = formats[index];
                    server.PublishFoxgloveVideo(camera_view::MakeVideoMessage(header.receiveNs, video),
                                                camera, header.key);
                }
            }
        }
        const Clock::time_point now = Clock::now();
        if (now - windowStart >= std::chrono::seconds(1)) {
            camera_view::TransportView transport;
            // A restarted RouDi is running, but this process's ports died with the old one.
            transport.rouDiRunning =
                !shm || (!vrt::cm::TransportLost() && vrt::cm::shm::ShmRuntime::RouDiRunning());
            transport.offered = subscriber.IsConnected();
            transport.missedSamples = subscriber.MissedSamples();
            transport.decodeFailures = subscriber.DecodeFailures();
            const double uptime = std::chrono::duration<double>(now - start).count();
            const camera_view::Figures figures = board.TakeWindow(NowNs(CLOCK_MONOTONIC), uptime, transport);
            const camera_view::ServerCounters counters = server.Counters();
            server.PublishText(camera_view::FiguresJson(figures, counters));
            LogRefusals(logger, reported, counters);
            reported = counters;
            windowStart = now;
        }
        if (options.durationSeconds &&
            std::chrono::duration<double>(now - start).count() >= *options.durationSeconds) {
            break;
        }
    }
    logger.LogInfo(ARA_LOG_HERE) << "stopped";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return camera_tools::RunTool("camera_view", argc, argv, camera_view::ParseViewOptions,
                                 camera_view::ViewUsage(), Serve);
}
