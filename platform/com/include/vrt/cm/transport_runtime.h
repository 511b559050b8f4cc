#pragma once

#include <functional>
#include <string>

// Process-wide controls of the middleware's transports that the process's owner (its main) uses: ending the
// start-up wait for a transport's daemon, and learning that a transport was lost while the process runs.
namespace vrt::cm {

// Ends, now and for the rest of the process, every start-up wait of the transports (the shared-memory
// transport's wait for RouDi): a wait in progress fails at once with a "cancelled" error, later ones too.
// Thread-safe; not async-signal-safe (call it from a signal handling thread).
void CancelStartupWaits() noexcept;
bool StartupWaitsCancelled() noexcept;

// True when a start-up wait was given up (cancelled, or past its limit) while a thread of the daemon's
// library still waits inside it. Such a process must end with std::_Exit, without the destructors of static
// objects, which that thread may still use.
bool StartupAbandoned() noexcept;
// For the transports: records that a wait was given up.
void MarkStartupAbandoned() noexcept;

// Called at most once per process, on a transport's monitoring thread, when a transport the process uses is
// lost for good (RouDi ended or was restarted: the samples sent since then reach nobody). The handler must
// be quick and must not call back into the middleware. Without a handler the loss is only logged.
//
// Setting a handler (or nullptr) while the old one runs on another thread waits until that call has
// returned, so that once SetTransportLossHandler(nullptr) returns, nothing the old handler uses is touched
// any more. The handler may clear or replace itself (that does not wait). Thread-safe.
using TransportLossHandler = std::function<void(const std::string& reason)>;
void SetTransportLossHandler(TransportLossHandler handler);

// For the transports: logs the loss at error level on the middleware's context and calls the handler,
// the first time only.
void ReportTransportLoss(const std::string& reason);
// True once a loss was reported: set after its log line was written and before the handler is called, so
// that a process that cleared its handler learns of a loss the handler never saw.
bool TransportLost() noexcept;

}  // namespace vrt::cm
