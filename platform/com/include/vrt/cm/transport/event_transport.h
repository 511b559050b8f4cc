#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <type_traits>

// What every inter-process transport of an event offers: a publisher that writes one serialized sample in
// place and sends it, and a receiver that hands out serialized samples. The shared-memory transport
// (vrt/cm/shm) and the SOME/IP binding (vrt/cm/someip) implement them; the DDS binding (vrt/cm/dds) lets
// Cyclone DDS serialize its records and implements the binding and the receiver.
namespace vrt::cm {

// What a receiver knows about a sample besides its bytes.
struct SampleHeader {
    std::uint64_t sequence{0};    // per publisher, from 0; a gap is a sample the subscriber lost
    std::int64_t sendTimeNs{0};   // CLOCK_MONOTONIC at the send; 0 where the transport does not carry it
    std::uint64_t blockBytes{0};  // the payload's last bytes that are the record's shared-buffer block
};

enum class SendStatus : std::uint8_t {
    kSent,
    kNotOffered,   // dropped: the event is not offered
    kTooLarge,     // refused: larger than the transport can carry
    kLoanFailed,   // no buffer for the sample
    kWriteFailed,  // the writer reported a failure; nothing was sent
    kRouDiLost,    // dropped: RouDi has ended or was restarted (reported once, at the loss)
};

// One event's sending side on one transport, as far as every transport has it: the offer and whether anybody
// listens. The DDS binding (vrt/cm/dds) sends typed records and has only this; the byte-oriented transports
// are EventTransportPublishers. Thread-safe.
class EventTransportBinding {
  public:
    virtual ~EventTransportBinding() = default;

    virtual void Offer() = 0;
    virtual void StopOffer() = 0;
    virtual bool IsOffered() const noexcept = 0;
    // True while at least one subscriber is connected.
    virtual bool HasSubscribers() const noexcept = 0;
};

// One event's sending side for serialized samples. Thread-safe: sends from several threads are serialized; a
// send never waits for a subscriber.
class EventTransportPublisher : public EventTransportBinding {
  public:
    // Returns false when the payload could not be written; nothing is sent then.
    using WriteFunction = bool (*)(void* context, std::uint8_t* buffer, std::size_t size);

    // Lets `write` fill exactly `size` bytes and sends them; the last `blockBytes` of them are a
    // shared-buffer block's bytes, for the transports that carry them (SampleHeader::blockBytes). Failures
    // are logged (rate-limited).
    virtual SendStatus Send(std::size_t size, WriteFunction write, void* context,
                            std::uint64_t blockBytes) = 0;

    template <typename Writer, typename = std::enable_if_t<!std::is_pointer_v<std::decay_t<Writer>>>>
    SendStatus Send(std::size_t size, Writer&& write, std::uint64_t blockBytes = 0U) {
        using W = std::remove_reference_t<Writer>;
        return Send(
            size,
            [](void* context, std::uint8_t* buffer, std::size_t bytes) {
                return (*static_cast<W*>(context))(buffer, bytes);
            },
            const_cast<void*>(static_cast<const void*>(&write)), blockBytes);
    }
};

// One event's receiving side. Not thread-safe: one thread takes and waits.
class EventTransportReceiver {
  public:
    using ReadFunction = void (*)(void* context, const std::uint8_t* data, std::size_t size,
                                  const SampleHeader& header);

    virtual ~EventTransportReceiver() = default;

    // Hands the oldest queued sample to `read`, then releases it; false when none is queued.
    virtual bool Take(ReadFunction read, void* context) = 0;
    // Waits until a sample is queued or the timeout passes; true when one is queued.
    virtual bool WaitForData(std::chrono::nanoseconds timeout) = 0;
    // True once a publisher is connected to this subscriber.
    virtual bool IsConnected() const noexcept = 0;
    // Samples the publisher sent that never reached this subscriber.
    virtual std::uint64_t MissedSamples() const noexcept = 0;

    template <typename Reader, typename = std::enable_if_t<!std::is_pointer_v<std::decay_t<Reader>>>>
    bool Take(Reader&& read) {
        using R = std::remove_reference_t<Reader>;
        return Take([](void* context, const std::uint8_t* data, std::size_t size,
                       const SampleHeader& header) { (*static_cast<R*>(context))(data, size, header); },
                    const_cast<void*>(static_cast<const void*>(&read)));
    }
};

}  // namespace vrt::cm
