#include "vrt/cm/shm/shm_transport.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "iceoryx_hoofs/log/logmanager.hpp"
#include "iceoryx_posh/iceoryx_posh_types.hpp"
#include "iceoryx_posh/mepoo/chunk_header.hpp"
#include "iceoryx_posh/mepoo/chunk_settings.hpp"
#include "iceoryx_posh/popo/subscriber.hpp"
#include "iceoryx_posh/popo/untyped_publisher.hpp"
#include "iceoryx_posh/popo/untyped_subscriber.hpp"
#include "iceoryx_posh/popo/wait_set.hpp"
#include "iceoryx_posh/roudi/introspection_types.hpp"
#include "iceoryx_posh/runtime/posh_runtime.hpp"
#include "vrt/cm/transport_runtime.h"
#include "vrt/cm/utils/log_initializer.h"

namespace vrt::cm::shm {

namespace {

// RouDi holds an exclusive flock on this file while it runs (iceoryx_posh_types.hpp: ROUDI_LOCK_NAME, in
// the lock file directory of iceoryx_hoofs/platform/platform_settings.hpp).
constexpr const char kRouDiLockFile[] = "/tmp/iox-unique-roudi.lock";
constexpr const char kRouDiSocket[] = "/tmp/roudi";
// RouDi publishes its mempool introspection once a second.
constexpr std::chrono::milliseconds kMempoolInfoTimeout{3000};
// How long a process waits for RouDi to answer its registration, unless VRT_CM_ROUDI_WAIT_S says otherwise.
constexpr std::chrono::seconds kDefaultRouDiWait{10};
// How often the connection to RouDi is checked: a loss is seen within this period.
constexpr std::chrono::milliseconds kMonitorPeriod{250};

std::int64_t MonotonicNowNs() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

enum class RouDiPresence { kRunning, kAbsent, kUnknown };

RouDiPresence ProbeRouDi(std::string& reason) {
    const int fd = ::open(kRouDiLockFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            reason = std::string(kRouDiLockFile) + " does not exist";
            return RouDiPresence::kAbsent;
        }
        return RouDiPresence::kUnknown;  // e.g. another user's RouDi: the socket tells more
    }
    RouDiPresence presence = RouDiPresence::kRunning;
    if (::flock(fd, LOCK_SH | LOCK_NB) == 0) {
        ::flock(fd, LOCK_UN);
        reason = std::string(kRouDiLockFile) + " is not locked";
        presence = RouDiPresence::kAbsent;
    }
    ::close(fd);
    struct stat info {};
    if (presence == RouDiPresence::kRunning &&
        (::stat(kRouDiSocket, &info) != 0 || !S_ISSOCK(info.st_mode))) {
        reason = std::string(kRouDiSocket) + " is not a socket";
        presence = RouDiPresence::kAbsent;
    }
    return presence;
}

// Whether this process may talk to RouDi's socket: empty when it may, else why not. RouDi's socket is a
// datagram socket; connecting to it needs write access to the socket file, which another user's RouDi
// denies. iceoryx itself would only say "RouDi not found - waiting ..." for ever.
std::string RouDiSocketProblem() {
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return {};
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, kRouDiSocket, sizeof(address.sun_path) - 1);
    std::string problem;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        const int error = errno;
        if (error == EACCES || error == EPERM) {
            problem = std::string("access to RouDi's socket ") + kRouDiSocket + " refused (" +
                      std::strerror(error) +
                      "): RouDi runs as another user; run this process as RouDi's user or in its group";
        } else {
            problem = std::string("RouDi's socket ") + kRouDiSocket + " does not answer (" +
                      std::strerror(error) + ")";
        }
    }
    ::close(fd);
    return problem;
}

// Identifies the RouDi instance a process registered with: a restarted RouDi binds a new socket.
struct SocketIdentity {
    dev_t device{0};
    ino_t inode{0};
    bool operator==(const SocketIdentity& other) const {
        return device == other.device && inode == other.inode;
    }
};

std::optional<SocketIdentity> RouDiSocketIdentity() {
    struct stat info {};
    if (::stat(kRouDiSocket, &info) != 0 || !S_ISSOCK(info.st_mode)) {
        return std::nullopt;
    }
    return SocketIdentity{info.st_dev, info.st_ino};
}

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

