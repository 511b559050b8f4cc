#include "ara/com/internal/skeleton/event/event_adapter_base.h"

#include "hal_buff/hal_buff.h"
#include "vrt/cm/dds/dds_transport.h"
#include "vrt/cm/shm/shm_transport.h"
#include "vrt/cm/someip/someip_transport.h"
#include "vrt/cm/type/com_error_domain.h"

namespace ara::com::internal::skeleton::event {

namespace {

using vrt::cm::type::DriverType;

// Frees an event's blocks through the buffer service and reports refusals: a refused free is a block freed
// twice or never handed out, a fault of whoever filled the sample.
class EventDpAdapterHandler : public vrt::cm::utils::DpAdapterHandler {
  public:
    EventDpAdapterHandler(std::shared_ptr<vrt::cm::utils::CmLogger> log, std::uint32_t entityId)
        : log_(std::move(log)), entityId_(entityId) {}

    std::int32_t MbufFree(Mbuf* mbuf) override {
        const std::int32_t status = DpAdapterHandler::MbufFree(mbuf);
        if (status != 0) {
            failures_.fetch_add(1U, std::memory_order_relaxed);
            if (log_->LimitedEntry("EventAdapterBase_MbufFree" + std::to_string(entityId_), 1000, 1)) {
                log_->Get().LogError(ARA_LOG_HERE)
                    << "[EventAdapterBase][Shared-buffer block of a sent sample not freed][entityId="
                    << entityId_ << ", status=" << status << "]";
            }
        }
        return status;
    }

    std::uint64_t Failures() const noexcept { return failures_.load(std::memory_order_relaxed); }

