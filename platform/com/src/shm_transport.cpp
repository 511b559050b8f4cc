#include "vrt/cm/shm/shm_transport.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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
#include "vrt/cm/utils/log_initializer.h"

namespace vrt::cm::shm {

namespace {

// RouDi holds an exclusive flock on this file while it runs (iceoryx_posh_types.hpp: ROUDI_LOCK_NAME, in
// the lock file directory of iceoryx_hoofs/platform/platform_settings.hpp).
constexpr const char kRouDiLockFile[] = "/tmp/iox-unique-roudi.lock";
constexpr const char kRouDiSocket[] = "/tmp/roudi";
// RouDi publishes its mempool introspection once a second.
constexpr std::chrono::milliseconds kMempoolInfoTimeout{3000};

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
        return RouDiPresence::kUnknown;  // e.g. another user's RouDi: let iceoryx try
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

struct RuntimeState {
    std::once_flag once;
    std::optional<std::string> error;
    std::atomic<std::uint64_t> largestChunk{0U};
    std::atomic<std::uint64_t> largestPayload{0U};
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

ara::core::Result<void, std::string> ShmRuntime::Connect() {
    RuntimeState& state = State();
    std::call_once(state.once, [&state] {
        std::string reason;
        if (ProbeRouDi(reason) == RouDiPresence::kAbsent) {
            state.error = "no RouDi is running (" + reason +
                          "); start iox-roudi, e.g. iox-roudi -c config/roudi.toml, before this process";
            return;
        }
        const std::string name = RuntimeName();
        // iceoryx's own notices (segments registered, ...) would flood standard error; keep its warnings.
        iox::log::LogManager::GetLogManager().SetDefaultLogLevel(iox::log::LogLevel::kWarn);
        iox::runtime::PoshRuntime::initRuntime(
            iox::RuntimeName_t(iox::cxx::TruncateToCapacity, name.c_str()));
        const std::uint64_t largest = QueryLargestChunk();
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
    });
    if (state.error) {
        return ara::core::Result<void, std::string>(*state.error);
    }
    return {};
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

SendStatus ShmEventPublisher::Send(std::size_t size, WriteFunction write, void* context) {
    Impl& impl = *impl_;
    if (!impl.offered.load(std::memory_order_relaxed)) {
        return SendStatus::kNotOffered;
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
