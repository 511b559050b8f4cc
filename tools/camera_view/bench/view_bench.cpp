// camera_view_bench: what serving the four cameras to one viewer costs camera_view. Runs RouDi (unless one
// runs), the application with the demo's configuration and camera_view, then measures camera_view's CPU time
// with no viewer and with one WebSocket viewer that reads every frame, and the latency camera_view adds
// between taking a frame from the transport and the viewer having it (both stamps from CLOCK_REALTIME on this
// machine).
//
//   camera_view_bench [--seconds N]     (N per phase, default 10)

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include "camera_test/child_process.h"
#include "camera_test/files.h"
#include "camera_test/roudi_process.h"
#include "frame_message.h"
#include "interrupt_cleanup.h"
#include "percentiles.h"
#include "process_usage.h"
#include "view_process.h"

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

// CPU ticks (user + system) of process `pid` so far; 0 when it cannot be read.
// camera_view's share of one core over `seconds`.
double CpuShare(pid_t pid, double seconds) {
    const double before = camera_tools::processCpuSecondsOf(pid);
    const double start = camera_tools::monotonicSeconds();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double elapsed = camera_tools::monotonicSeconds() - start;
    return (camera_tools::processCpuSecondsOf(pid) - before) / elapsed * 100.0;
}

// One viewer that reads every message and stamps each frame when it has it whole.
class Viewer {
  public:
    explicit Viewer(int port) : ws_(io_) {
        ws_.next_layer().connect(
            tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<std::uint16_t>(port)));
        ws_.handshake("127.0.0.1", "/ws");
        thread_ = std::thread([this] { Run(); });
    }
    ~Viewer() {
        stop_ = true;
        beast::error_code ignored;
        ws_.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
        thread_.join();
    }
    // Starts keeping figures (after the warm-up).
    void Measure() { measuring_ = true; }
    // Stops keeping figures; safe to read them afterwards.
    void Freeze() {
        measuring_ = false;
        std::this_thread::sleep_for(100ms);
    }

    std::array<std::uint64_t, 4> frames{};
    std::uint64_t bytes{0};
    std::vector<double> addedMs;
    std::vector<double> publishToViewerMs;

  private:
    void Run() {
        beast::flat_buffer buffer;
        while (!stop_) {
            beast::error_code error;
            ws_.read(buffer, error);
            if (error) {
                return;
            }
            const std::int64_t now = camera_tools::realtimeNanoseconds();
            const auto* data = static_cast<const std::uint8_t*>(buffer.data().data());
            camera_view::FrameHeader header;
            if (measuring_ && ws_.got_binary() &&
                camera_view::ParseFrameHeader(data, buffer.size(), &header) && header.camera < 4) {
                ++frames[header.camera];
                bytes += buffer.size();
                addedMs.push_back(static_cast<double>(now - header.receiveNs) / 1e6);
                publishToViewerMs.push_back(static_cast<double>(now - header.publishNs) / 1e6);
            }
            buffer.consume(buffer.size());
        }
    }

    net::io_context io_;
    websocket::stream<tcp::socket> ws_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> measuring_{false};
    std::thread thread_;
};

// A child of the bench, known to the interrupt clean-up while it runs.
struct Child {
    camera_test::ChildProcess process;
    std::string error;

