#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "camera_test/child_process.h"
#include "camera_test/support_error.h"

namespace camera_test {

// Whether a RouDi holds its unique lock (/tmp/iox-unique-roudi.lock) right now.
bool RouDiIsRunning();

// One mempool of a RouDi configuration: `count` chunks of `size` bytes.
struct Mempool {
    std::size_t size;
    std::size_t count;
};

// A RouDi configuration (TOML) with one shared segment holding these mempools.
std::string RouDiConfig(const std::vector<Mempool>& mempools);

enum class RouDiPolicy {
    kOwnOnly,     // a RouDi of our own with our mempools: refuse to start next to another one
    kUseRunning,  // use the RouDi that runs, if one does
};

// The iceoryx daemon, started as `binary -c config` with its output into `logFile` (/dev/null when empty),
// ready once it holds its lock and listens. Stop it only after every process that registered with it has
// ended: RouDi terminates the processes still registered. Move-only; stopped when destroyed.
class RouDiProcess {
  public:
    // `binary` is a path or a name looked up in PATH. Waits up to 10 s for RouDi to answer.
    static SupportResult<RouDiProcess> Start(const std::string& binary, const std::string& config,
                                             const std::string& logFile = "",
                                             RouDiPolicy policy = RouDiPolicy::kOwnOnly);

    RouDiProcess() = default;
    ~RouDiProcess() { Stop(); }
    RouDiProcess(RouDiProcess&&) noexcept = default;
    RouDiProcess& operator=(RouDiProcess&&) noexcept = default;

    // False when a RouDi that ran already is used.
    bool StartedHere() const noexcept { return process_.Pid() > 0; }
    // -1 when not started here.
    pid_t Pid() const noexcept { return process_.Pid(); }
    // SIGKILL: RouDi ends without telling its clients (a crash); SIGSTOP and SIGCONT: a RouDi that hangs.
    void Signal(int number) const { process_.Signal(number); }
    void Stop() { process_.Stop(std::chrono::seconds(10)); }

  private:
    explicit RouDiProcess(ChildProcess process) noexcept : process_(std::move(process)) {}

    ChildProcess process_;
};

}  // namespace camera_test
