// Four cameras' encoded 720p streams (30 fps each) between two processes, over the shared-memory transport,
// the SOME/IP binding and the DDS binding (Cyclone DDS, sensor-data QoS) on loopback, through the whole event
// path (event adapter, serialization, transport, subscriber, deserialization). For each transport it prints
// the sender's CPU (inside Send on the publishing thread, and the whole publishing process, whose only work
// is the binding) as a share of one core, and the publish-to-receive latency.
//
//   com_transport_bench [--transport shm|someip|someip-tcp|dds|both|all] [--seconds 10]
// (both: shared memory and SOME/IP over UDP; all: and SOME/IP over TCP, and DDS)
//
// The stream is synthetic, shaped like the demo's H.264 output: a 120 kB key frame every 30 frames and
// 15 kB frames between (about 4.4 Mbit/s per camera), each behind the NAL headers of an H.264 access unit
// (parameter sets and an IDR slice, or a P slice), as the DDS binding needs to name its format. SHM uses a
// running RouDi, or starts one with config/roudi.toml.
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ara/log/logging.h"
#include "camera_test/roudi_process.h"
#include "com_test_support.h"
#include "dds_test_support.h"
#include "image_bench_support.h"
#include "impl_type_camerah265image.h"
#include "vcu/os/unique_fd.h"
#include "vrt/cm/event_subscriber.h"

namespace {

constexpr std::uint32_t kEvent = 35045;
constexpr int kCameras = 4;
constexpr int kFps = 30;
constexpr int kGop = 30;
constexpr std::size_t kKeyFrameBytes = 120U * 1024U;
constexpr std::size_t kFrameBytes = 15U * 1024U;

std::int64_t Now(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

std::int64_t ProcessCpuNs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
}

int Subscriber(vrt::cm::type::DriverType transport, std::size_t samples, int reportFd) {
    const auto created = vrt::cm::bench::SubscribeImages(transport);
    if (!created) {
        return 2;
    }
    auto& subscriber = *created;
    std::vector<double> latencies;
    std::vector<double> keyLatencies;
    latencies.reserve(samples);
    CameraH265Image record;
    const std::int64_t deadline = Now(CLOCK_MONOTONIC) + 120LL * 1000000000LL;
    // Samples lost on the way (best effort) are counted, not waited for.
    while (latencies.size() + subscriber.MissedSamples() < samples && Now(CLOCK_MONOTONIC) < deadline) {
        if (!subscriber.WaitForData(std::chrono::milliseconds(100))) {
            continue;
        }
        while (auto outcome = subscriber.TryReceive(record)) {
            const std::int64_t sent =
                static_cast<std::int64_t>(record.header.sec) * 1000000000LL + record.header.nsec;
            latencies.push_back(static_cast<double>(Now(CLOCK_MONOTONIC) - sent) / 1e6);
            if (record.isKeyFrame) {
                keyLatencies.push_back(latencies.back());
            }
        }
    }
    if (latencies.empty()) {
        std::fprintf(stderr, "subscriber: nothing received\n");
        return 1;
    }
    const auto at = [](std::vector<double>& values, double q) {
        std::sort(values.begin(), values.end());
        return values.empty()
                   ? 0.0
                   : values[std::min(values.size() - 1, static_cast<std::size_t>(q * values.size()))];
    };
    const double p50 = at(latencies, 0.5);
    const double p99 = at(latencies, 0.99);
    char line[256];
    const int length =
        std::snprintf(line, sizeof(line), "%zu/%zu %llu %.3f %.3f %.3f %.3f\n", latencies.size(), samples,
                      static_cast<unsigned long long>(subscriber.MissedSamples()), p50, p99, latencies.back(),
                      at(keyLatencies, 0.5));
    return write(reportFd, line, static_cast<std::size_t>(length)) == length ? 0 : 1;
}

int Publisher(double seconds, int reportFd) {
    vrt::cm::bench::ImagePublisher publisher;
    if (!publisher.Start()) {
        return 2;
    }
    // An H.264 key frame's SPS, PPS and IDR slice header; a P slice header.
    const std::vector<std::uint8_t> headers[2] = {
        {0, 0, 0, 1, 0x41, 0x9A},
        {0, 0, 0, 1, 0x67, 0x64, 0, 0x1F, 0, 0, 0, 1, 0x68, 0xEE, 0x3C, 0x80, 0, 0, 0, 1, 0x65, 0x88}};
    std::vector<CameraH265Image> frames(2);
    for (int key = 0; key < 2; ++key) {
        frames[key].typeCode = 20;
        frames[key].data.assign(key == 1 ? kKeyFrameBytes : kFrameBytes, 0xA5);
        std::copy(headers[key].begin(), headers[key].end(), frames[key].data.begin());
        frames[key].header.frameId = "vcu_camera_instance_71";
        frames[key].isKeyFrame = key == 1;
    }
    const int ticks = static_cast<int>(seconds * kFps);
    const std::int64_t period = 1000000000LL / kFps;
    std::int64_t sendCpu = 0;
    const std::int64_t wallStart = Now(CLOCK_MONOTONIC);
    const std::int64_t processStart = ProcessCpuNs();
    for (int tick = 0; tick < ticks; ++tick) {
        for (int camera = 0; camera < kCameras; ++camera) {
            // The cameras' key frames are spread over the GOP, as free-running cameras would have them.
            // Every stream starts with a key frame, as an encoder's does.
            const bool key = tick == 0 || (tick + camera * kGop / kCameras) % kGop == 0;
            CameraH265Image& frame = frames[key ? 1 : 0];
            frame.cameraId = static_cast<std::int8_t>(camera);
            const std::int64_t now = Now(CLOCK_MONOTONIC);
            frame.header.sec = static_cast<std::int32_t>(now / 1000000000LL);
            frame.header.nsec = static_cast<std::int32_t>(now % 1000000000LL);
            const std::int64_t before = Now(CLOCK_THREAD_CPUTIME_ID);
            publisher.event.Send(frame);
            sendCpu += Now(CLOCK_THREAD_CPUTIME_ID) - before;
        }
        const std::int64_t next = wallStart + (tick + 1) * period;
        const std::int64_t wait = next - Now(CLOCK_MONOTONIC);
        if (wait > 0) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(wait));
        }
    }
    const double wall = static_cast<double>(Now(CLOCK_MONOTONIC) - wallStart);
    const double process = static_cast<double>(ProcessCpuNs() - processStart);
    char line[128];
    const int length = std::snprintf(line, sizeof(line), "%.3f %.3f\n",
                                     100.0 * static_cast<double>(sendCpu) / wall, 100.0 * process / wall);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the last samples reach the subscriber
    publisher.skeleton.StopOfferService();
    return write(reportFd, line, static_cast<std::size_t>(length)) == length ? 0 : 1;
}

