// Publish-to-receive latency of CameraH265Image events between two processes over the shared-memory
// transport: from just before Send in the publisher to the decoded record in the subscriber, so
// serialization, the iceoryx hand-over, the wake-up and deserialization are all inside.
//
//   com_shm_latency [samples=5000] [bytes=20480] [interval_us=500]
//
// Uses a running RouDi, or starts one with config/roudi.toml and stops it at the end.
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "ara/log/logging.h"
#include "camera_test/roudi_process.h"
#include "com_test_support.h"
#include "image_bench_support.h"
#include "impl_type_camerah265image.h"
#include "vrt/cm/event_subscriber.h"

namespace {

constexpr std::uint32_t kEvent = 35045;

std::int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

int Subscriber(std::size_t samples) {
    const auto created = vrt::cm::bench::SubscribeImages(vrt::cm::type::DriverType::SHM);
    if (!created) {
        return 2;
    }
    auto& subscriber = *created;
    std::vector<double> latencies;
    latencies.reserve(samples);
    CameraH265Image record;
    const std::int64_t deadline = NowNs() + 60LL * 1000000000LL;
    while (latencies.size() < samples && NowNs() < deadline) {
        if (!subscriber.WaitForData(std::chrono::milliseconds(100))) {
            continue;
        }
        while (auto outcome = subscriber.TryReceive(record)) {
            const std::int64_t sent =
                static_cast<std::int64_t>(record.header.sec) * 1000000000LL + record.header.nsec;
            latencies.push_back(static_cast<double>(NowNs() - sent) / 1000.0);
        }
    }
    if (latencies.empty()) {
        std::fprintf(stderr, "subscriber: nothing received\n");
        return 1;
    }
    std::fflush(stdout);
    std::sort(latencies.begin(), latencies.end());
    auto at = [&](double q) {
        return latencies[std::min(latencies.size() - 1, static_cast<std::size_t>(q * latencies.size()))];
    };
    std::printf("received %zu of %zu, missed %llu\n", latencies.size(), samples,
                static_cast<unsigned long long>(subscriber.MissedSamples()));
    std::printf("latency us: min %.1f  p50 %.1f  p90 %.1f  p99 %.1f  p99.9 %.1f  max %.1f\n",
                latencies.front(), at(0.5), at(0.9), at(0.99), at(0.999), latencies.back());
    std::fflush(stdout);
    return 0;
}

int Publisher(std::size_t samples, std::size_t bytes, std::chrono::microseconds interval) {
    vrt::cm::bench::ImagePublisher publisher;
    if (!publisher.Start()) {
        return 2;
    }
    CameraH265Image image;
    image.typeCode = 20;
    image.data.assign(bytes, 0xA5);
    image.header.frameId = "vcu_camera_instance_71";
    for (std::size_t i = 0; i < samples; ++i) {
        auto sample = std::make_unique<CameraH265Image>(image);
        const std::int64_t now = NowNs();
        sample->header.sec = static_cast<std::int32_t>(now / 1000000000LL);
        sample->header.nsec = static_cast<std::int32_t>(now % 1000000000LL);
        publisher.event.Send(std::move(sample));
        std::this_thread::sleep_for(interval);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t samples = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 5000U;
    const std::size_t bytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 20480U;
    const auto interval = std::chrono::microseconds(argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 500U);

    vrt::cm::test::ScopedManifest manifest(vrt::cm::test::Manifest(vrt::cm::test::EventEntry(
        kEvent, "CameraH265ImageEvent",
        std::string(R"({"SHM": {"serialization": )") + vrt::cm::test::kShmSerialization + "}}")));
    auto roudi =
        camera_test::RouDiProcess::Start(IOX_ROUDI, ROUDI_CONFIG, "", camera_test::RouDiPolicy::kUseRunning);
    if (!roudi) {
        std::fprintf(stderr, "%s\n", roudi.Error().message.c_str());
        return 2;
    }
    std::printf("%zu samples of %zu bytes, one every %lld us\n", samples, bytes,
                static_cast<long long>(interval.count()));
    std::fflush(stdout);
    ara::log::CreateLogger("CM", "Communication middleware", ara::log::LogLevel::kWarn);
    // Both sides run in children: a process still registered with RouDi when RouDi stops is terminated by it.
    const pid_t subscriber = fork();
    if (subscriber == 0) {
        std::exit(Subscriber(samples));
    }
    const pid_t publisher = fork();
    if (publisher == 0) {
        std::exit(Publisher(samples, bytes, interval));
    }
    int published = 0;
    int received = 0;
    waitpid(publisher, &published, 0);
    waitpid(subscriber, &received, 0);
    const bool ok = WIFEXITED(published) && WEXITSTATUS(published) == 0 && WIFEXITED(received) &&
                    WEXITSTATUS(received) == 0;
    return ok ? 0 : 1;
}
