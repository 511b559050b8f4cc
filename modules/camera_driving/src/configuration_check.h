#pragma once

#include <boost/property_tree/ptree.hpp>
#include <string>

#include "ara/core/result.h"
#include "ara/log/logger.h"

// The configuration file's name and where it lies: "<directory>/aos_a_cam_config.ini".
std::string configurationPath(const std::string& directory);

// Why a configuration file could not be read; the reason in full, with the file and line, is logged.
enum class ConfigurationReadError {
    kUnusableFile,  // missing, a directory, a FIFO or a device
    kUnreadable,    // cannot be opened or read
    kMalformed,     // not INI
};

// Reads the INI file. A UTF-8 byte-order mark is skipped, and a ';' or '#' after a blank starts a comment to
// the end of the line ("inputImageWidth = 1920 ; comment"). On failure logs the reason, with the file and
// line, on `logger`.
ara::core::Result<boost::property_tree::ptree, ConfigurationReadError> readConfiguration(
    const std::string& path, ara::log::Logger& logger);

// Checks every key that the orchestrator and the preprocessors will read, in the four camera sections
// "cam_8" to "cam_11", before anything is built: each required key present, each value an unsigned decimal
// number that fits its meaning ("-1" is refused, not read as 4294967295). Every problem is logged at
// error level, naming the file, section, key, the value found and what was expected; returns true when
// there is none. Sections and keys that nothing reads are accepted (stored files may carry extra ones) and
// named in one warning. The optional map-file paths are not opened here: an unusable map only turns that
// camera's undistortion off.
bool checkConfiguration(const boost::property_tree::ptree& tree, const std::string& path,
                        ara::log::Logger& logger);
