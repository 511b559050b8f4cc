#include "dds_runtime.h"

#include <time.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string_view>
#include <utility>
#include <vector>

namespace vrt::cm::dds {

namespace {

struct WatchEntry {
    std::uint32_t domainId;
    std::string topic;
    std::string typeName;
    DdsCounters* counters;
};

// What the log sink and the discovery listeners share with the participants: the watched topics, and the
// participants by domain id.
struct Registry {
    std::mutex mutex;  // the watches; taken on Cyclone's threads, so never held across a Cyclone call
    std::vector<WatchEntry> watches;
    std::mutex acquireMutex;  // the participants; held while one is made
    std::map<std::uint32_t, std::weak_ptr<DomainParticipant>> participants;
};

Registry& TheRegistry() {
    static Registry* const registry = new Registry();  // outlives Cyclone's threads at exit
    return *registry;
}

// "data(application, vendor …): … #n: deserialization <topic>/<type> failed (…)": Cyclone dropped a sample
// it could not read. The topic is everything before the type name's slash (type names have none).
std::string_view MalformedSampleTopic(std::string_view message) {
    constexpr std::string_view kStart = "deserialization ";
    constexpr std::string_view kEnd = " failed";
    const auto start = message.find(kStart);
    if (start == std::string_view::npos) {
        return {};
    }
    const auto end = message.find(kEnd, start + kStart.size());
    if (end == std::string_view::npos) {
        return {};
    }
    const std::string_view topicAndType = message.substr(start + kStart.size(), end - start - kStart.size());
    const auto slash = topicAndType.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : topicAndType.substr(0, slash);
}

void LogSink(void* /*context*/, const dds_log_data_t* data) {
    std::string_view message(data->message, data->size);
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.remove_suffix(1);
    }
    const std::string_view topic = MalformedSampleTopic(message);
    if (!topic.empty()) {
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        // The message names no domain (its domid is not the DDS domain id): every watch of the topic counts.
        for (const WatchEntry& watch : registry.watches) {
            if (watch.topic == topic) {
                watch.counters->malformed.fetch_add(1U, std::memory_order_relaxed);
            }
        }
    }
    utils::CmLogger& log = DdsLog();
    if ((data->priority & (DDS_LC_FATAL | DDS_LC_ERROR | DDS_LC_WARNING)) != 0U &&
        log.LimitedEntry("DdsCyclone", 1000, 5)) {
        log.Get().LogWarn(ARA_LOG_HERE) << "[DdsBinding][Cyclone DDS] " << std::string(message);
    }
}

void InstallLogSink() {
    static std::once_flag once;
    std::call_once(once, [] { dds_set_log_sink(&LogSink, nullptr); });
}

std::string ReadFile(const std::string& path, bool& ok) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    ok = static_cast<bool>(in) || in.eof();
    return text.str();
}

}  // namespace

utils::CmLogger& DdsLog() {
    // Kept to the very end: Cyclone's threads may log while the process's statics are destroyed.
    static const auto* const logger =
        new std::shared_ptr<utils::CmLogger>(utils::LogInitializer::GetLogger());
    return **logger;
}

std::int64_t MonotonicOfRealtime(dds_time_t realtime) noexcept {
    timespec monotonic{};
    timespec real{};
    ::clock_gettime(CLOCK_MONOTONIC, &monotonic);
    ::clock_gettime(CLOCK_REALTIME, &real);
    const std::int64_t offset = (static_cast<std::int64_t>(real.tv_sec) - monotonic.tv_sec) * 1000000000LL +
                                (real.tv_nsec - monotonic.tv_nsec);
    return realtime - offset;
}

QosPtr EndpointQos(const DdsDeployment& deployment, bool writer) {
    QosPtr qos(dds_create_qos());
    const bool reliable = deployment.qos == QosProfile::kReliable;
    dds_qset_reliability(qos.get(), reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT,
                         DDS_MSECS(static_cast<std::int64_t>(deployment.maxBlockingMs)));
    dds_qset_durability(qos.get(), DDS_DURABILITY_VOLATILE);
    dds_qset_history(qos.get(), DDS_HISTORY_KEEP_LAST, static_cast<std::int32_t>(deployment.HistoryDepth()));
    if (writer) {
        // ROS 2's DDS layers write plain CDR (XCDR1); a reader takes either.
        dds_data_representation_id_t representation = DDS_DATA_REPRESENTATION_XCDR1;
        dds_qset_data_representation(qos.get(), 1, &representation);
    }
    return qos;
}

