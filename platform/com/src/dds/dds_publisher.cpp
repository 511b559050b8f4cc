#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "dds_runtime.h"
#include "vrt/cm/dds/dds_transport.h"

namespace vrt::cm::dds {

namespace {

// One topic of the event and its writer while offered.
struct WriterTopic {
    int camera{-1};
    std::string name;
    std::string frameId;
    std::array<char, 8> format{};  // the last format a record of this topic showed; empty: none yet
    EntityHandle topic;
    EntityHandle writer;
    std::atomic<std::int32_t> matched{0};
    DdsCounters* counters{nullptr};
};

void OnPublicationMatched(dds_entity_t /*writer*/, const dds_publication_matched_status_t status,
                          void* context) {
    auto& topic = *static_cast<WriterTopic*>(context);
    topic.matched.fetch_add(status.current_count_change, std::memory_order_relaxed);
    if (status.current_count_change < 0) {
        topic.counters->readersLost.fetch_add(static_cast<std::uint64_t>(-status.current_count_change),
                                              std::memory_order_relaxed);
    }
}

// A sample of the codec's C type, zeroed, suitably aligned for it.
struct SampleBuffer {
    explicit SampleBuffer(std::size_t size)
        : words((size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t)) {}
    void* Clear() {
        std::memset(words.data(), 0, words.size() * sizeof(std::max_align_t));
        return words.data();
    }
    std::vector<std::max_align_t> words;
};

}  // namespace

struct DdsEventPublisher::Impl {
    Impl(const RecordCodec& recordCodec, DdsDeployment settings, std::shared_ptr<DomainParticipant> domain)
        : codec(recordCodec),
          deployment(std::move(settings)),
          participant(std::move(domain)),
          sample(codec.descriptor->m_size) {}
    ~Impl() {
        participant->Unwatch(&counters);
        // Writers and topics go before the participant they belong to (members are destroyed afterwards).
        topics.clear();
    }

    void Refuse(const char* what, std::atomic<std::uint64_t>& count, int camera) {
        count.fetch_add(1U, std::memory_order_relaxed);
        if (DdsLog().LimitedEntry("DdsEventPublisher_" + topics.front()->name, 1000, 1)) {
            DdsLog().Get().LogWarn(ARA_LOG_HERE)
                << "[DdsEventPublisher][" << what << "][topic=" << topics.front()->name
                << ", camera=" << camera << "] " << counters.Describe();
        }
    }

    const RecordCodec& codec;
    DdsDeployment deployment;
    std::shared_ptr<DomainParticipant> participant;
    std::vector<std::unique_ptr<WriterTopic>> topics;
    QosPtr qos;
    DdsCounters counters;
    mutable std::mutex mutex;  // the writers and the sample buffer
    bool offered{false};
    SampleBuffer sample;
};

TransportResult<std::unique_ptr<DdsEventPublisher>> DdsEventPublisher::Create(
    const RecordCodec& codec, const DdsDeployment& deployment) {
    using R = TransportResult<std::unique_ptr<DdsEventPublisher>>;
    auto participant = DomainParticipant::Acquire(deployment);
    if (!participant.HasValue()) {
        return R::FromError(participant.Error());
    }
    auto impl = std::make_unique<Impl>(codec, deployment, std::move(participant).Value());
    // Per camera, topic i carries the records of camera index i.
    std::vector<int> cameras;
    if (!codec.perCamera) {
        cameras.push_back(-1);
    } else if (codec.cameraOf == nullptr) {
        cameras.push_back(deployment.cameras.front());
    } else {
        cameras.assign(deployment.cameras.begin(), deployment.cameras.end());
    }
    for (const int camera : cameras) {
        auto topic = std::make_unique<WriterTopic>();
        topic->camera = camera;
        topic->name = TopicName(deployment, codec.recordTopic, camera);
        topic->frameId = camera >= 0 ? "cam_" + std::to_string(camera) : std::string();
        topic->counters = &impl->counters;
        topic->topic.Reset(dds_create_topic(impl->participant->Handle(), codec.descriptor,
                                            topic->name.c_str(), nullptr, nullptr));
        if (!topic->topic.Valid()) {
            return R::FromError(TransportError{TransportErrorCode::kBadConfiguration,
                                               "DDS topic \"" + topic->name + "\" of type " + codec.typeName +
                                                   " cannot be made (" + dds_strretcode(topic->topic.Get()) +
                                                   ")"});
        }
        impl->participant->Watch(topic->name, codec.typeName, &impl->counters);
        impl->topics.push_back(std::move(topic));
    }
    impl->qos = EndpointQos(deployment, true);
    return R::FromValue(std::unique_ptr<DdsEventPublisher>(new DdsEventPublisher(std::move(impl))));
}

DdsEventPublisher::DdsEventPublisher(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DdsEventPublisher::~DdsEventPublisher() {
    StopOffer();
}

void DdsEventPublisher::Offer() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (impl_->offered) {
        return;
    }
    for (auto& topic : impl_->topics) {
        ListenerPtr listener(dds_create_listener(topic.get()));
        dds_lset_publication_matched(listener.get(), &OnPublicationMatched);
        topic->writer.Reset(dds_create_writer(impl_->participant->Handle(), topic->topic.Get(),
                                              impl_->qos.get(), listener.get()));
        if (!topic->writer.Valid()) {
            DdsLog().Get().LogError(ARA_LOG_HERE)
                << "[DdsEventPublisher][Writer not created][topic=" << topic->name << "] "
                << dds_strretcode(topic->writer.Get());
            topic->writer.Release();
        }
    }
    impl_->offered = true;
}

void DdsEventPublisher::StopOffer() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    for (auto& topic : impl_->topics) {
        topic->writer.Reset();
        topic->matched.store(0, std::memory_order_relaxed);
    }
    impl_->offered = false;
}

