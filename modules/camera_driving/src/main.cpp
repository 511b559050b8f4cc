#include <pthread.h>
#include <signal.h>

#include <boost/property_tree/ptree.hpp>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>

#include "ara/log/logging.h"
#include "camera_driving.h"
#include "configuration_check.h"

std::string getEnvVar(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value == nullptr ? std::string() : std::string(value);
}

namespace {

// SIGINT and SIGTERM are taken by one thread of their own (blocked everywhere else), which turns them into
// an orderly stop of the orchestrator.
class StopSignals {
  public:
    StopSignals() {
        sigemptyset(&signals_);
        sigaddset(&signals_, SIGINT);
        sigaddset(&signals_, SIGTERM);
        // Before any other thread exists, so that every thread inherits the mask.
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    }

    void forward(CameraDriving& driving, ara::log::Logger& logger) {
        waiter_ = std::thread([this, &driving, &logger] {
            int signal = 0;
            if (sigwait(&signals_, &signal) == 0 && !done_) {
                logger.LogInfo(ARA_LOG_HERE) << "stopping on signal " << signal;
                driving.requestStop();
            }
        });
    }

    // Ends the waiting thread; after it returns no signal reaches the orchestrator any more, so it may be
    // destroyed.
    void stop() {
        if (waiter_.joinable()) {
            done_ = true;
            pthread_kill(waiter_.native_handle(), SIGTERM);
            waiter_.join();
        }
    }

    ~StopSignals() { stop(); }

  private:
    sigset_t signals_{};
    std::thread waiter_;
    std::atomic<bool> done_{false};
};

}  // namespace

int main() {
    StopSignals stopSignals;
    ara::log::InitLogging("MAIN", "Main of camera", ara::log::LogLevel::kInfo,
                          ara::log::LogMode::kConsole | ara::log::LogMode::kRemote, "");
    ara::log::Logger& logger = ara::log::CreateLogger("MAIN", "main context", ara::log::LogLevel::kInfo);
    logger.LogInfo(ARA_LOG_HERE) << "start main!";

    const std::string path = configurationPath(getEnvVar("CM_CONFIG_FILE_PATH"));
    boost::property_tree::ptree tree;
    if (!readConfiguration(path, tree, logger) || !checkConfiguration(tree, path, logger)) {
        return EXIT_FAILURE;
    }

    CameraDriving cameraDriving;
    stopSignals.forward(cameraDriving, logger);
    int status = EXIT_SUCCESS;
    try {
        cameraDriving.init(tree);
    } catch (const std::exception& error) {
        logger.LogFatal(ARA_LOG_HERE) << "camera driving ended: " << error.what();
        status = EXIT_FAILURE;
    }
    stopSignals.stop();
    return status;
}
