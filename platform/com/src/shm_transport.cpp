#include "vrt/cm/shm/shm_transport.h"

#include <algorithm>
#include <atomic>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>

#include "iceoryx_posh/iceoryx_posh_types.hpp"
#include "iceoryx_posh/mepoo/chunk_header.hpp"
#include "iceoryx_posh/popo/untyped_publisher.hpp"
#include "iceoryx_posh/popo/untyped_subscriber.hpp"
#include "iceoryx_posh/popo/wait_set.hpp"
#include "vrt/cm/utils/log_initializer.h"

namespace vrt::cm::shm {

namespace {

std::int64_t MonotonicNowNs() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

iox::capro::ServiceDescription Describe(const ShmAddress& address) {
    return iox::capro::ServiceDescription(
        iox::capro::IdString_t(iox::cxx::TruncateToCapacity, address.service.c_str()),
        iox::capro::IdString_t(iox::cxx::TruncateToCapacity, address.instance.c_str()),
        iox::capro::IdString_t(iox::cxx::TruncateToCapacity, address.event.c_str()));
}

// Whether a port of `address` can be made now: the process is registered and the address fits iceoryx.
TransportResult<void> CheckPortAddress(const ShmAddress& address) {
    using R = TransportResult<void>;
    if (ShmRuntime::LargestPayload() == 0U) {
        return R::FromError(
            TransportError{TransportErrorCode::kRouDiUnavailable, "the process is not connected to RouDi"});
    }
    const auto capacity = iox::capro::IdString_t::capacity();
    if (address.service.size() > capacity || address.instance.size() > capacity ||
        address.event.size() > capacity) {
        return R::FromError(TransportError{TransportErrorCode::kBadAddress,
                                           "address " + address.ToString() + " has an element longer than " +
                                               std::to_string(capacity) + " characters"});
    }
    return {};
}

}  // namespace

ShmAddress ShmAddress::ForEvent(std::uint16_t serviceId, const std::string& instanceId,
                                std::uint32_t entityId) {
    return ShmAddress{std::to_string(serviceId), instanceId, std::to_string(entityId)};
}

std::string ShmAddress::ToString() const {
    return service + "/" + instance + "/" + event;
}

// Once the transport is lost, the ports are never touched again, not even to be destroyed: a process that
// RouDi dropped would write into memory RouDi has taken back and may have handed to another process's port.
// The iceoryx objects are then left behind (a few hundred bytes of this process's heap each).
struct ShmEventPublisher::Impl {
    explicit Impl(const ShmAddress& addr)
        : address(addr),
          publisher(std::make_unique<iox::popo::UntypedPublisher>(Describe(addr), Options())) {}
    ~Impl() {
        if (ShmRuntime::RouDiLost()) {
            (void)publisher.release();
        }
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    static iox::popo::PublisherOptions Options() {
        iox::popo::PublisherOptions options;
        options.offerOnCreate = false;
        options.historyCapacity = 0U;
        options.subscriberTooSlowPolicy = iox::popo::ConsumerTooSlowPolicy::DISCARD_OLDEST_DATA;
        return options;
    }

    ShmAddress address;
    std::mutex mutex;
    std::unique_ptr<iox::popo::UntypedPublisher> publisher;
    std::atomic<bool> offered{false};
    std::uint64_t sequence{0U};
    std::shared_ptr<utils::CmLogger> log{utils::LogInitializer::GetLogger()};
};

ShmEventPublisher::ShmEventPublisher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ShmEventPublisher::~ShmEventPublisher() = default;

TransportResult<std::unique_ptr<ShmEventPublisher>> ShmEventPublisher::Create(const ShmAddress& address) {
    using R = TransportResult<std::unique_ptr<ShmEventPublisher>>;
    if (auto usable = CheckPortAddress(address); !usable.HasValue()) {
        return R::FromError(usable.Error());
    }
    return R::FromValue(
        std::unique_ptr<ShmEventPublisher>(new ShmEventPublisher(std::make_unique<Impl>(address))));
}

void ShmEventPublisher::Offer() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (ShmRuntime::RouDiLost()) {
        return;
    }
    impl_->publisher->offer();
    impl_->offered = true;
}

void ShmEventPublisher::StopOffer() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->offered = false;
    if (!ShmRuntime::RouDiLost()) {
        impl_->publisher->stopOffer();
    }
}

bool ShmEventPublisher::IsOffered() const noexcept {
    return impl_->offered.load();
}