struct RuntimeState {
    std::once_flag once;
    std::optional<std::string> error;
    std::atomic<std::uint64_t> largestChunk{0U};
    std::atomic<std::uint64_t> largestPayload{0U};
    std::atomic<bool> lost{false};

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

iox::capro::ServiceDescription Describe(const ShmAddress& address) {
    return iox::capro::ServiceDescription(
        iox::capro::IdString_t(iox::cxx::TruncateToCapacity, address.service.c_str()),
        iox::capro::IdString_t(iox::cxx::TruncateToCapacity, address.instance.c_str()),
        iox::capro::IdString_t(iox::cxx::TruncateToCapacity, address.event.c_str()));
}

bool FitsIdString(const ShmAddress& address) {
    const auto capacity = iox::capro::IdString_t::capacity();
    return address.service.size() <= capacity && address.instance.size() <= capacity &&
           address.event.size() <= capacity;
}

}  // namespace

ShmAddress ShmAddress::ForEvent(std::uint16_t serviceId, const std::string& instanceId,
                                std::uint32_t entityId) {
    return ShmAddress{std::to_string(serviceId), instanceId, std::to_string(entityId)};
}

std::string ShmAddress::ToString() const {
    return service + "/" + instance + "/" + event;
}

namespace {

// Checks every kMonitorPeriod that the RouDi this process registered with still serves it. RouDi keeps no
// watch on its clients that they could see: when it dies, iceoryx goes on publishing into the old segments
// and a restarted RouDi knows nothing of this process. A dead RouDi's socket refuses connections; a
// restarted one has a new socket. Neither check takes RouDi's lock, which a RouDi starting up needs.
void MonitorRouDi(RuntimeState& state, SocketIdentity registered) {
    std::unique_lock<std::mutex> lock(state.monitorMutex);
    while (!state.monitorWake.wait_for(lock, kMonitorPeriod, [&state] { return state.monitorStop; })) {
        std::string reason;
        const std::optional<SocketIdentity> now = RouDiSocketIdentity();
        if (!now) {
            reason = std::string("RouDi has ended: its socket ") + kRouDiSocket + " is gone";
        } else if (!(*now == registered)) {
            reason =
                "RouDi was restarted: this process's ports live in the ended RouDi's memory and the new "
                "RouDi does not know them";
        } else if (const std::string problem = RouDiSocketProblem(); !problem.empty()) {
            reason = "RouDi has ended: " + problem;
        } else {
            continue;
        }
        state.lost = true;
        lock.unlock();
        ReportTransportLoss("[ShmRuntime] " + reason);
        return;
    }
}

}  // namespace

ara::core::Result<void, std::string> ShmRuntime::Connect() {
    RuntimeState& state = State();
    std::call_once(state.once, [&state] {
        std::string reason;
        if (ProbeRouDi(reason) == RouDiPresence::kAbsent) {
            state.error = "no RouDi is running (" + reason +
                          "); start iox-roudi, e.g. iox-roudi -c config/roudi.toml, before this process";
            return;
        }
        if (std::string problem = RouDiSocketProblem(); !problem.empty()) {
            state.error =
                problem + "; start iox-roudi, e.g. iox-roudi -c config/roudi.toml, before this process";
            return;
        }
        const std::optional<SocketIdentity> identity = RouDiSocketIdentity();
        if (!identity) {
            state.error = std::string("RouDi's socket ") + kRouDiSocket + " is gone";
            return;
        }
        const std::string name = RuntimeName();
        // iceoryx's own notices (segments registered, ...) would flood standard error; keep its warnings.
        iox::log::LogManager::GetLogManager().SetDefaultLogLevel(iox::log::LogLevel::kWarn);
        auto registration = std::make_shared<Registration>();
        std::thread([registration, name] {
            iox::runtime::PoshRuntime::initRuntime(
                iox::RuntimeName_t(iox::cxx::TruncateToCapacity, name.c_str()));
            const std::uint64_t largest = QueryLargestChunk();
            std::lock_guard<std::mutex> lock(registration->mutex);
            registration->finished = true;
            registration->largestChunk = largest;
            registration->done.notify_all();
        }).detach();

        const std::chrono::milliseconds limit = RouDiWaitLimit();
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::unique_lock<std::mutex> lock(registration->mutex);
        while (!registration->finished) {
            if (StartupWaitsCancelled()) {
                state.error = "the wait for RouDi was cancelled: the process is stopping";
                MarkStartupAbandoned();
                return;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                MarkStartupAbandoned();
                state.error = "RouDi did not answer within " +
                              std::to_string(static_cast<double>(limit.count()) / 1000.0).substr(0, 5) +
                              " s (VRT_CM_ROUDI_WAIT_S): it may be stopped or overloaded; check iox-roudi";
                return;
            }
            // Short slices, so that a cancellation is seen at once.
            registration->done.wait_for(lock, std::chrono::milliseconds(20));
        }
        const std::uint64_t largest = registration->largestChunk;
        if (largest == 0U) {
            state.error = "RouDi did not report its mempools within " +
                          std::to_string(kMempoolInfoTimeout.count()) + " ms";
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
        state.monitor = std::thread(MonitorRouDi, std::ref(state), *identity);
    });
    if (state.error) {
        return ara::core::Result<void, std::string>(*state.error);
    }
    return {};
}

bool ShmRuntime::RouDiLost() noexcept {
    return State().lost.load();
}

std::uint64_t ShmRuntime::LargestPayload() noexcept {
    return State().largestPayload.load();
}

bool ShmRuntime::RouDiRunning() noexcept {
    std::string reason;
    return ProbeRouDi(reason) != RouDiPresence::kAbsent;
}

// ---------------------------------------------------------------------------------------------------------

struct ShmEventPublisher::Impl {
    explicit Impl(const ShmAddress& addr) : address(addr), publisher(Describe(addr), Options()) {}

    static iox::popo::PublisherOptions Options() {
        iox::popo::PublisherOptions options;
        options.offerOnCreate = false;
        options.historyCapacity = 0U;
        options.subscriberTooSlowPolicy = iox::popo::ConsumerTooSlowPolicy::DISCARD_OLDEST_DATA;
        return options;
    }

    ShmAddress address;
    std::mutex mutex;
    iox::popo::UntypedPublisher publisher;
    std::atomic<bool> offered{false};
    std::uint64_t sequence{0U};
    std::shared_ptr<utils::CmLogger> log{utils::LogInitializer::GetLogger()};
};

ShmEventPublisher::ShmEventPublisher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ShmEventPublisher::~ShmEventPublisher() = default;

ara::core::Result<std::unique_ptr<ShmEventPublisher>, std::string> ShmEventPublisher::Create(
    const ShmAddress& address) {
    using R = ara::core::Result<std::unique_ptr<ShmEventPublisher>, std::string>;
    if (ShmRuntime::LargestPayload() == 0U) {
        return R::FromError("the process is not connected to RouDi");
    }
    if (!FitsIdString(address)) {
        return R::FromError("address " + address.ToString() + " has an element longer than " +
                            std::to_string(iox::capro::IdString_t::capacity()) + " characters");
    }
    return R::FromValue(
        std::unique_ptr<ShmEventPublisher>(new ShmEventPublisher(std::make_unique<Impl>(address))));
}

void ShmEventPublisher::Offer() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->publisher.offer();
    impl_->offered = true;
}

