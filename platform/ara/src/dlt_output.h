#pragma once

#include <dlt/dlt.h>

#include <cstddef>
#include <memory>
#include <string>

#include "ara/log/common.h"
#include "ara/log/log_stream.h"

namespace ara::log::internal {

// A logger's registration with the DLT library.
struct RemoteContext {
    DltContext context{};
};

// Registers the application with the DLT library (ids cut to four characters) and sets it up so that it
// neither prints to standard output nor delays exit; false, with a notice on standard error, when refused.
bool RegisterRemoteApplication(const std::string& applicationId, const std::string& description);

// Registers one logger's context; nullptr, with a notice on standard error, when refused.
std::unique_ptr<RemoteContext> RegisterRemoteContext(const std::string& contextId,
                                                     const std::string& description, LogLevel level);

// Sends one message with its arguments typed as streamed, and its source location as a last text argument.
void EmitRemote(RemoteContext& remote, LogLevel level, const SourceLocation& location,
                const LogArgument* arguments, std::size_t count) noexcept;

}  // namespace ara::log::internal
