#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "camera_test/child_process.h"
#include "camera_test/temporary_directory.h"

// The whole system as the end-to-end tests start it: a configuration directory, the application and the
// recorder as child processes.
namespace e2e {

constexpr int kFramesPerSecond = 30;

// Camera 9 streams a smaller picture than the others.
int outputWidth(int id);
int outputHeight(int id);

// The configuration section of camera `id`; with `undistort`, it names the maps writeConfiguration writes.
std::string cameraSection(int id, std::uint32_t gop, bool undistort);

// A configuration directory as the application expects it, cameras 8 and 10 undistorting; returns `dir`.
std::string writeConfiguration(const std::string& dir, std::uint32_t gop);

// A child with `environment` added, its standard output and error in two files.
camera_test::ChildProcess start(const std::vector<std::string>& argv,
                                const std::map<std::string, std::string>& environment,
                                const std::string& outFile, const std::string& errFile);

// The application, started in `dir` (map paths are relative to it) with `dir` as its configuration.
camera_test::ChildProcess startApplication(const std::string& dir,
                                           std::map<std::string, std::string> environment = {});

// The recorder writing into `dir`/record with `dir`'s manifest; its output in `dir`/recorder.{out,err}.
camera_test::ChildProcess runRecorder(const std::string& dir, std::vector<std::string> options);

// A directory of the running test's own, removed when the test ends.
camera_test::TemporaryDirectory testDirectory();

// Resident memory of a process in kB, 0 when it cannot be read.
long residentKb(pid_t pid);
// Lines in a text file (a recorder's index grows by one per frame, flushed every second).
std::size_t lineCount(const std::string& path);

bool waitForLog(const std::string& path, const std::string& fragment, std::chrono::seconds timeout);

// One line of a recorder index: frame,stamp,key,bytes,latency_ms,frame_code.
struct IndexRow {
    std::int64_t stampNs;
    bool isKeyFrame;
    std::optional<std::uint32_t> frameCode;
};

std::vector<IndexRow> readIndex(const std::string& path);

}  // namespace e2e
