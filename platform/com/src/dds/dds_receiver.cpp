#include <dds/ddsi/ddsi_serdata.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

#include "dds_runtime.h"
#include "vrt/cm/dds/dds_transport.h"

namespace vrt::cm::dds {

namespace {

struct QueuedSample {
    ddsi_serdata* data{nullptr};  // one reference, held while queued
    int camera{-1};
    std::uint64_t sequence{0};
    dds_time_t sourceTime{0};
};

}  // namespace

struct DdsEventReceiver::Impl {
    // One topic of the event and its reader.
    struct ReaderTopic {
        Impl* owner{nullptr};
        int camera{-1};
        std::string name;
        EntityHandle topic;
        EntityHandle reader;
    };

    Impl(const RecordCodec& recordCodec, DdsDeployment settings, std::shared_ptr<DomainParticipant> domain,
         std::uint64_t capacity)
        : codec(recordCodec),
          deployment(std::move(settings)),
          participant(std::move(domain)),
          queue(capacity == 0U ? 1U : capacity) {}

    ~Impl() {
        participant->Unwatch(&counters);
        topics.clear();  // waits for the listeners, which use this object
        for (std::size_t i = 0; i < count; ++i) {
            ddsi_serdata_unref(queue[(head + i) % queue.size()].data);
        }
        if (sample != nullptr) {
            dds_sample_free(sample, codec.descriptor, DDS_FREE_ALL);
        }
    }

    // On Cyclone's receiving thread: moves the reader's samples into the queue, pushing out the oldest.
    void Drain(ReaderTopic& topic) {
        while (true) {
            ddsi_serdata* data = nullptr;
            dds_sample_info_t info;
            if (dds_takecdr(topic.reader.Get(), &data, 1, &info, DDS_ANY_STATE) <= 0) {
                return;
            }
            if (!info.valid_data) {
                ddsi_serdata_unref(data);  // a writer's unregistration or disposal: no sample
                continue;
            }
            ddsi_serdata* dropped = nullptr;
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (count == queue.size()) {
                    dropped = queue[head].data;
                    head = (head + 1U) % queue.size();
                    --count;
                    counters.queueOverflow.fetch_add(1U, std::memory_order_relaxed);
                }
                queue[(head + count) % queue.size()] =
                    QueuedSample{data, topic.camera, arrivals++, info.source_timestamp};
                ++count;
            }
            if (dropped != nullptr) {
                ddsi_serdata_unref(dropped);
            }
            ready.notify_one();
        }
    }

    // Takes the oldest queued sample; false when none is queued.
    bool Pop(QueuedSample& out) {
        std::lock_guard<std::mutex> lock(mutex);
        if (count == 0U) {
            return false;
        }
        out = queue[head];
        head = (head + 1U) % queue.size();
        --count;
        return true;
    }

    SampleHeader HeaderOf(const QueuedSample& queued) const {
        SampleHeader header;
        header.sequence = queued.sequence;
        header.sendTimeNs = MonotonicOfRealtime(queued.sourceTime);
        return header;
    }

    static void OnDataAvailable(dds_entity_t /*reader*/, void* context) {
        auto& topic = *static_cast<ReaderTopic*>(context);
        topic.owner->Drain(topic);
    }

    static void OnSubscriptionMatched(dds_entity_t /*reader*/, const dds_subscription_matched_status_t status,
                                      void* context) {
        auto& owner = *static_cast<ReaderTopic*>(context)->owner;
        owner.matched.fetch_add(status.current_count_change, std::memory_order_relaxed);
        if (status.current_count_change < 0) {
            owner.counters.writersLost.fetch_add(static_cast<std::uint64_t>(-status.current_count_change),
                                                 std::memory_order_relaxed);
        }
    }

    static void OnSampleLost(dds_entity_t /*reader*/, const dds_sample_lost_status_t status, void* context) {
        auto& owner = *static_cast<ReaderTopic*>(context)->owner;
        if (status.total_count_change <= 0) {
            return;
        }
        const auto lost = static_cast<std::uint64_t>(status.total_count_change);
        owner.counters.sampleLost.fetch_add(lost, std::memory_order_relaxed);
        std::lock_guard<std::mutex> lock(owner.mutex);
        owner.arrivals += lost;
    }

    const RecordCodec& codec;
    DdsDeployment deployment;
    std::shared_ptr<DomainParticipant> participant;
    std::vector<std::unique_ptr<ReaderTopic>> topics;
    DdsCounters counters;
    std::atomic<std::int32_t> matched{0};

    std::mutex mutex;  // the queue and the arrival count
    std::condition_variable ready;
    std::vector<QueuedSample> queue;
    std::size_t head{0};
    std::size_t count{0};
    std::uint64_t arrivals{0};  // the next sample's sequence: advanced by every arrival and every loss

    void* sample{nullptr};  // the decoding thread's sample, its buffers reused from one take to the next
};