  private:
    std::shared_ptr<vrt::cm::utils::CmLogger> log_;
    std::uint32_t entityId_;
    std::atomic<std::uint64_t> failures_{0};
};

std::string Join(const std::vector<std::string>& items) {
    std::string joined;
    for (const std::string& item : items) {
        joined += joined.empty() ? "" : ",";
        joined += item;
    }
    return joined;
}

}  // namespace

EventAdapterBase::EventAdapterBase(std::shared_ptr<SkeletonHandle> skeleton, std::uint32_t entityId,
                                   vrt::cm::type::ServiceIdentifierType service,
                                   ara::core::InstanceSpecifier instance)
    : skeleton_(std::move(skeleton)),
      entityId_(entityId),
      service_(std::move(service)),
      instance_(std::move(instance)),
      log_(vrt::cm::utils::LogInitializer::GetLogger()),
      rawDataHandler_(std::make_shared<EventDpAdapterHandler>(log_, entityId_)) {
    if (skeleton_) {
        skeleton_->Attach(this);
    }
}

EventAdapterBase::~EventAdapterBase() {
    if (skeleton_) {
        skeleton_->Detach(this);
    }
}

std::vector<DriverType> EventAdapterBase::Transports() const {
    std::lock_guard<std::mutex> lock(bindingMutex_);
    return transports_;
}

int EventAdapterBase::InitializeEventInfo(EventInfoTable& table) {
    constexpr int kFailure = static_cast<int>(vrt::cm::type::ComErrc::kNetworkBindingFailure);
    auto& log = log_->Get();
    const std::string path = vrt::cm::deployment::DeploymentManifest::DefaultPath();
    auto manifest = vrt::cm::deployment::DeploymentManifest::Load(path);
    if (!manifest.HasValue()) {
        log.LogError(ARA_LOG_HERE) << "[EventAdapterBase][Invalid deployment manifest][entityId=" << entityId_
                                   << "] " << manifest.Error().Describe();
        return kFailure;
    }
    const std::string eventPath = "/events/" + std::to_string(entityId_);
    const auto* event = manifest.Value().FindEvent(entityId_);
    if (event == nullptr) {
        log.LogError(ARA_LOG_HERE)
            << "[EventAdapterBase][No deployment for event][entityId=" << entityId_ << "] "
            << vrt::cm::deployment::ManifestError{path, eventPath,
                                                  "missing; expected the deployment of "
                                                  "event " +
                                                      std::to_string(entityId_) + " of service " +
                                                      service_.ToString()}
                   .Describe();
        return kFailure;
    }
    if (!event->serviceIdentifier.empty() && event->serviceIdentifier != service_.ToString()) {
        log.LogError(ARA_LOG_HERE) << "[EventAdapterBase][Event deployed for another service][entityId="
                                   << entityId_ << "] "
                                   << vrt::cm::deployment::ManifestError{path,
                                                                         eventPath + "/serviceIdentifier",
                                                                         "expected \"" + service_.ToString() +
                                                                             "\", found \"" +
                                                                             event->serviceIdentifier + "\""}
                                          .Describe();
        return kFailure;
    }
    for (const auto& [driver, transport] : event->transports) {
        EventInfo info;
        info.driver = driver;
        info.serviceId = event->serviceId;
        info.instanceId = event->instanceId;
        info.entityId = entityId_;
        info.vlan = transport.vlan;
        info.serviceName = event->serviceName;
        info.shortName = event->shortName;
        info.uuid = std::to_string(event->serviceId) + "-" + event->instanceId + "-" +
                    std::to_string(entityId_) + "-" + std::string(vrt::cm::type::ToString(driver));
        info.serialization = transport.serialization;
        info.network = transport.network;
        info.dds = transport.dds;
        table.emplace(driver, std::move(info));
    }
    return 0;
}

void EventAdapterBase::PrintEventTable(const EventInfoTable& table) const {
    for (const auto& [driver, info] : table) {
        log_->Get().LogDebug(ARA_LOG_HERE)
            << "[EventAdapterBase][Event table][driver=" << std::string(vrt::cm::type::ToString(driver))
            << ", serviceId=" << static_cast<unsigned int>(info.serviceId)
            << ", instanceId=" << info.instanceId << ", entityId=" << info.entityId << ", vlan=" << info.vlan
            << ", shortName=" << info.shortName
            << ", serializeType=" << (info.serialization ? info.serialization->serializeType : 0U) << "]";
    }
}

bool EventAdapterBase::InitializeEvent(const EventInfoTable& table,
                                       const vrt::cm::dds::RecordCodec* ddsCodec) {
    std::map<DriverType, std::unique_ptr<vrt::cm::EventTransportBinding>> publishers;
    for (const auto& [driver, info] : table) {
        const auto refuse = [this, &info = info](const char* what, const std::string& error) {
            log_->Get().LogError(ARA_LOG_HERE)
                << "[EventAdapterBase][" << what << "][shortName=" << info.shortName << "] " << error;
            return false;
        };
        if (driver == DriverType::SHM) {
            if (auto connected = vrt::cm::shm::ShmRuntime::Connect(); !connected.HasValue()) {
                return refuse("Shared-memory transport unavailable", connected.Error().message);
            }
            auto created = vrt::cm::shm::ShmEventPublisher::Create(
                vrt::cm::shm::ShmAddress::ForEvent(info.serviceId, info.instanceId, info.entityId));
            if (!created.HasValue()) {
                return refuse("Shared-memory publisher not created", created.Error().message);
            }
            publishers[driver] = std::move(created).Value();
        } else if (driver == DriverType::SOMEIP && info.network) {
            auto created = vrt::cm::someip::SomeipEventPublisher::Create(info.serviceId, *info.network);
            if (!created.HasValue()) {
                return refuse("SOME/IP publisher not created", created.Error().message);
            }
            publishers[driver] = std::move(created).Value();
        } else if (driver == DriverType::DDS && info.dds && ddsCodec != nullptr) {
            auto created = vrt::cm::dds::DdsEventPublisher::Create(*ddsCodec, *info.dds);
            if (!created.HasValue()) {
                return refuse("DDS publisher not created", created.Error().message);
            }
            publishers[driver] = std::move(created).Value();
        }
    }
    std::vector<DriverType> transports;
    for (const auto& entry : table) {
        transports.push_back(entry.first);
    }
    {
        std::lock_guard<std::mutex> lock(bindingMutex_);
        publishers_ = std::move(publishers);
        transports_ = std::move(transports);
    }
    // Not under the binding mutex: the handle calls OnOffer with its own mutex held. An offer racing with
    // this is harmless, offering twice does nothing.
    if (skeleton_ && skeleton_->IsOffered()) {
        OnOffer();
    }
    return true;
}

bool EventAdapterBase::IsEnableEventProloc(vrt::cm::proloc::ProlocEntityIndex& index) {
    EventInfoTable table;
    if (InitializeEventInfo(table) != 0) {
        return false;
    }
    const auto proloc = table.find(DriverType::PROLOC);
    if (proloc == table.end()) {
        return false;
    }
    index = IndexOf(proloc->second);
    return true;
}

std::pair<const std::uint8_t*, std::uint64_t> EventAdapterBase::BlockBytes(Mbuf* block) const {
    if (block == nullptr) {
        return {nullptr, 0U};
    }
    void* data = nullptr;
    std::uint64_t size = 0U;
    std::uint64_t length = 0U;
    const std::int32_t status = halMbufGetDataPtr(block, &data, &size);
    const std::int32_t lengthStatus = status == 0 ? halMbufGetDataLen(block, &length) : status;
    if (status != 0 || lengthStatus != 0 || length > size) {
        if (log_->LimitedEntry("EventAdapterBase_Block" + std::to_string(entityId_), 1000, 1)) {
            log_->Get().LogError(ARA_LOG_HERE)
                << "[EventAdapterBase][Shared-buffer block of a sample unreadable, sent without it][entityId="
                << entityId_ << ", status=" << (status != 0 ? status : lengthStatus) << "]";
        }
        return {nullptr, 0U};
    }
    return {static_cast<const std::uint8_t*>(data), length};
}

std::uint64_t EventAdapterBase::FailedBlockFrees() const noexcept {
    return static_cast<const EventDpAdapterHandler&>(*rawDataHandler_).Failures();
}

bool EventAdapterBase::HasRemoteSubscribers() const {
    std::lock_guard<std::mutex> lock(bindingMutex_);
    for (const auto& entry : publishers_) {
        if (entry.second->HasSubscribers()) {
            return true;
        }
    }
    return false;
}

vrt::cm::EventTransportPublisher* EventAdapterBase::Publisher(DriverType driver) const noexcept {
    // Set once by InitializeEvent before the event is sent on, so senders read it without the lock.
    if (driver != DriverType::SHM && driver != DriverType::SOMEIP) {
        return nullptr;
    }
    const auto it = publishers_.find(driver);
    return it == publishers_.end() ? nullptr
                                   : static_cast<vrt::cm::EventTransportPublisher*>(it->second.get());
}

vrt::cm::dds::DdsEventPublisher* EventAdapterBase::DdsPublisher() const noexcept {
    const auto it = publishers_.find(DriverType::DDS);
    return it == publishers_.end() ? nullptr
                                   : static_cast<vrt::cm::dds::DdsEventPublisher*>(it->second.get());
}

void EventAdapterBase::OnOffer() {
    std::lock_guard<std::mutex> lock(bindingMutex_);
    for (auto& entry : publishers_) {
        entry.second->Offer();
    }
}

void EventAdapterBase::OnStopOffer() {
    std::lock_guard<std::mutex> lock(bindingMutex_);
    for (auto& entry : publishers_) {
        entry.second->StopOffer();
    }
}

void EventAdapterBase::LogUnknownSerialization(const EventInfo& info) const {
    log_->Get().LogError(ARA_LOG_HERE)
        << "[EventAdapterBase][Unknown event serialization configuration][vlan=" << info.vlan
        << ", serviceName_=" << info.serviceName << ", instanceId=" << info.instanceId
        << ", shortName=" << info.shortName
        << ", driver=" << std::string(vrt::cm::type::ToString(info.driver)) << "]";
}

void EventAdapterBase::LogNoDdsType(const EventInfo& info) const {
    log_->Get().LogError(ARA_LOG_HERE)
        << "[EventAdapterBase][No DDS type for the event's record, DDS dropped]"
        << "[shortName=" << info.shortName << ", entityId=" << info.entityId << "]";
}

void EventAdapterBase::LogWrongSerialization(const EventInfo& info,
                                             const vrt::common::serialize::Result& result) const {
    log_->Get().LogError(ARA_LOG_HERE)
        << "[EventAdapterBase][Initialize event failed for wrong serialization configuration]"
        << "[shortName=" << info.shortName << ", driver=" << std::string(vrt::cm::type::ToString(info.driver))
        << ", code=" << static_cast<unsigned int>(result.GetCode()) << ", message=" << result.GetMessage()
        << ", elements=" << Join(result.GetErrorElements()) << ", details=" << Join(result.GetDetails())
        << "]";
}

void EventAdapterBase::LogCreateSuccess(const EventInfo& info) const {
    log_->Get().LogInfo(ARA_LOG_HERE) << "[EventAdapterBase][Create event success][UUID=" << info.uuid << "]";
}

void EventAdapterBase::LogEncodeFailure(DriverType driver,
                                        const vrt::common::serialize::Result& result) const {
    if (log_->LimitedEntry("EventAdapterBase_Encode" + std::to_string(entityId_), 1000, 1)) {
        log_->Get().LogError(ARA_LOG_HERE)
            << "[EventAdapterBase][Sample not encoded, dropped][entityId=" << entityId_
            << ", driver=" << std::string(vrt::cm::type::ToString(driver))
            << ", code=" << static_cast<unsigned int>(result.GetCode()) << ", message=" << result.GetMessage()
            << ", elements=" << Join(result.GetErrorElements()) << "]";
    }
}

vrt::cm::proloc::ProlocEntityIndex EventAdapterBase::IndexOf(const EventInfo& info) {
    vrt::cm::proloc::ProlocEntityIndex index;
    index.serviceId = info.serviceId;
    index.instanceId = info.instanceId;
    index.entityId = info.entityId;
    index.vlan = info.vlan;
    return index;
}

}  // namespace ara::com::internal::skeleton::event
