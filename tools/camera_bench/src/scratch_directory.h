#pragma once

// The bench's temporary directory: configuration, maps and the comparison's frame file live there, and go
// when the bench ends, also when it is interrupted.

#include <sys/types.h>

#include <string>

namespace camera_bench {

// A new directory "<TMPDIR or /tmp>/camera_bench.XXXXXX", removed with everything in it when the object is
// destroyed in the process that made it (a forked child leaves it alone). Not thread-safe.
class ScratchDirectory {
  public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    bool valid() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    // "<path>/<name>", also removed when the bench is interrupted (see installInterruptCleanup).
    std::string file(const std::string& name) const;
    // "<path>/<name>", created; empty on failure.
    std::string subdirectory(const std::string& name) const;

  private:
    std::string path_;
    pid_t owner_{0};
};

// On SIGINT, SIGTERM, SIGHUP or SIGPIPE: stops the registered child processes, removes the scratch files and
// directories, and ends the process with status 130. Install once, in the main process, before any thread
// exists.
void installInterruptCleanup();
// Restores the default actions (for a forked child, which leaves the clean-up to its parent).
void removeInterruptCleanup();
// Children to stop on an interrupt (RouDi, the measured child, ffmpeg); at most a few at a time.
void registerChild(pid_t pid);
void unregisterChild(pid_t pid);

}  // namespace camera_bench
