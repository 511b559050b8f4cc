#pragma once

// The support library's factories for test bodies and fixtures: a failure to start becomes a test failure
// that names the reason, and the object returned is then an empty one (no process, no directory).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera_test/child_process.h"
#include "camera_test/temporary_directory.h"

namespace camera_test {

inline ChildProcess StartChild(const std::vector<std::string>& argv, const SpawnOptions& options) {
    auto child = ChildProcess::Spawn(argv, options);
    if (!child) {
        ADD_FAILURE() << child.Error().message;
        return ChildProcess();
    }
    return std::move(child).Value();
}

inline ChildProcess StartChild(const std::vector<std::string>& argv, const std::string& outputFile = "") {
    SpawnOptions options;
    options.outputFile = outputFile;
    return StartChild(argv, options);
}

inline TemporaryDirectory NewTestDirectory(const std::string& prefix) {
    auto directory = TemporaryDirectory::Make(prefix);
    if (!directory) {
        ADD_FAILURE() << directory.Error().message;
        return TemporaryDirectory();
    }
    return std::move(directory).Value();
}

// "<directory>/<name>" holding `content`.
inline std::string WriteTestFile(const TemporaryDirectory& directory, const std::string& name,
                                 const std::string& content) {
    auto written = directory.Write(name, content);
    if (!written) {
        ADD_FAILURE() << written.Error().message;
        return directory.File(name);
    }
    return std::move(written).Value();
}

}  // namespace camera_test
