#pragma once

// The iceoryx daemon the shared-memory transport needs.

#include <sys/types.h>

#include <string>

namespace camera_bench {

// Whether a RouDi holds its unique lock (/tmp/iox-unique-roudi.lock) right now.
bool rouDiIsRunning();

// Uses the RouDi that runs, or starts one (`binary -c config`, output into `logFile`) and waits up to 10 s
// for it to listen. A RouDi started here is stopped by stop() or the destructor; stop it only after every
// process that registered with it has ended, since RouDi terminates the processes still registered.
class RouDiLauncher {
  public:
    RouDiLauncher(const std::string& binary, const std::string& config, const std::string& logFile);
    ~RouDiLauncher() { stop(); }
    RouDiLauncher(const RouDiLauncher&) = delete;
    RouDiLauncher& operator=(const RouDiLauncher&) = delete;

    bool ready() const { return error_.empty(); }
    bool startedHere() const { return pid_ > 0; }
    const std::string& error() const { return error_; }
    void stop();

  private:
    pid_t pid_{-1};
    std::string error_;
};

}  // namespace camera_bench
