// Logs from several threads and exits: lets the tests look at the console output of a whole process and
// check that it ends promptly whatever the output mode.
//
//     log_exit_probe <console|remote|file,...> <threads> <messages per thread> [directory]
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ara/log/logging.h"

namespace {

ara::log::LogMode ParseMode(const std::string& text) {
    std::uint8_t mode = 0;
    if (text.find("console") != std::string::npos) {
        mode |= static_cast<std::uint8_t>(ara::log::LogMode::kConsole);
    }
    if (text.find("remote") != std::string::npos) {
        mode |= static_cast<std::uint8_t>(ara::log::LogMode::kRemote);
    }
    if (text.find("file") != std::string::npos) {
        mode |= static_cast<std::uint8_t>(ara::log::LogMode::kFile);
    }
    return static_cast<ara::log::LogMode>(mode);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        return 2;
    }
    const int threads = std::atoi(argv[2]);
    const int messages = std::atoi(argv[3]);
    ara::log::InitLogging("PROBE_APP", "log exit probe", ara::log::LogLevel::kInfo, ParseMode(argv[1]),
                          argc > 4 ? argv[4] : "");
    ara::log::Logger& logger =
        ara::log::CreateLogger("PROBE_CTX", "probe context", ara::log::LogLevel::kInfo);

    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&logger, t, messages] {
            for (int i = 0; i < messages; ++i) {
                logger.LogInfo(ARA_LOG_HERE)
                    << "thread " << t << " message " << i << " of a line long enough to "
                    << "overlap with other threads if the output were not atomic";
            }
            logger.LogDebug(ARA_LOG_HERE) << "debug from thread " << t;
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
    return 0;
}
