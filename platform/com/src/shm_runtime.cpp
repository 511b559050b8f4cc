#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <limits>
#include <mutex>
#include <optional>
#include <thread>

#include "iceoryx_hoofs/error_handling/error_handling.hpp"
#include "iceoryx_hoofs/log/logmanager.hpp"
#include "iceoryx_posh/iceoryx_posh_types.hpp"
#include "iceoryx_posh/mepoo/chunk_settings.hpp"
#include "iceoryx_posh/popo/subscriber.hpp"
#include "iceoryx_posh/popo/wait_set.hpp"
#include "iceoryx_posh/roudi/introspection_types.hpp"
#include "iceoryx_posh/runtime/posh_runtime.hpp"
#include "roudi_probe.h"
#include "vrt/cm/shm/shm_transport.h"
#include "vrt/cm/transport_runtime.h"
#include "vrt/cm/utils/log_initializer.h"

// The process's registration with RouDi, and the watch on RouDi that follows it.
namespace vrt::cm::shm {

namespace {

// RouDi publishes its mempool introspection once a second.
constexpr std::chrono::milliseconds kMempoolInfoTimeout{3000};
// How long a process waits for RouDi to answer its registration, unless VRT_CM_ROUDI_WAIT_S says otherwise.
constexpr std::chrono::seconds kDefaultRouDiWait{10};
// How often a process that starts before RouDi looks for RouDi's socket.
constexpr std::chrono::milliseconds kSocketPollPeriod{20};
// A registration RouDi has not answered after this long is said to be waited for.
constexpr std::chrono::milliseconds kRegistrationNotice{500};
// How often the connection to RouDi is checked: a loss is seen within this period.
constexpr std::chrono::milliseconds kMonitorPeriod{250};
// How long the monitor may go without running before this process counts as dropped by RouDi. RouDi removes
// a process it has not heard from for iox::PROCESS_KEEP_ALIVE_TIMEOUT (1.5 s), and iceoryx sends the
// keep-alive every iox::PROCESS_KEEP_ALIVE_INTERVAL (300 ms): a pause (SIGSTOP, a debugger) of more than
// 1.2 s may already have cost the registration. Then RouDi has destroyed this process's ports, and touching
// them makes iceoryx end the process.
constexpr std::int64_t kPauseLimitNs = 1000000000LL;
// What a process that finds no usable RouDi tells its user to do.
constexpr const char kStartRouDi[] =
    "start iox-roudi, e.g. iox-roudi -c config/roudi.toml, before this process";

std::chrono::milliseconds RouDiWaitLimit() {
    if (const char* text = std::getenv("VRT_CM_ROUDI_WAIT_S"); text != nullptr && *text != '\0') {
        char* end = nullptr;
        const double seconds = std::strtod(text, &end);
        if (end != text && *end == '\0' && seconds > 0 && seconds <= 86400) {
            return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
        }
        utils::LogInitializer::GetLogger()->Get().LogWarn(ARA_LOG_HERE)
            << "[ShmRuntime][Ignoring VRT_CM_ROUDI_WAIT_S=\"" << text << "\": expected seconds, above 0]";
    }
    return kDefaultRouDiWait;
}

std::string Seconds(std::chrono::milliseconds duration) {
    return std::to_string(static_cast<double>(duration.count()) / 1000.0).substr(0, 5);
}

// Waits until RouDi's socket answers: a supervisor may start this process a moment before RouDi, and a RouDi
// that starts up binds its socket only after it set up its memory. Only the socket is polled: a probe of
// RouDi's lock could make a RouDi that takes it at that moment believe another one runs. A socket that
// refuses this process (another user's RouDi) will not change its mind: that fails at once.
TransportResult<void> WaitForRouDiSocket(std::chrono::milliseconds limit,
                                         std::chrono::steady_clock::time_point deadline) {
    using R = TransportResult<void>;
    bool told = false;
    while (true) {
        auto reachable = CheckRouDiSocket();
        if (reachable.HasValue()) {
            return {};
        }
        if (reachable.Error().code == TransportErrorCode::kRouDiAccessRefused) {
            TransportError error = reachable.Error();
            error.message += std::string("; ") + kStartRouDi;
            return R::FromError(error);
        }
        if (StartupWaitsCancelled()) {
            return R::FromError(TransportError{TransportErrorCode::kCancelled,
                                               "the wait for RouDi was cancelled: the process is stopping"});
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            const RouDiProbe probe = ProbeRouDi();
            const std::string missing =
                probe.presence == RouDiPresence::kAbsent ? probe.reason : reachable.Error().message;
            return R::FromError(TransportError{TransportErrorCode::kRouDiUnavailable,
                                               "no RouDi is running (" + missing + ") after waiting " +
                                                   Seconds(limit) + " s (VRT_CM_ROUDI_WAIT_S); " +
                                                   kStartRouDi});
        }
        if (!told) {
            // Said once, so that whoever watches the start-up knows what it waits for.
            utils::LogInitializer::GetLogger()->Get().LogInfo(ARA_LOG_HERE)
                << "[ShmRuntime][Waiting up to " << Seconds(limit)
                << " s (VRT_CM_ROUDI_WAIT_S) for RouDi's socket to appear]";
            told = true;
        }
        // Short slices, so that a cancellation is seen at once.
        std::this_thread::sleep_for(kSocketPollPeriod);
    }
}

// Unique per process, and never the name of an existing entry of /tmp, where iceoryx puts its socket.
std::string RuntimeName() {
    if (const char* name = std::getenv("VRT_CM_RUNTIME_NAME"); name != nullptr && *name != '\0') {
        return name;
    }
    std::string program = "process";
    std::ifstream comm("/proc/self/comm");
    std::getline(comm, program);
    std::replace_if(
        program.begin(), program.end(),
        [](char c) { return !(std::isalnum(static_cast<unsigned char>(c)) != 0); }, '_');
    return "vrtcm_" + std::to_string(::getpid()) + "_" + program.substr(0, 40);
}

std::string EffectiveGroupName() {
    const group* entry = ::getgrgid(::getegid());
    return entry == nullptr ? std::string() : std::string(entry->gr_name);
}

// The chunk size of the largest mempool of the payload segment this process writes to; 0 when RouDi did
// not tell in time.
std::uint64_t QueryLargestChunk() {
    iox::popo::SubscriberOptions options;
    options.queueCapacity = 1U;
    options.historyRequest = 1U;
    iox::popo::Subscriber<iox::roudi::MemPoolIntrospectionInfoContainer> introspection(
        iox::roudi::IntrospectionMempoolService, options);
    iox::popo::WaitSet<1> waitSet;
    if (waitSet.attachState(introspection, iox::popo::SubscriberState::HAS_DATA).has_error()) {
        return 0U;
    }
    const std::string group = EffectiveGroupName();
    const auto deadline = std::chrono::steady_clock::now() + kMempoolInfoTimeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        waitSet.timedWait(iox::units::Duration::fromMilliseconds(
            static_cast<std::uint64_t>(std::max<std::int64_t>(left.count(), 1))));
        std::uint64_t ours = 0U;
        std::uint64_t any = 0U;
        bool received = false;
        while (true) {
            auto sample = introspection.take();
            if (sample.has_error()) {
                break;
            }
            received = true;
            ours = 0U;
            any = 0U;
            const auto& segments = *sample.value();
            // Entry 0 is RouDi's own introspection memory; the payload segments follow.
            for (std::size_t i = 1; i < segments.size(); ++i) {
                for (const auto& pool : segments[i].m_mempoolInfo) {
                    any = std::max<std::uint64_t>(any, pool.m_chunkSize);
                    if (group == segments[i].m_writerGroupName.c_str()) {
                        ours = std::max<std::uint64_t>(ours, pool.m_chunkSize);
                    }
                }
            }
        }
        if (received) {
            return ours != 0U ? ours : any;
        }
    }
    return 0U;
}

std::uint32_t RequiredChunkSize(std::uint64_t payload) {
    if (payload > std::numeric_limits<std::uint32_t>::max()) {
        return std::numeric_limits<std::uint32_t>::max();
    }
    auto settings = iox::mepoo::ChunkSettings::create(static_cast<std::uint32_t>(payload),
                                                      iox::CHUNK_DEFAULT_USER_PAYLOAD_ALIGNMENT,
                                                      sizeof(SampleHeader), alignof(SampleHeader));
    return settings.has_error() ? std::numeric_limits<std::uint32_t>::max()
                                : settings.value().requiredChunkSize();
}

// The registration with RouDi runs on a thread of its own: iceoryx waits a minute for RouDi's answer and
// then ends the process, and nothing interrupts that wait. The caller waits with its own limit and can be
// cancelled; a registration left behind is abandoned, the process being about to end.
struct Registration {
    std::mutex mutex;
    std::condition_variable done;
    bool finished{false};
    std::uint64_t largestChunk{0U};
};

std::int64_t MonotonicNowNs() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

// Why this process found its ports unusable by itself, before the monitor reported it.
constexpr std::uint32_t kNoDrop = 0U;
constexpr std::uint32_t kDroppedAfterPause = 1U;
// Followed by the iceoryx error (iox::Error) that showed it.
constexpr std::uint32_t kDroppedByIceoryxError = 2U;

struct RuntimeState {
    std::once_flag once;
    std::optional<TransportError> error;
    std::atomic<std::uint64_t> largestChunk{0U};
    std::atomic<std::uint64_t> largestPayload{0U};
    // The ports may no longer be used: RouDi ended, was restarted, or dropped this process.
    std::atomic<bool> lost{false};
    // CLOCK_MONOTONIC time of the monitor's last look at RouDi; 0 until it runs.
    std::atomic<std::int64_t> lastCheckNs{0};
    std::atomic<std::uint32_t> dropCause{kNoDrop};
    std::atomic<std::uint32_t> dropError{0U};
    // This process's reaction to iceoryx's errors, for as long as the process lives.
    std::optional<iox::cxx::GenericRAII> errorHandler;