TransportResult<std::unique_ptr<DdsEventReceiver>> DdsEventReceiver::Create(const RecordCodec& codec,
                                                                            const DdsDeployment& deployment,
                                                                            std::uint64_t queueCapacity) {
    using R = TransportResult<std::unique_ptr<DdsEventReceiver>>;
    auto participant = DomainParticipant::Acquire(deployment);
    if (!participant.HasValue()) {
        return R::FromError(participant.Error());
    }
    auto impl = std::make_unique<Impl>(codec, deployment, std::move(participant).Value(), queueCapacity);
    impl->sample = dds_alloc(codec.descriptor->m_size);
    std::vector<int> cameras;
    if (!codec.perCamera) {
        cameras.push_back(-1);
    } else if (codec.cameraOf == nullptr) {
        cameras.push_back(deployment.cameras.front());
    } else {
        cameras.assign(deployment.cameras.begin(), deployment.cameras.end());
    }
    const QosPtr qos = EndpointQos(deployment, false);
    for (const int camera : cameras) {
        auto topic = std::make_unique<Impl::ReaderTopic>();
        topic->owner = impl.get();
        topic->camera = camera < 0 ? -1 : static_cast<int>(impl->topics.size());  // the records' camera index
        topic->name = TopicName(deployment, codec.recordTopic, camera);
        topic->topic.Reset(dds_create_topic(impl->participant->Handle(), codec.descriptor,
                                            topic->name.c_str(), nullptr, nullptr));
        if (!topic->topic.Valid()) {
            return R::FromError(TransportError{TransportErrorCode::kBadConfiguration,
                                               "DDS topic \"" + topic->name + "\" of type " + codec.typeName +
                                                   " cannot be made (" + dds_strretcode(topic->topic.Get()) +
                                                   ")"});
        }
        impl->participant->Watch(topic->name, codec.typeName, &impl->counters);
        ListenerPtr listener(dds_create_listener(topic.get()));
        dds_lset_data_available(listener.get(), &Impl::OnDataAvailable);
        dds_lset_subscription_matched(listener.get(), &Impl::OnSubscriptionMatched);
        dds_lset_sample_lost(listener.get(), &Impl::OnSampleLost);
        Impl::ReaderTopic* raw = topic.get();
        impl->topics.push_back(std::move(topic));
        raw->reader.Reset(
            dds_create_reader(impl->participant->Handle(), raw->topic.Get(), qos.get(), listener.get()));
        if (!raw->reader.Valid()) {
            return R::FromError(TransportError{TransportErrorCode::kResources,
                                               "DDS reader of \"" + raw->name + "\" cannot be made (" +
                                                   dds_strretcode(raw->reader.Get()) + ")"});
        }
    }
    return R::FromValue(std::unique_ptr<DdsEventReceiver>(new DdsEventReceiver(std::move(impl))));
}

DdsEventReceiver::DdsEventReceiver(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

DdsEventReceiver::~DdsEventReceiver() = default;

bool DdsEventReceiver::Take(ReadFunction read, void* context) {
    QueuedSample queued;
    if (!impl_->Pop(queued)) {
        return false;
    }
    const std::size_t size = ddsi_serdata_size(queued.data);
    ddsrt_iovec_t bytes{};
    ddsi_serdata* referenced = ddsi_serdata_to_ser_ref(queued.data, 0, size, &bytes);
    read(context, static_cast<const std::uint8_t*>(bytes.iov_base), bytes.iov_len, impl_->HeaderOf(queued));
    ddsi_serdata_to_ser_unref(referenced, &bytes);
    ddsi_serdata_unref(queued.data);
    return true;
}

bool DdsEventReceiver::TakeRecord(void* record, bool& decoded, SampleHeader* header, BlockBytes* block) {
    QueuedSample queued;
    if (!impl_->Pop(queued)) {
        return false;
    }
    BlockBytes bytes;
    decoded = ddsi_serdata_to_sample(queued.data, impl_->sample, nullptr, nullptr) &&
              impl_->codec.fromSample(impl_->sample, queued.camera, record, &bytes);
    if (block != nullptr) {
        *block = decoded ? bytes : BlockBytes{};
    }
    if (!decoded) {
        impl_->counters.badSample.fetch_add(1U, std::memory_order_relaxed);
        if (DdsLog().LimitedEntry("DdsEventReceiver_" + impl_->topics.front()->name, 1000, 1)) {
            DdsLog().Get().LogWarn(ARA_LOG_HERE)
                << "[DdsEventReceiver][Sample not a record of the event, dropped][camera=" << queued.camera
                << "] " << impl_->counters.Describe();
        }
    }
    if (header != nullptr) {
        *header = impl_->HeaderOf(queued);
    }
    ddsi_serdata_unref(queued.data);
    return true;
}

bool DdsEventReceiver::WaitForData(std::chrono::nanoseconds timeout) {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->ready.wait_for(lock, timeout, [this] { return impl_->count > 0U; });
}

bool DdsEventReceiver::IsConnected() const noexcept {
    return impl_->matched.load(std::memory_order_relaxed) > 0;
}

std::uint64_t DdsEventReceiver::MissedSamples() const noexcept {
    return impl_->counters.queueOverflow.load(std::memory_order_relaxed) +
           impl_->counters.sampleLost.load(std::memory_order_relaxed);
}

const DdsCounters& DdsEventReceiver::Counters() const noexcept {
    return impl_->counters;
}

std::vector<std::string> DdsEventReceiver::TopicNames() const {
    return TopicNamesOf(impl_->topics);
}

}  // namespace vrt::cm::dds
