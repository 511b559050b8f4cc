#pragma once

#include <string>

#include "ara/log/common.h"
#include "ara/log/log_stream.h"
#include "ara/log/logger.h"

namespace ara::log {

// Sets up logging for the process: its application id (DLT uses the first 4 characters), description,
// default level, output modes and, for LogMode::kFile, the directory of the log file. Call once, before
// creating loggers; later calls are ignored. Loggers created without it log to the console with
// application id "NONE".
//
// Environment overrides, read here:
//   ARA_LOG_LEVEL  off|fatal|error|warn|info|debug|verbose (or 0..6): the level of every context,
//                  replacing each context's default (to see debug output, or to silence it).
//   ARA_LOG_MODE   console|remote|file, joined with ',' or '|': replaces the mode given here.
void InitLogging(std::string applicationId, const std::string& description, LogLevel defaultLevel,
                 LogMode mode, const std::string& directoryPath);

// The logger of a context; the same context id gives the same logger. The logger lives until the process
// ends. The context's level is `defaultLevel` unless ARA_LOG_LEVEL overrides it.
Logger& CreateLogger(std::string contextId, std::string description, LogLevel defaultLevel);

// Same, with the application's default level.
Logger& CreateLogger(std::string contextId, std::string description);

}  // namespace ara::log