    // Watches RouDi after a successful connection; stopped when the process ends.
    std::mutex monitorMutex;
    std::condition_variable monitorWake;
    bool monitorStop{false};
    std::thread monitor;

    ~RuntimeState() {
        {
            std::lock_guard<std::mutex> lock(monitorMutex);
            monitorStop = true;
        }
        monitorWake.notify_all();
        if (monitor.joinable()) {
            monitor.join();
        }
    }
};

RuntimeState& State() {
    static RuntimeState state;
    return state;
}

// Marks the ports unusable from any thread, the monitor reports it. Takes no lock: it runs inside iceoryx's
// error handler and on the sending path.
void MarkDropped(RuntimeState& state, std::uint32_t cause, std::uint32_t error = 0U) noexcept {
    std::uint32_t none = kNoDrop;
    if (state.dropCause.compare_exchange_strong(none, cause)) {
        state.dropError = error;
    }
    state.lost = true;
    state.monitorWake.notify_all();
}

std::string DropReason(const RuntimeState& state, std::int64_t silentNs) {
    const std::string silent = Seconds(std::chrono::milliseconds(silentNs / 1000000));
    if (state.dropCause.load() == kDroppedByIceoryxError) {
        std::string reason = std::string("RouDi has dropped this process: its ports are gone (iceoryx: ") +
                             iox::ErrorHandler::toString(static_cast<iox::Error>(state.dropError.load())) +
                             ")";
        if (silentNs > kPauseLimitNs) {
            reason += ", after the process did not run for " + silent + " s";
        }
        return reason;
    }
    return "RouDi has dropped this process, or may have: the process did not run for " + silent +
           " s, and RouDi removes a process it has not heard from for 1.5 s, with its ports";
}

// iceoryx's own reaction to an error: log it, and for FATAL and SEVERE errors assert and terminate.
struct IceoryxDefaultReaction : iox::ErrorHandler {
    static void React(iox::Error error, const std::function<void()>& callback, iox::ErrorLevel level) {
        if (callback) {
            callback();
        }
        const std::string text = std::string("ICEORYX error! ") + toString(error);
        reactOnErrorLevel(level, text.c_str());
    }
};

// A process that RouDi dropped (its keep-alive missed while it was paused) finds its ports destroyed: the
// chunk lock of a port is a destroyed mutex, and iceoryx would end the process for it. That is the loss of
// the transport, not a fault of this process: it is marked, the call in progress finishes without its lock
// (RouDi holds nothing of this process any more), no later call touches the ports, and the monitor reports
// the loss. Once the ports are known to be gone, iceoryx's further errors are the same loss's echoes.
void OnIceoryxError(iox::Error error, const std::function<void()>& callback, iox::ErrorLevel level) {
    RuntimeState& state = State();
    const bool portGone =
        error == iox::Error::kPOPO__CHUNK_LOCKING_ERROR || error == iox::Error::kPOPO__CHUNK_UNLOCKING_ERROR;
    if (!portGone && !state.lost.load()) {
        IceoryxDefaultReaction::React(error, callback, level);
        return;
    }
    MarkDropped(state, kDroppedByIceoryxError, static_cast<std::uint32_t>(error));
}

// iceoryx's runtime, destroyed at exit, unregisters from RouDi and waits without limit for the answer, which
// a RouDi that dropped this process never sends. Registered after the runtime was made, this runs before its
// destructor and ends such a process with its exit status, skipping the rest of the exit.
void EndWithoutUnregistering(int status, void* /*unused*/) {
    if (State().dropCause.load() != kNoDrop) {
        std::fflush(nullptr);
        std::_Exit(status);
    }
}

// What changed about the RouDi this process registered with; empty while it still serves the process.
std::string RouDiChange(const RouDiIdentity& registered) {
    const std::optional<RouDiIdentity> current = CurrentRouDiIdentity();
    if (!current) {
        return std::string("RouDi has ended: its socket ") + kRouDiSocket + " is gone";
    }
    if (registered.pid > 0 && current->pid == 0) {
        return std::string("RouDi has ended: nobody holds its lock ") + kRouDiLockFile;
    }
    if (*current != registered) {
        std::string reason = "RouDi was restarted";
        if (registered.pid > 0) {
            reason +=
                " (pid " + std::to_string(registered.pid) + ", now " + std::to_string(current->pid) + ")";
        }
        return reason +
               ": this process's ports live in the ended RouDi's memory and the new RouDi does not know them";
    }
    if (auto reachable = CheckRouDiSocket(); !reachable.HasValue()) {
        return "RouDi has ended: " + reachable.Error().message;
    }
    return {};
}

// Checks every kMonitorPeriod that the RouDi this process registered with still serves it. RouDi keeps no
// watch on its clients that they could see: when it dies, iceoryx goes on publishing into the old segments
// and a restarted RouDi knows nothing of this process. A dead RouDi's socket refuses connections and its lock
// is free; a restarted one is another process. None of the checks takes RouDi's lock, which a RouDi starting
// up needs. A look that comes too late means the process was paused (see kPauseLimitNs); a drop seen
// elsewhere (OnIceoryxError, ShmRuntime::RouDiLost) wakes the monitor to report it.
void MonitorRouDi(RuntimeState& state, RouDiIdentity registered) {
    std::unique_lock<std::mutex> lock(state.monitorMutex);
    while (true) {
        state.monitorWake.wait_for(lock, kMonitorPeriod,
                                   [&state] { return state.monitorStop || state.lost.load(); });
        if (state.monitorStop) {
            return;
        }
        const std::int64_t now = MonotonicNowNs();
        const std::int64_t silent = now - state.lastCheckNs.load();
        std::string reason;
        if (state.lost.load() || silent > kPauseLimitNs) {
            // Marked before the time of this look is stored, so that no send trusts the ports after a pause.
            MarkDropped(state, kDroppedAfterPause);
            reason = DropReason(state, silent);
        } else {
            state.lastCheckNs = now;
            reason = RouDiChange(registered);
            if (reason.empty()) {
                continue;
            }
        }
        state.lost = true;
        lock.unlock();
        ReportTransportLoss("[ShmRuntime] " + reason);
        return;
    }
}

}  // namespace

