#pragma once

#include "ara/log/logging.h"

namespace hal_buff {

// The service's own log context, for failures of the system calls under it.
inline ara::log::Logger& ServiceLogger() {
    static ara::log::Logger& logger =
        ara::log::CreateLogger("HBUF", "Shared-buffer service", ara::log::LogLevel::kWarn);
    return logger;
}

}  // namespace hal_buff
