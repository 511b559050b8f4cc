#pragma once

#include <string>

#include "ara/core/result.h"

// How the inter-process transports (shared memory, SOME/IP) and the subscribers built on them report a
// failure to set up: a code to branch on and the message to show the user, which names what failed and why.
namespace vrt::cm {

enum class TransportErrorCode {
    kRouDiUnavailable,    // no RouDi runs, it does not answer (in time), or this process is not connected
    kRouDiAccessRefused,  // RouDi runs as another user and its socket refuses this process
    kCancelled,           // the wait for RouDi ended early: the process is stopping
    kBadAddress,          // an event address the middleware cannot represent
    kBadConfiguration,    // a deployment, manifest entry or option that cannot be used as given
    kSocket,              // a socket or epoll call failed
    kResources,           // the middleware has no room for another port
};

struct TransportError {
    TransportErrorCode code;
    std::string message;

    // The same failure, its message preceded by `context` (which socket, which step).
    TransportError WithContext(const std::string& context) const {
        return TransportError{code, context + message};
    }
};

template <typename T>
using TransportResult = ara::core::Result<T, TransportError>;

}  // namespace vrt::cm