TransportResult<void> ShmRuntime::Connect() {
    RuntimeState& state = State();
    std::call_once(state.once, [&state] {
        // One limit for the whole start-up: RouDi's socket to appear, then RouDi's answer.
        const std::chrono::milliseconds limit = RouDiWaitLimit();
        const auto deadline = std::chrono::steady_clock::now() + limit;
        if (auto present = WaitForRouDiSocket(limit, deadline); !present.HasValue()) {
            state.error = present.Error();
            return;
        }
        // Taken before the registration, so that a RouDi restarted meanwhile is seen as a restart.
        const std::optional<RouDiIdentity> identity = CurrentRouDiIdentity();
        if (!identity) {
            state.error = TransportError{TransportErrorCode::kRouDiUnavailable,
                                         std::string("RouDi's socket ") + kRouDiSocket + " is gone"};
            return;
        }
        const std::string name = RuntimeName();
        // iceoryx's own notices (segments registered, ...) would flood standard error; keep its warnings.
        iox::log::LogManager::GetLogManager().SetDefaultLogLevel(iox::log::LogLevel::kWarn);
        state.errorHandler.emplace(iox::ErrorHandler::setTemporaryErrorHandler(OnIceoryxError));
        auto registration = std::make_shared<Registration>();
        std::thread([registration, name] {
            iox::runtime::PoshRuntime::initRuntime(
                iox::RuntimeName_t(iox::cxx::TruncateToCapacity, name.c_str()));
            ::on_exit(EndWithoutUnregistering, nullptr);
            const std::uint64_t largest = QueryLargestChunk();
            std::lock_guard<std::mutex> lock(registration->mutex);
            registration->finished = true;
            registration->largestChunk = largest;
            registration->done.notify_all();
        }).detach();

        std::unique_lock<std::mutex> lock(registration->mutex);
        const auto tellAt = std::chrono::steady_clock::now() + kRegistrationNotice;
        bool told = false;
        while (!registration->finished) {
            if (StartupWaitsCancelled()) {
                state.error = TransportError{TransportErrorCode::kCancelled,
                                             "the wait for RouDi was cancelled: the process is stopping"};
                MarkStartupAbandoned();
                return;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                MarkStartupAbandoned();
                state.error = TransportError{
                    TransportErrorCode::kRouDiUnavailable,
                    "RouDi did not answer within " + Seconds(limit) +
                        " s (VRT_CM_ROUDI_WAIT_S): it may be stopped or overloaded; check iox-roudi"};
                return;
            }
            if (!told && std::chrono::steady_clock::now() >= tellAt) {
                utils::LogInitializer::GetLogger()->Get().LogInfo(ARA_LOG_HERE)
                    << "[ShmRuntime][RouDi has not answered the registration yet; waiting up to "
                    << Seconds(limit) << " s (VRT_CM_ROUDI_WAIT_S)]";
                told = true;
            }
            // Short slices, so that a cancellation is seen at once.
            registration->done.wait_for(lock, std::chrono::milliseconds(20));
        }
        const std::uint64_t largest = registration->largestChunk;
        if (largest == 0U) {
            state.error = TransportError{TransportErrorCode::kRouDiUnavailable,
                                         "RouDi did not report its mempools within " +
                                             std::to_string(kMempoolInfoTimeout.count()) + " ms"};
            return;
        }
        state.largestChunk = largest;
        // The largest payload whose chunk, with the sample header, still fits the largest mempool.
        std::uint64_t low = 0U;
        std::uint64_t high = largest;
        while (low < high) {
            const std::uint64_t mid = low + (high - low + 1U) / 2U;
            if (RequiredChunkSize(mid) <= largest) {
                low = mid;
            } else {
                high = mid - 1U;
            }
        }
        state.largestPayload = low;
        state.lastCheckNs = MonotonicNowNs();
        state.monitor = std::thread(MonitorRouDi, std::ref(state), *identity);
    });
    if (state.error) {
        return TransportResult<void>::FromError(*state.error);
    }
    return {};
}

bool ShmRuntime::RouDiLost() noexcept {
    RuntimeState& state = State();
    if (state.lost.load()) {
        return true;
    }
    // Right after a pause the monitor may not have run yet: a stale look counts as a drop, before any port is
    // touched.
    const std::int64_t last = state.lastCheckNs.load();
    if (last != 0 && MonotonicNowNs() - last > kPauseLimitNs) {
        MarkDropped(state, kDroppedAfterPause);
        return true;
    }
    return false;
}

std::uint64_t ShmRuntime::LargestPayload() noexcept {
    return State().largestPayload.load();
}

bool ShmRuntime::RouDiRunning() noexcept {
    return ProbeRouDi().presence != RouDiPresence::kAbsent;
}

}  // namespace vrt::cm::shm