void ShmEventPublisher::StopOffer() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->offered = false;
    impl_->publisher.stopOffer();
}

bool ShmEventPublisher::IsOffered() const noexcept {
    return impl_->offered.load();
}

bool ShmEventPublisher::HasSubscribers() const noexcept {
    return impl_->publisher.hasSubscribers();
}

const ShmAddress& ShmEventPublisher::Address() const noexcept {
    return impl_->address;
}

SendStatus ShmEventPublisher::Send(std::size_t size, WriteFunction write, void* context,
                                   std::uint64_t blockBytes) {
    Impl& impl = *impl_;
    if (!impl.offered.load(std::memory_order_relaxed)) {
        return SendStatus::kNotOffered;
    }
    if (ShmRuntime::RouDiLost()) {
        // Reported once, at the loss; a chunk published now would reach nobody.
        return SendStatus::kRouDiLost;
    }
    const std::string& key = impl.address.event;
    if (size > ShmRuntime::LargestPayload()) {
        if (impl.log->LimitedEntry("ShmEventPublisher_TooLarge" + key, 1000, 1)) {
            impl.log->Get().LogError(ARA_LOG_HERE)
                << "[ShmEventPublisher][Payload larger than the largest mempool, sample dropped][event="
                << impl.address.ToString() << ", size=" << static_cast<unsigned long>(size)
                << ", largest=" << static_cast<unsigned long>(ShmRuntime::LargestPayload()) << "]";
        }
        return SendStatus::kTooLarge;
    }
    std::lock_guard<std::mutex> lock(impl.mutex);
    auto loan =
        impl.publisher.loan(static_cast<std::uint32_t>(size), iox::CHUNK_DEFAULT_USER_PAYLOAD_ALIGNMENT,
                            sizeof(SampleHeader), alignof(SampleHeader));
    if (loan.has_error()) {
        if (impl.log->LimitedEntry("ShmEventPublisher_Loan" + key, 1000, 1)) {
            impl.log->Get().LogError(ARA_LOG_HERE)
                << "[ShmEventPublisher][No chunk available, sample dropped][event=" << impl.address.ToString()
                << ", size=" << static_cast<unsigned long>(size)
                << ", error=" << static_cast<int>(loan.get_error()) << "]";
        }
        return SendStatus::kLoanFailed;
    }
    void* payload = loan.value();
    auto* buffer = static_cast<std::uint8_t*>(payload);
    if (!write(context, buffer, size)) {
        impl.publisher.release(payload);
        return SendStatus::kWriteFailed;
    }
    auto* header =
        static_cast<SampleHeader*>(iox::mepoo::ChunkHeader::fromUserPayload(payload)->userHeader());
    header->sequence = impl.sequence++;
    header->sendTimeNs = MonotonicNowNs();
    header->blockBytes = std::min<std::uint64_t>(blockBytes, size);
    impl.publisher.publish(payload);
    return SendStatus::kSent;
}

