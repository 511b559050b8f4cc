#pragma once

#include <string>

namespace vcu::os {

// Opens /dev/null on each of the standard descriptors 0, 1 and 2 that is closed, so that files the process
// opens later (logging's FIFO, lock files) never take their numbers and receive its output. Call first
// thing in main. Returns false when a closed one could not be filled.
bool OpenStandardDescriptors() noexcept;

// Why `path` cannot be read as an input file: empty when it names a regular file (after following
// links), else the reason ("no such file: No such file or directory", "is a FIFO, not a regular file").
// A FIFO, a device or a directory would block a reader or feed it endless or meaningless bytes.
std::string RegularFileProblem(const std::string& path);

}  // namespace vcu::os