bool ShmEventPublisher::HasSubscribers() const noexcept {
    return !ShmRuntime::RouDiLost() && impl_->publisher->hasSubscribers();
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
        impl.publisher->loan(static_cast<std::uint32_t>(size), iox::CHUNK_DEFAULT_USER_PAYLOAD_ALIGNMENT,
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
        impl.publisher->release(payload);
        return SendStatus::kWriteFailed;
    }
    auto* header =
        static_cast<SampleHeader*>(iox::mepoo::ChunkHeader::fromUserPayload(payload)->userHeader());
    header->sequence = impl.sequence++;
    header->sendTimeNs = MonotonicNowNs();
    header->blockBytes = std::min<std::uint64_t>(blockBytes, size);
    impl.publisher->publish(payload);
    return SendStatus::kSent;
}

struct ShmEventReceiver::Impl {
    Impl(const ShmAddress& addr, std::uint64_t capacity)
        : address(addr),
          subscriber(std::make_unique<iox::popo::UntypedSubscriber>(Describe(addr), Options(capacity))),
          waitSet(std::make_unique<iox::popo::WaitSet<1>>()) {
        attached = !waitSet->attachState(*subscriber, iox::popo::SubscriberState::HAS_DATA).has_error();
    }
    ~Impl() {
        if (ShmRuntime::RouDiLost()) {
            (void)waitSet.release();
            (void)subscriber.release();
            return;
        }
        waitSet->detachState(*subscriber, iox::popo::SubscriberState::HAS_DATA);
    }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    static iox::popo::SubscriberOptions Options(std::uint64_t capacity) {
        iox::popo::SubscriberOptions options;
        options.queueCapacity = capacity;
        options.historyRequest = 0U;
        options.queueFullPolicy = iox::popo::QueueFullPolicy::DISCARD_OLDEST_DATA;
        return options;
    }

    ShmAddress address;
    std::unique_ptr<iox::popo::UntypedSubscriber> subscriber;
    std::unique_ptr<iox::popo::WaitSet<1>> waitSet;
    bool attached{false};
    std::optional<std::uint64_t> lastSequence;
    std::atomic<std::uint64_t> missed{0U};
};

ShmEventReceiver::ShmEventReceiver(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ShmEventReceiver::~ShmEventReceiver() = default;

TransportResult<std::unique_ptr<ShmEventReceiver>> ShmEventReceiver::Create(const ShmAddress& address,
                                                                            std::uint64_t queueCapacity) {
    using R = TransportResult<std::unique_ptr<ShmEventReceiver>>;
    if (auto usable = CheckPortAddress(address); !usable.HasValue()) {
        return R::FromError(usable.Error());
    }
    if (queueCapacity == 0U || queueCapacity > iox::MAX_SUBSCRIBER_QUEUE_CAPACITY) {
        return R::FromError(TransportError{TransportErrorCode::kBadConfiguration,
                                           "queue capacity " + std::to_string(queueCapacity) +
                                               " is outside 1 to " +
                                               std::to_string(iox::MAX_SUBSCRIBER_QUEUE_CAPACITY)});
    }
    auto impl = std::make_unique<Impl>(address, queueCapacity);
    if (!impl->attached) {
        return R::FromError(
            TransportError{TransportErrorCode::kResources,
                           "could not attach the subscriber of " + address.ToString() + " to its wait set"});
    }
    return R::FromValue(std::unique_ptr<ShmEventReceiver>(new ShmEventReceiver(std::move(impl))));
}

bool ShmEventReceiver::Take(ReadFunction read, void* context) {
    Impl& impl = *impl_;
    if (ShmRuntime::RouDiLost()) {
        return false;
    }
    auto taken = impl.subscriber->take();
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
    impl.subscriber->release(payload);
    return true;
}

bool ShmEventReceiver::WaitForData(std::chrono::nanoseconds timeout) {
    if (ShmRuntime::RouDiLost()) {
        // Nothing will come; the caller's loop must not spin.
        std::this_thread::sleep_for(timeout);
        return false;
    }
    if (impl_->subscriber->hasData()) {
        return true;
    }
    impl_->waitSet->timedWait(iox::units::Duration::fromNanoseconds(
        static_cast<std::uint64_t>(std::max<std::int64_t>(timeout.count(), 0))));
    return !ShmRuntime::RouDiLost() && impl_->subscriber->hasData();
}

bool ShmEventReceiver::IsConnected() const noexcept {
    return !ShmRuntime::RouDiLost() &&
           impl_->subscriber->getSubscriptionState() == iox::SubscribeState::SUBSCRIBED;
}

std::uint64_t ShmEventReceiver::MissedSamples() const noexcept {
    return impl_->missed.load();
}

}  // namespace vrt::cm::shm