std::string ReadAll(int fd) {
    std::string text;
    char buffer[256];
    for (ssize_t n = 0; (n = read(fd, buffer, sizeof(buffer))) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
}

// The two ends of a pipe from a child to this process.
struct Pipe {
    vcu::os::UniqueFd read;
    vcu::os::UniqueFd write;
};

std::optional<Pipe> MakePipe() {
    int ends[2];
    if (::pipe(ends) != 0) {
        return std::nullopt;
    }
    return Pipe{vcu::os::UniqueFd(ends[0]), vcu::os::UniqueFd(ends[1])};
}

// `tcp`: SOME/IP over TCP (the subscriber asks for the reliable connection) instead of UDP.
bool Run(vrt::cm::type::DriverType transport, double seconds, bool tcp = false) {
    const bool shm = transport == vrt::cm::type::DriverType::SHM;
    const bool dds = transport == vrt::cm::type::DriverType::DDS;
    const char* name = shm ? "shm" : dds ? "dds" : tcp ? "someip-tcp" : "someip";
    const std::uint16_t port = static_cast<std::uint16_t>(21000 + ::getpid() % 1000 * 3);
    const std::string shmTransport =
        std::string(R"({"SHM": {"serialization": )") + vrt::cm::test::kShmSerialization + "}}";
    vrt::cm::test::ScopedManifest manifest(
        shm ? vrt::cm::test::Manifest(vrt::cm::test::EventEntry(kEvent, "CameraH265ImageEvent", shmTransport))
            : vrt::cm::test::SomeipManifest(
                  kEvent, port, static_cast<std::uint16_t>(port + 1), "127.0.0.1", "127.0.0.1",
                  tcp ? R"(, "tcpPort": )" + std::to_string(port + 2) + R"(, "reliable": true)" : ""));
    if (dds) {
        // Cyclone on loopback, participants found by unicast; the cameras as indices 0 to 3.
        const std::string config = manifest.Directory() + "/cyclonedds.xml";
        (void)camera_test::WriteFile(config, vrt::cm::test::CycloneConfig("127.0.0.1", "127.0.0.1"));
        manifest.Write(vrt::cm::test::Manifest(vrt::cm::test::EventEntry(
            kEvent, "CameraH265ImageEvent",
            R"({"DDS": {"network": {"prefix": "vrt_bench", "cameras": [8, 9, 10, 11], "domainId": )" +
                std::to_string(vrt::cm::test::TestDomainId()) + R"(, "config": ")" + config + R"("}}})")));
    }
    camera_test::RouDiProcess roudi;
    if (shm) {
        auto started = camera_test::RouDiProcess::Start(IOX_ROUDI, ROUDI_CONFIG, "",
                                                        camera_test::RouDiPolicy::kUseRunning);
        if (!started) {
            std::fprintf(stderr, "%s\n", started.Error().message.c_str());
            return false;
        }
        roudi = std::move(started).Value();
    }
    const std::size_t samples = static_cast<std::size_t>(seconds * kFps) * kCameras;
    auto subscriberPipe = MakePipe();
    auto publisherPipe = MakePipe();
    if (!subscriberPipe || !publisherPipe) {
        return false;
    }
    const pid_t subscriber = fork();
    if (subscriber == 0) {
        std::exit(Subscriber(transport, samples, subscriberPipe->write.get()));
    }
    const pid_t publisher = fork();
    if (publisher == 0) {
        std::exit(Publisher(seconds, publisherPipe->write.get()));
    }
    subscriberPipe->write.reset();
    publisherPipe->write.reset();
    const std::string sender = ReadAll(publisherPipe->read.get());
    const std::string receiver = ReadAll(subscriberPipe->read.get());
    int published = 0;
    int received = 0;
    waitpid(publisher, &published, 0);
    waitpid(subscriber, &received, 0);
    double sendShare = 0;
    double processShare = 0;
    char count[64] = {};
    unsigned long long missed = 0;
    double p50 = 0;
    double p99 = 0;
    double max = 0;
    double keyP50 = 0;
    if (std::sscanf(sender.c_str(), "%lf %lf", &sendShare, &processShare) != 2 ||
        std::sscanf(receiver.c_str(), "%63s %llu %lf %lf %lf %lf", count, &missed, &p50, &p99, &max,
                    &keyP50) != 6) {
        std::fprintf(stderr, "%s: a side failed (publisher status %d: %s, subscriber status %d: %s)\n", name,
                     published, sender.c_str(), received, receiver.c_str());
        return false;
    }
    std::printf("%-10s %8.2f %% %8.2f %% %12s %7llu %9.3f %9.3f %9.3f %9.3f\n", name, sendShare, processShare,
                count, missed, p50, p99, max, keyP50);
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string which = "both";
    double seconds = 10.0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--transport") == 0) {
            which = argv[i + 1];
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::strtod(argv[i + 1], nullptr);
        }
    }
    if ((which != "shm" && which != "someip" && which != "someip-tcp" && which != "dds" && which != "both" &&
         which != "all") ||
        seconds <= 0) {
        std::fprintf(stderr,
                     "usage: com_transport_bench [--transport shm|someip|someip-tcp|dds|both|all] "
                     "[--seconds 10]\n");
        return 2;
    }
    ara::log::CreateLogger("CM", "Communication middleware", ara::log::LogLevel::kWarn);
    std::printf("%d cameras x %d fps for %.0f s; key frame %zu B every %d frames, other frames %zu B\n",
                kCameras, kFps, seconds, kKeyFrameBytes, kGop, kFrameBytes);
    std::printf("%-10s %10s %10s %12s %7s %9s %9s %9s %9s\n", "", "Send CPU", "sender CPU", "received",
                "missed", "p50 ms", "p99 ms", "max ms", "key p50");
    std::fflush(stdout);  // before the children inherit the buffer
    bool ok = true;
    if (which == "shm" || which == "both" || which == "all") {
        ok = Run(vrt::cm::type::DriverType::SHM, seconds) && ok;
    }
    if (which == "someip" || which == "both" || which == "all") {
        ok = Run(vrt::cm::type::DriverType::SOMEIP, seconds) && ok;
    }
    if (which == "someip-tcp" || which == "all") {
        ok = Run(vrt::cm::type::DriverType::SOMEIP, seconds, true) && ok;
    }
    if (which == "dds" || which == "all") {
        ok = Run(vrt::cm::type::DriverType::DDS, seconds) && ok;
    }
    std::printf(
        "CPU as a share of one core over the run; latency from just before Send to the decoded record.\n");
    return ok ? 0 : 1;
}