bool DdsEventPublisher::IsOffered() const noexcept {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->offered;
}

bool DdsEventPublisher::HasSubscribers() const noexcept {
    for (const auto& topic : impl_->topics) {
        if (topic->matched.load(std::memory_order_relaxed) > 0) {
            return true;
        }
    }
    return false;
}

std::size_t DdsEventPublisher::TopicsWithReaders() const noexcept {
    std::size_t count = 0;
    for (const auto& topic : impl_->topics) {
        count += topic->matched.load(std::memory_order_relaxed) > 0 ? 1U : 0U;
    }
    return count;
}

SendStatus DdsEventPublisher::Write(const void* record) noexcept {
    Impl& impl = *impl_;
    const RecordCodec& codec = impl.codec;
    std::lock_guard<std::mutex> lock(impl.mutex);
    if (!impl.offered) {
        return SendStatus::kNotOffered;
    }
    int camera = -1;
    WriterTopic* topic = impl.topics.front().get();
    if (codec.perCamera && codec.cameraOf != nullptr) {
        camera = codec.cameraOf(record);
        if (camera < 0 || static_cast<std::size_t>(camera) >= impl.topics.size()) {
            impl.Refuse("Record of a camera without a topic, dropped", impl.counters.unknownCamera, camera);
            return SendStatus::kWriteFailed;
        }
        topic = impl.topics[static_cast<std::size_t>(camera)].get();
    }
    if (codec.detectFormat != nullptr) {
        if (const char* format = codec.detectFormat(record); format != nullptr) {
            std::strncpy(topic->format.data(), format, topic->format.size() - 1U);
        }
        if (topic->format[0] == '\0') {
            impl.Refuse("Video before the camera's first key frame, dropped", impl.counters.noFormat, camera);
            return SendStatus::kWriteFailed;
        }
    }
    if (!topic->writer.Valid()) {
        impl.Refuse("No writer, dropped", impl.counters.writeFailures, camera);
        return SendStatus::kWriteFailed;
    }
    if (topic->matched.load(std::memory_order_relaxed) <= 0) {
        return SendStatus::kSent;  // nobody reads: Cyclone would serialize for nothing
    }
    void* sample = impl.sample.Clear();
    if (!codec.toSample(record, TopicFields{topic->frameId.c_str(), topic->format.data()}, sample)) {
        impl.Refuse("Record not expressible as a sample, dropped", impl.counters.badRecord, camera);
        return SendStatus::kWriteFailed;
    }
    const dds_return_t written = dds_write(topic->writer.Get(), sample);
    if (written == DDS_RETCODE_TIMEOUT) {
        impl.Refuse("Reliable reader too slow, sample dropped after maxBlockingMs",
                    impl.counters.writeTimeouts, camera);
        return SendStatus::kWriteFailed;
    }
    if (written < 0) {
        impl.Refuse("Write refused, dropped", impl.counters.writeFailures, camera);
        return SendStatus::kWriteFailed;
    }
    return SendStatus::kSent;
}

const DdsCounters& DdsEventPublisher::Counters() const noexcept {
    return impl_->counters;
}

std::vector<std::string> DdsEventPublisher::TopicNames() const {
    return TopicNamesOf(impl_->topics);
}

}  // namespace vrt::cm::dds