// ---------------------------------------------------------------------------------------------------------

struct ShmEventReceiver::Impl {
    Impl(const ShmAddress& addr, std::uint64_t capacity)
        : address(addr), subscriber(Describe(addr), Options(capacity)) {
        attached = !waitSet.attachState(subscriber, iox::popo::SubscriberState::HAS_DATA).has_error();
    }
    ~Impl() { waitSet.detachState(subscriber, iox::popo::SubscriberState::HAS_DATA); }

    static iox::popo::SubscriberOptions Options(std::uint64_t capacity) {
        iox::popo::SubscriberOptions options;
        options.queueCapacity = capacity;
        options.historyRequest = 0U;
        options.queueFullPolicy = iox::popo::QueueFullPolicy::DISCARD_OLDEST_DATA;
        return options;
    }

    ShmAddress address;
    iox::popo::UntypedSubscriber subscriber;
    iox::popo::WaitSet<1> waitSet;
    bool attached{false};
    std::optional<std::uint64_t> lastSequence;
    std::atomic<std::uint64_t> missed{0U};
};

ShmEventReceiver::ShmEventReceiver(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ShmEventReceiver::~ShmEventReceiver() = default;

ara::core::Result<std::unique_ptr<ShmEventReceiver>, std::string> ShmEventReceiver::Create(
    const ShmAddress& address, std::uint64_t queueCapacity) {
    using R = ara::core::Result<std::unique_ptr<ShmEventReceiver>, std::string>;
    if (ShmRuntime::LargestPayload() == 0U) {
        return R::FromError("the process is not connected to RouDi");
    }
    if (queueCapacity == 0U || queueCapacity > iox::MAX_SUBSCRIBER_QUEUE_CAPACITY) {
        return R::FromError("queue capacity " + std::to_string(queueCapacity) + " is outside 1 to " +
                            std::to_string(iox::MAX_SUBSCRIBER_QUEUE_CAPACITY));
    }
    if (!FitsIdString(address)) {
        return R::FromError("address " + address.ToString() + " has an element longer than " +
                            std::to_string(iox::capro::IdString_t::capacity()) + " characters");
    }
    auto impl = std::make_unique<Impl>(address, queueCapacity);
    if (!impl->attached) {
        return R::FromError("could not attach the subscriber of " + address.ToString() + " to its wait set");
    }
    return R::FromValue(std::unique_ptr<ShmEventReceiver>(new ShmEventReceiver(std::move(impl))));
}

bool ShmEventReceiver::Take(ReadFunction read, void* context) {
    Impl& impl = *impl_;
    auto taken = impl.subscriber.take();
    if (taken.has_error()) {
        return false;
    }
    const void* payload = taken.value();
    const auto* chunk = iox::mepoo::ChunkHeader::fromUserPayload(payload);
    const auto* header = static_cast<const SampleHeader*>(chunk->userHeader());
    // A sequence that does not move forward is a new publisher starting over.
    if (impl.lastSequence && header->sequence > *impl.lastSequence) {
        impl.missed += header->sequence - *impl.lastSequence - 1U;
    }
    impl.lastSequence = header->sequence;
    read(context, static_cast<const std::uint8_t*>(payload), chunk->userPayloadSize(), *header);
    impl.subscriber.release(payload);
    return true;
}

bool ShmEventReceiver::WaitForData(std::chrono::nanoseconds timeout) {
    if (impl_->subscriber.hasData()) {
        return true;
    }
    impl_->waitSet.timedWait(iox::units::Duration::fromNanoseconds(
        static_cast<std::uint64_t>(std::max<std::int64_t>(timeout.count(), 0))));
    return impl_->subscriber.hasData();
}

bool ShmEventReceiver::IsConnected() const noexcept {
    return impl_->subscriber.getSubscriptionState() == iox::SubscribeState::SUBSCRIBED;
}

std::uint64_t ShmEventReceiver::MissedSamples() const noexcept {
    return impl_->missed.load();
}

}  // namespace vrt::cm::shm
