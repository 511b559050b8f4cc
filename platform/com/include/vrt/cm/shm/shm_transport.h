#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

#include "ara/core/result.h"

// The shared-memory transport on Eclipse iceoryx. The iceoryx types stay inside the implementation, so that
// this header can be included by generated and application code.
namespace vrt::cm::shm {

// Where an event's samples meet in RouDi: the service id and entity id in decimal, the instance id as is.
struct ShmAddress {
    std::string service;
    std::string instance;
    std::string event;

    static ShmAddress ForEvent(std::uint16_t serviceId, const std::string& instanceId,
                               std::uint32_t entityId);
    std::string ToString() const;  // "service/instance/event"
};

// Travels in each chunk's user header, ahead of the serialized payload.
struct SampleHeader {
    std::uint64_t sequence{0};   // per publisher, from 0; a gap is a sample the subscriber lost
    std::int64_t sendTimeNs{0};  // CLOCK_MONOTONIC when the sample was handed to the transport
};

// This process's connection to RouDi, made once. Refuses to start when no RouDi runs (iceoryx itself would
// wait for one), and learns RouDi's mempools so that oversized loans are refused before iceoryx aborts.
class ShmRuntime {
  public:
    // Connects on the first call; every call returns the first call's outcome. Thread-safe.
    static ara::core::Result<void, std::string> Connect();
    // The largest user payload a chunk with a SampleHeader can carry; 0 before a successful Connect.
    static std::uint64_t LargestPayload() noexcept;
    // Whether a RouDi runs on this machine right now (it holds its lock and its socket exists); for
    // processes that want to tell "RouDi is gone" from "nobody publishes". Thread-safe.
    static bool RouDiRunning() noexcept;
};

enum class SendStatus : std::uint8_t {
    kSent,
    kNotOffered,   // dropped: the event is not offered
    kTooLarge,     // refused: larger than RouDi's largest mempool
    kLoanFailed,   // RouDi's mempool of that size is exhausted
    kWriteFailed,  // the writer reported a failure; the chunk was returned
};

// One event's publisher. Thread-safe: sends from several threads are serialized. Subscribers that fall
// behind lose their oldest samples; a send never waits for them.
class ShmEventPublisher {
  public:
    // Returns false when the payload could not be written; the chunk is then released unpublished.
    using WriteFunction = bool (*)(void* context, std::uint8_t* buffer, std::size_t size);

    // Requires ShmRuntime::Connect() to have succeeded. Not offered until Offer().
    static ara::core::Result<std::unique_ptr<ShmEventPublisher>, std::string> Create(
        const ShmAddress& address);
    ~ShmEventPublisher();
    ShmEventPublisher(const ShmEventPublisher&) = delete;
    ShmEventPublisher& operator=(const ShmEventPublisher&) = delete;

    void Offer();
    void StopOffer();
    bool IsOffered() const noexcept;
    // True while at least one subscriber is connected.
    bool HasSubscribers() const noexcept;
    const ShmAddress& Address() const noexcept;

    // Loans exactly `size` bytes, lets `write` fill them and publishes. Failures are logged (rate-limited).
    SendStatus Send(std::size_t size, WriteFunction write, void* context);

    template <typename Writer, typename = std::enable_if_t<!std::is_pointer_v<std::decay_t<Writer>>>>
    SendStatus Send(std::size_t size, Writer&& write) {
        using W = std::remove_reference_t<Writer>;
        return Send(
            size,
            [](void* context, std::uint8_t* buffer, std::size_t bytes) {
                return (*static_cast<W*>(context))(buffer, bytes);
            },
            const_cast<void*>(static_cast<const void*>(&write)));
    }

  private:
    struct Impl;
    explicit ShmEventPublisher(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// One event's subscription. Not thread-safe: one thread takes and waits.
class ShmEventReceiver {
  public:
    using ReadFunction = void (*)(void* context, const std::uint8_t* data, std::size_t size,
                                  const SampleHeader& header);

    // Requires ShmRuntime::Connect() to have succeeded. `queueCapacity` samples are kept for this
    // subscriber (1 to 256); when full, the oldest is dropped.
    static ara::core::Result<std::unique_ptr<ShmEventReceiver>, std::string> Create(
        const ShmAddress& address, std::uint64_t queueCapacity);
    ~ShmEventReceiver();
    ShmEventReceiver(const ShmEventReceiver&) = delete;
    ShmEventReceiver& operator=(const ShmEventReceiver&) = delete;

    // Hands the oldest queued sample to `read`, then returns its chunk; false when none is queued.
    bool Take(ReadFunction read, void* context);

    template <typename Reader, typename = std::enable_if_t<!std::is_pointer_v<std::decay_t<Reader>>>>
    bool Take(Reader&& read) {
        using R = std::remove_reference_t<Reader>;
        return Take([](void* context, const std::uint8_t* data, std::size_t size,
                       const SampleHeader& header) { (*static_cast<R*>(context))(data, size, header); },
                    const_cast<void*>(static_cast<const void*>(&read)));
    }

    // Waits until a sample is queued or the timeout passes; true when one is queued.
    bool WaitForData(std::chrono::nanoseconds timeout);
    // True once a publisher of the address is connected to this subscriber.
    bool IsConnected() const noexcept;
    // Samples the publisher sent that never reached this subscriber (dropped from its full queue).
    std::uint64_t MissedSamples() const noexcept;

  private:
    struct Impl;
    explicit ShmEventReceiver(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace vrt::cm::shm