    Child(const std::vector<std::string>& argv, const std::string& outputFile) {
        auto spawned = camera_test::ChildProcess::Spawn(argv, outputFile);
        if (spawned) {
            process = std::move(spawned).Value();
            camera_tools::registerChild(process.Pid());
        } else {
            error = spawned.Error().message;
        }
    }
    ~Child() {
        camera_tools::unregisterChild(process.Pid());
        process.Stop(std::chrono::seconds(5));
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
};

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: camera_view_bench [--seconds N]\n");
            return 2;
        }
    }
    if (!(seconds >= 1 && seconds <= 600)) {
        std::fprintf(stderr, "camera_view_bench: --seconds must be 1 to 600\n");
        return 2;
    }

    camera_tools::installInterruptCleanup();
    camera_tools::ScratchDirectory scratch;
    if (!scratch.valid()) {
        std::fprintf(stderr, "camera_view_bench: cannot create a temporary directory\n");
        return 1;
    }
    const auto entered =
        camera_view::harness::EnterDemoDirectory(scratch.path(), PROJECT_SOURCE_DIR, REMAP_MAPS_BINARY);
    if (!entered) {
        std::fprintf(stderr, "camera_view_bench: %s\n", entered.Error().message.c_str());
        return 1;
    }
    auto roudi =
        camera_test::RouDiProcess::Start(IOX_ROUDI, PROJECT_CONFIG_DIR "/roudi.toml",
                                         scratch.file("roudi.log"), camera_test::RouDiPolicy::kUseRunning);
    if (!roudi) {
        std::fprintf(stderr, "camera_view_bench: %s\n", roudi.Error().message.c_str());
        return 1;
    }
    camera_tools::registerChild(roudi.Value().Pid());
    ::setenv("CM_CONFIG_FILE_PATH", PROJECT_CONFIG_DIR, 1);
    ::setenv("ARA_LOG_LEVEL", "warn", 1);

    const std::string viewOutput = scratch.file("camera_view.out");
    Child view({CAMERA_VIEW_BINARY, "--port", "0"}, viewOutput);
    Child application({CAMERA_DRIVING_BINARY}, scratch.file("app.log"));
    const int port = camera_view::harness::WaitForPort(viewOutput, 5s);
    if (!view.process.Started() || !application.process.Started() || port == 0) {
        std::fprintf(stderr, "camera_view_bench: the system did not start: %s\n%s\n",
                     (view.error + application.error).c_str(), camera_test::ReadText(viewOutput).c_str());
        return 1;
    }

    std::printf(
        "camera_view_bench: the application (demo configuration, four cameras) and camera_view, %.0f s "
        "per phase\n",
        seconds);
    std::this_thread::sleep_for(3s);  // the cameras start one after the other
    const double idleShare = CpuShare(view.process.Pid(), seconds);

    auto viewer = std::make_unique<Viewer>(port);
    std::this_thread::sleep_for(2s);  // every camera's first key frame
    viewer->Measure();
    const double servingShare = CpuShare(view.process.Pid(), seconds);
    viewer->Freeze();

    const double rate =
        static_cast<double>(viewer->frames[0] + viewer->frames[1] + viewer->frames[2] + viewer->frames[3]) /
        seconds;
    std::printf(
        "  frames to the viewer: cam_8 %.1f/s, cam_9 %.1f/s, cam_10 %.1f/s, cam_11 %.1f/s (%.0f in all, "
        "%.2f Mbit/s)\n",
        static_cast<double>(viewer->frames[0]) / seconds, static_cast<double>(viewer->frames[1]) / seconds,
        static_cast<double>(viewer->frames[2]) / seconds, static_cast<double>(viewer->frames[3]) / seconds,
        rate, static_cast<double>(viewer->bytes) * 8 / seconds / 1e6);
    std::printf("  camera_view CPU, subscribed, no viewer: %5.2f %% of one core\n", idleShare);
    std::printf("  camera_view CPU, serving one viewer:   %5.2f %% of one core (goal <= 5 %%)\n",
                servingShare);
    const camera_tools::Distribution added = camera_tools::summarize(viewer->addedMs);
    std::printf(
        "  added latency, camera_view takes the frame -> the viewer has it: p50 %.3f ms, p99 %.3f ms, max "
        "%.3f ms (goal p99 <= 5 ms)\n",
        added.p50, added.p99, added.max);
    const camera_tools::Distribution total = camera_tools::summarize(viewer->publishToViewerMs);
    std::printf("  publish -> viewer: p50 %.3f ms, p99 %.3f ms, max %.3f ms\n", total.p50, total.p99,
                total.max);
    return 0;  // the viewer goes first, then the processes, RouDi last
}
