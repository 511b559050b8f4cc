#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vrt/cm/dds/dds_deployment.h"
#include "vrt/cm/dds/dds_record_codec.h"
#include "vrt/cm/transport/event_transport.h"
#include "vrt/cm/transport_error.h"

// The DDS binding on Eclipse Cyclone DDS: an event's records become samples of an IDL type (a ROS 2 message
// for the image event), written by Cyclone in XCDR1 on ROS 2 topic names, so that any DDS or ROS 2 node
// reads them without a bridge. One Cyclone domain and participant per domain id and process, shared by the
// events deployed on it.
namespace vrt::cm::dds {

// What one event's binding dropped or saw go wrong, by reason. Written by the sending thread, Cyclone's
// threads and the taking thread; read from anywhere.
struct DdsCounters {
    // Sending side.
    std::atomic<std::uint64_t> noFormat{0};       // video record before the camera's first key frame
    std::atomic<std::uint64_t> unknownCamera{0};  // record of a camera the deployment gives no topic
    std::atomic<std::uint64_t> badRecord{0};      // record the sample type cannot express
    std::atomic<std::uint64_t> writeTimeouts{0};  // reliable reader too slow: the send gave up in time
    std::atomic<std::uint64_t> writeFailures{0};  // any other refusal of Cyclone's write
    std::atomic<std::uint64_t> readersLost{0};    // matched readers that went away
    // Receiving side.
    std::atomic<std::uint64_t> queueOverflow{0};  // samples pushed out of the full queue, oldest first
    std::atomic<std::uint64_t> sampleLost{0};     // samples Cyclone saw lost on the way (best effort)
    std::atomic<std::uint64_t> malformed{0};      // samples Cyclone could not deserialize, never delivered
    std::atomic<std::uint64_t> badSample{0};      // delivered samples the record cannot come from
    std::atomic<std::uint64_t> writersLost{0};    // matched writers that went away
    // Both sides: endpoints of another participant on one of the event's topic names with another type.
    std::atomic<std::uint64_t> foreignType{0};

    // "name=count" for every count above zero, space-separated; empty when all are zero.
    std::string Describe() const;
};

class DomainParticipant;
struct TopicWatch;

// One event's writers: one per camera topic (or one topic for records without a camera), created when the
// event is offered and deleted when the offer stops. Thread-safe; a send waits for a reader at most the
// deployment's maxBlockingMs (reliable) and never otherwise.
class DdsEventPublisher : public EventTransportBinding {
  public:
    static TransportResult<std::unique_ptr<DdsEventPublisher>> Create(const RecordCodec& codec,
                                                                      const DdsDeployment& deployment);
    ~DdsEventPublisher() override;
    DdsEventPublisher(const DdsEventPublisher&) = delete;
    DdsEventPublisher& operator=(const DdsEventPublisher&) = delete;

    void Offer() override;
    void StopOffer() override;
    bool IsOffered() const noexcept override;
    // True while a reader matches any of the event's topics.
    bool HasSubscribers() const noexcept override;
    // How many of the event's topics a reader matches.
    std::size_t TopicsWithReaders() const noexcept;

    // Writes `record` (of the codec's record type) on its camera's topic; Cyclone serializes it. Failures
    // are counted and logged (rate-limited).
    SendStatus Write(const void* record) noexcept;

    const DdsCounters& Counters() const noexcept;
    // The topic names, in the deployment's camera order.
    std::vector<std::string> TopicNames() const;

  private:
    struct Impl;
    explicit DdsEventPublisher(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// One event's readers, one per topic, feeding a queue of at most `queueCapacity` samples in arrival order;
// when it is full the oldest is dropped and counted, so that a slow taker never holds up Cyclone or the
// publisher. One thread takes and waits.
//
// Take (the transport interface) hands a sample's serialized form as it came off the wire: the 4-byte
// encapsulation header (XCDR1 little-endian: 00 01, then options whose low two bits count the padding bytes
// that end the sample) and the XCDR1 body. TakeRecord hands it decoded
// into a record by the codec.
class DdsEventReceiver : public EventTransportReceiver {
  public:
    using EventTransportReceiver::Take;

    static TransportResult<std::unique_ptr<DdsEventReceiver>> Create(const RecordCodec& codec,
                                                                     const DdsDeployment& deployment,
                                                                     std::uint64_t queueCapacity);
    ~DdsEventReceiver() override;
    DdsEventReceiver(const DdsEventReceiver&) = delete;
    DdsEventReceiver& operator=(const DdsEventReceiver&) = delete;

    bool Take(ReadFunction read, void* context) override;
    bool WaitForData(std::chrono::nanoseconds timeout) override;
    // True while a writer matches any of the event's topics.
    bool IsConnected() const noexcept override;
    // Samples dropped from the full queue plus those Cyclone reported lost.
    std::uint64_t MissedSamples() const noexcept override;

    // Decodes the oldest queued sample into `record` (of the codec's record type). Returns false when none is
    // queued; `decoded` says whether it decoded (a sample that does not is counted as badSample). `header`
    // gets the arrival sequence (advanced past lost samples) and the send time; `block` the bytes of the
    // record's shared-buffer block, if it has one (valid until the next take).
    bool TakeRecord(void* record, bool& decoded, SampleHeader* header, BlockBytes* block = nullptr);

    const DdsCounters& Counters() const noexcept;
    std::vector<std::string> TopicNames() const;

  private:
    struct Impl;
    explicit DdsEventReceiver(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace vrt::cm::dds
