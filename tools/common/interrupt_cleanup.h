#pragma once

// The bench's temporary directory: configuration, maps and the comparison's frame file live there, and go
// when the bench ends, also when it is interrupted.

#include <sys/types.h>

#include <string>

#include "camera_test/temporary_directory.h"

namespace camera_tools {

// The bench's temporary directory (camera_test::TemporaryDirectory, "camera_bench.XXXXXX"), whose files and
// subdirectories the interrupt clean-up also removes. Not thread-safe.
class ScratchDirectory {
  public:
    ScratchDirectory();

    bool valid() const { return directory_.Valid(); }
    const std::string& path() const { return directory_.Path(); }
    // "<path>/<name>", also removed when the bench is interrupted (see installInterruptCleanup).
    std::string file(const std::string& name) const;
    // "<path>/<name>", created; empty on failure.
    std::string subdirectory(const std::string& name) const;

  private:
    camera_test::TemporaryDirectory directory_;
};

// On SIGINT, SIGTERM, SIGHUP or SIGPIPE: stops the registered child processes, removes the scratch files and
// directories, and ends the process with status 130. Install once, in the main process, before any thread
// exists.
void installInterruptCleanup();
// Restores the default actions (for a forked child, which leaves the clean-up to its parent).
void removeInterruptCleanup();
// Children to stop on an interrupt (RouDi, the measured child, ffmpeg); at most a few at a time. Unregister
// a child before it is reaped.
void registerChild(pid_t pid);
void unregisterChild(pid_t pid);

}  // namespace camera_tools