TransportResult<std::shared_ptr<DomainParticipant>> DomainParticipant::Acquire(
    const DdsDeployment& deployment) {
    using R = TransportResult<std::shared_ptr<DomainParticipant>>;
    InstallLogSink();
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.acquireMutex);
    const std::string domain = "DDS domain " + std::to_string(deployment.domainId);
    if (auto known = registry.participants.find(deployment.domainId); known != registry.participants.end()) {
        if (auto participant = known->second.lock()) {
            if (!participant->deployment_.SameDomain(deployment)) {
                return R::FromError(TransportError{TransportErrorCode::kBadConfiguration,
                                                   domain +
                                                       " already runs in this process with configuration \"" +
                                                       participant->deployment_.configFile +
                                                       "\"; expected every event on it to name the same "
                                                       "configuration, found \"" +
                                                       deployment.configFile + "\""});
            }
            return R::FromValue(std::move(participant));
        }
    }
    EntityHandle domainHandle;
    if (!deployment.configFile.empty()) {
        bool read = false;
        const std::string xml = ReadFile(deployment.configFile, read);
        if (!read || xml.empty()) {
            return R::FromError(
                TransportError{TransportErrorCode::kBadConfiguration,
                               "DDS network key config: " + deployment.configFile +
                                   ": cannot be read; expected a Cyclone DDS XML configuration"});
        }
        const dds_entity_t made = dds_create_domain(deployment.domainId, xml.c_str());
        if (made < 0) {
            return R::FromError(TransportError{
                TransportErrorCode::kBadConfiguration,
                "DDS network key config: " + deployment.configFile +
                    ": Cyclone DDS refuses it as the configuration of " + domain + " (" +
                    dds_strretcode(made) +
                    "; its reason is logged just before); expected a valid <CycloneDDS> XML document"});
        }
        domainHandle.Reset(made);
    }
    const dds_entity_t made = dds_create_participant(deployment.domainId, nullptr, nullptr);
    if (made < 0) {
        return R::FromError(
            TransportError{TransportErrorCode::kBadConfiguration,
                           "no participant in " + domain + " (" + dds_strretcode(made) + ")" +
                               (deployment.configFile.empty() ? std::string("; check CYCLONEDDS_URI")
                                                              : "; check " + deployment.configFile)});
    }
    std::shared_ptr<DomainParticipant> participant(
        new DomainParticipant(deployment, std::move(domainHandle), EntityHandle(made)));
    if (!participant->StartDiscoveryWatch()) {
        return R::FromError(TransportError{TransportErrorCode::kResources,
                                           "the discovery readers of " + domain + " cannot be made"});
    }
    registry.participants[deployment.domainId] = participant;
    return R::FromValue(std::move(participant));
}

DomainParticipant::DomainParticipant(DdsDeployment deployment, EntityHandle domain, EntityHandle participant)
    : deployment_(std::move(deployment)), domain_(std::move(domain)), participant_(std::move(participant)) {}

DomainParticipant::~DomainParticipant() {
    // Readers first: deleting one waits for its listener to return, which uses this object.
    publications_.Reset();
    subscriptions_.Reset();
    participant_.Reset();
    domain_.Reset();
}

bool DomainParticipant::StartDiscoveryWatch() {
    ListenerPtr listener(dds_create_listener(this));
    dds_lset_data_available(listener.get(), &DomainParticipant::OnEndpoint);
    publications_.Reset(
        dds_create_reader(participant_.Get(), DDS_BUILTIN_TOPIC_DCPSPUBLICATION, nullptr, listener.get()));
    subscriptions_.Reset(
        dds_create_reader(participant_.Get(), DDS_BUILTIN_TOPIC_DCPSSUBSCRIPTION, nullptr, listener.get()));
    return publications_.Valid() && subscriptions_.Valid();
}

void DomainParticipant::OnEndpoint(dds_entity_t reader, void* self) {
    auto& participant = *static_cast<DomainParticipant*>(self);
    constexpr std::size_t kBatch = 16;
    void* samples[kBatch] = {};
    dds_sample_info_t infos[kBatch];
    while (true) {
        const dds_return_t taken = dds_take(reader, samples, infos, kBatch, kBatch);
        if (taken <= 0) {
            return;
        }
        {
            Registry& registry = TheRegistry();
            std::lock_guard<std::mutex> lock(registry.mutex);
            for (dds_return_t i = 0; i < taken; ++i) {
                if (!infos[i].valid_data || infos[i].instance_state != DDS_IST_ALIVE) {
                    continue;
                }
                const auto* endpoint = static_cast<const dds_builtintopic_endpoint_t*>(samples[i]);
                if (endpoint->topic_name == nullptr || endpoint->type_name == nullptr) {
                    continue;
                }
                for (const WatchEntry& watch : registry.watches) {
                    if (watch.domainId != participant.DomainId() || watch.topic != endpoint->topic_name ||
                        watch.typeName == endpoint->type_name) {
                        continue;
                    }
                    watch.counters->foreignType.fetch_add(1U, std::memory_order_relaxed);
                    if (DdsLog().LimitedEntry("DdsForeignType", 1000, 1)) {
                        DdsLog().Get().LogWarn(ARA_LOG_HERE)
                            << "[DdsBinding][Topic used with another type, not matched][topic=" << watch.topic
                            << ", type=" << endpoint->type_name << ", expected=" << watch.typeName << "]";
                    }
                }
            }
        }
        (void)dds_return_loan(reader, samples, taken);
    }
}

void DomainParticipant::Watch(const std::string& topic, const std::string& typeName, DdsCounters* counters) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.watches.push_back(WatchEntry{DomainId(), topic, typeName, counters});
}

void DomainParticipant::Unwatch(const DdsCounters* counters) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto& watches = registry.watches;
    for (auto it = watches.begin(); it != watches.end();) {
        it = it->counters == counters ? watches.erase(it) : it + 1;
    }
}

std::string DdsCounters::Describe() const {
    const std::pair<const char*, const std::atomic<std::uint64_t>*> counts[] = {
        {"noFormat", &noFormat},           {"unknownCamera", &unknownCamera}, {"badRecord", &badRecord},
        {"writeTimeouts", &writeTimeouts}, {"writeFailures", &writeFailures}, {"readersLost", &readersLost},
        {"queueOverflow", &queueOverflow}, {"sampleLost", &sampleLost},       {"malformed", &malformed},
        {"badSample", &badSample},         {"writersLost", &writersLost},     {"foreignType", &foreignType}};
    std::string text;
    for (const auto& [name, count] : counts) {
        const std::uint64_t value = count->load(std::memory_order_relaxed);
        if (value != 0U) {
            text += text.empty() ? "" : " ";
            text += std::string(name) + "=" + std::to_string(value);
        }
    }
    return text;
}

}  // namespace vrt::cm::dds
