#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <boost/property_tree/ptree.hpp>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "ara/log/logging.h"
#include "camera_driving.h"
#include "configuration_check.h"
#include "vcu/os/files.h"
#include "vrt/cm/transport_runtime.h"

std::string getEnvVar(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value == nullptr ? std::string() : std::string(value);
}

namespace {

sigset_t stopSignalSet() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

// Runs before the constructors of this program's own objects and before main, so that a SIGINT or SIGTERM
// that arrives while the process starts stays pending for the signal thread instead of killing the process.
// Only the dynamic loader's work comes earlier.
__attribute__((constructor(101))) void blockStopSignalsEarly() {
    const sigset_t signals = stopSignalSet();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

// SIGINT and SIGTERM are taken by one thread of their own (blocked everywhere else) from the start of main.
// The first one, or the loss of a transport, stops the system in order: a start-up wait for RouDi ends,
// and the orchestrator, once there is one, stops its workers. A second signal while stopping ends the
// process at once with status 128 + the signal, for a stop that hangs.
class StopControl {
  public:
    explicit StopControl(ara::log::Logger& logger) : signals_(stopSignalSet()), logger_(logger) {
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        waiter_ = std::thread([this] { waitForSignals(); });
    }
    ~StopControl() { stop(); }
    StopControl(const StopControl&) = delete;
    StopControl& operator=(const StopControl&) = delete;

    // From now on a stop reaches `driving` (already requested: at once); nullptr detaches it again.
    void attach(CameraDriving* driving) {
        std::lock_guard<std::mutex> lock(mutex_);
        driving_ = driving;
        if (driving_ != nullptr && stopRequested_) {
            driving_->requestStop();
        }
    }

    void requestStop() {
        vrt::cm::CancelStartupWaits();
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
        if (driving_ != nullptr) {
            driving_->requestStop();
        }
    }

    bool stopRequested() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopRequested_;
    }

    // Ends the signal thread; after it returns no signal reaches the orchestrator any more.
    void stop() {
        if (waiter_.joinable()) {
            done_ = true;
            // Not a kill: the thread waits for SIGTERM in sigwait, which takes it as a wake-up.
            pthread_kill(waiter_.native_handle(), SIGTERM);  // NOLINT(bugprone-bad-signal-to-kill-thread)
            waiter_.join();
        }
    }

  private:
    void waitForSignals() {
        bool stopping = false;
        while (true) {
            int signal = 0;
            if (sigwait(&signals_, &signal) != 0) {
                continue;
            }
            if (done_) {
                return;
            }
            if (stopping) {
                logger_.LogError(ARA_LOG_HERE)
                    << "second stop signal " << signal << " while stopping: ending at once with status "
                    << 128 + signal;
                std::_Exit(128 + signal);
            }
            stopping = true;
            logger_.LogInfo(ARA_LOG_HERE) << "stopping on signal " << signal;
            requestStop();
        }
    }

    sigset_t signals_;
    ara::log::Logger& logger_;
    std::mutex mutex_;  // guards driving_ and stopRequested_
    CameraDriving* driving_{nullptr};
    bool stopRequested_{false};
    std::atomic<bool> done_{false};
    std::thread waiter_;
};

}  // namespace

// What escapes the try below is an allocation failure at start-up, which ends the process through
// std::terminate as it should.
int main() {  // NOLINT(bugprone-exception-escape)
    // Before any file is opened: a closed standard descriptor would be taken by logging's FIFO or a lock
    // file, which would then receive the process's output.
    vcu::os::OpenStandardDescriptors();
    ara::log::InitLogging("MAIN", "Main of camera", ara::log::LogLevel::kInfo,
                          ara::log::LogMode::kConsole | ara::log::LogMode::kRemote, "");
    ara::log::Logger& logger = ara::log::CreateLogger("MAIN", "main context", ara::log::LogLevel::kInfo);
    StopControl stopControl(logger);
    logger.LogInfo(ARA_LOG_HERE) << "start main!";

    // RouDi ended or restarted under the running system: its samples would reach nobody. The process ends
    // with a failure status so that its supervisor starts it again against the new RouDi. The status comes
    // from vrt::cm::TransportLost(), which is set before the handler runs.
    vrt::cm::SetTransportLossHandler([&logger, &stopControl](const std::string& reason) {
        logger.LogFatal(ARA_LOG_HERE)
            << "communication lost (" << reason << "); stopping, to end with status 1 for a restart";
        stopControl.requestStop();
    });

    const std::string path = configurationPath(getEnvVar("CM_CONFIG_FILE_PATH"));
    auto read = readConfiguration(path, logger);
    if (!read || !checkConfiguration(read.Value(), path, logger)) {
        vrt::cm::SetTransportLossHandler(nullptr);
        return EXIT_FAILURE;
    }
    boost::property_tree::ptree& tree = read.Value();

    int status = EXIT_SUCCESS;
    {
        CameraDriving cameraDriving;
        stopControl.attach(&cameraDriving);
        try {
            cameraDriving.init(tree);
        } catch (const std::exception& error) {
            if (stopControl.stopRequested() && !vrt::cm::TransportLost()) {
                // A stop during start-up ends the waits that failed here; it is not a fault.
                logger.LogInfo(ARA_LOG_HERE) << "stopped during start-up (" << error.what() << ")";
            } else {
                logger.LogFatal(ARA_LOG_HERE) << "camera driving ended: " << error.what();
                status = EXIT_FAILURE;
            }
        }
        stopControl.attach(nullptr);
    }
    // Waits for a handler call in progress: it uses stopControl, which ends with this function.
    vrt::cm::SetTransportLossHandler(nullptr);
    stopControl.stop();
    status = vrt::cm::TransportLost() ? EXIT_FAILURE : status;
    if (vrt::cm::StartupAbandoned()) {
        // The registration with RouDi still runs on a thread of iceoryx's, which uses iceoryx's static
        // objects: end without destroying them.
        std::_Exit(status);
    }
    return status;
}
