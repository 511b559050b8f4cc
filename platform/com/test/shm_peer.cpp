// One side of the two-process shared-memory tests: publishes generated CameraH265Image events through the
// event adapter, or subscribes to them through the subscriber API and checks what arrives; the same for
// perception records that carry shared-buffer blocks.
//
//   shm_peer publish   <entityId> <count> <seed> <maxSize> <intervalUs>
//   shm_peer oversize  <entityId>
//   shm_peer subscribe <entityId> <count> <seed> <maxSize> <queueCapacity> <slowMs> <timeoutMs>
//   shm_peer publish-perception   <entityId> <count> <poolBlocks>
//   shm_peer subscribe-perception <entityId> <count> <timeoutMs>
//   shm_peer watch <entityId> <timeoutMs>   connected to RouDi, waits for the loss of the transport: status 1
//                                           once it is lost, 0 when the time ran out first
//   shm_peer port-gone <entityId> <timeoutMs>  connected, then meets the errors iceoryx raises on a port
//   RouDi
//                                           destroyed (a dropped process); must end as "watch" does, without
//                                           an abort
//
// Configuration from CM_CONFIG_FILE_PATH; RouDi must run for SHM transports. The subscribers use the SHM
// transport, or the SOMEIP one when PEER_TRANSPORT=SOMEIP. Exit status 0 when everything held.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ara/com/internal/skeleton/event/event_adapter.h"
#include "ara/com/internal/skeleton/skeleton_adapter.h"
#include "hal_buff/hal_buff.h"
#include "iceoryx_hoofs/error_handling/error_handling.hpp"
#include "impl_type_camerah265image.h"
#include "perception/impl_type_cam2camperceptionstruct.h"
#include "vrt/cm/event_subscriber.h"
#include "vrt/cm/transport_runtime.h"

namespace {

using Clock = std::chrono::steady_clock;
using ara::com::internal::skeleton::SkeletonAdapter;
using ara::com::internal::skeleton::event::EventAdapter;

const vrt::cm::type::ServiceIdentifierType kService("/kestrova/ap/Service/instance/Visualization");

// The index-th sample of a run: its size and bytes follow from the seed, so both sides agree.
CameraH265Image Generate(std::uint32_t seed, std::uint32_t index, std::size_t maxSize) {
    std::mt19937 random(seed * 7919U + index);
    CameraH265Image image;
    image.typeCode = 20;
    image.cameraId = static_cast<std::int8_t>(index % 4U);
    image.data.resize(random() % (maxSize + 1U));
    for (auto& byte : image.data) {
        byte = static_cast<std::uint8_t>(random());
    }
    image.header.sec = static_cast<std::int32_t>(index);
    image.header.nsec = static_cast<std::int32_t>(image.data.size());
    image.header.frameId = "vcu_camera_instance_71";
    image.isKeyFrame = index % 10U == 0U;
    return image;
}

// The transport the subscribers use: SHM unless PEER_TRANSPORT names another.
vrt::cm::type::DriverType SubscriberTransport() {
    const char* name = std::getenv("PEER_TRANSPORT");
    const auto driver = vrt::cm::type::DriverTypeFromString(name == nullptr ? "SHM" : name);
    return driver ? *driver : vrt::cm::type::DriverType::SHM;
}

std::uint32_t Arg(char** argv, int index) {
    return static_cast<std::uint32_t>(std::strtoul(argv[index], nullptr, 10));
}

template <typename T>
struct Publisher {
    explicit Publisher(std::uint32_t entityId)
        : skeleton(kService, ara::core::InstanceSpecifier("camera_drv/shm_peer"),
                   vrt::cm::type::MethodCallProcessingMode::kEvent),
          event(skeleton.GetSkeleton(), entityId, kService,
                ara::core::InstanceSpecifier("camera_drv/shm_peer")) {}

    bool Start() {
        if (!event.Initialize().HasValue()) {
            std::cout << "initialize failed" << std::endl;
            return false;
        }
        skeleton.OfferService();
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!event.HasRemoteSubscribers() && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return event.HasRemoteSubscribers();
    }

    // Stays until the subscribers are gone, so that nothing they still read is withdrawn.
    void Linger() {
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (event.HasRemoteSubscribers() && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        skeleton.StopOfferService();
    }

    SkeletonAdapter skeleton;
    EventAdapter<T> event;
};

int Publish(char** argv) {
    const std::uint32_t count = Arg(argv, 3);
    const std::uint32_t seed = Arg(argv, 4);
    const std::size_t maxSize = Arg(argv, 5);
    const auto interval = std::chrono::microseconds(Arg(argv, 6));
    Publisher<CameraH265Image> publisher(Arg(argv, 2));
    if (!publisher.Start()) {
        std::cout << "no subscriber" << std::endl;
        return 2;
    }
    std::chrono::nanoseconds longest{0};
    const auto start = Clock::now();
    for (std::uint32_t i = 0; i < count; ++i) {
        auto sample = std::make_unique<CameraH265Image>(Generate(seed, i, maxSize));
        const auto before = Clock::now();
        publisher.event.Send(std::move(sample));
        longest = std::max(longest, Clock::now() - before);
        if (interval.count() > 0) {
            std::this_thread::sleep_for(interval);
        }
    }
    const auto total = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
    std::cout << "sent " << count << " in " << total.count() << " us, longest send "
              << std::chrono::duration_cast<std::chrono::microseconds>(longest).count() << " us" << std::endl;
    publisher.Linger();
    return 0;
}

int Oversize(char** argv) {
    Publisher<CameraH265Image> publisher(Arg(argv, 2));
    if (!publisher.Start()) {
        return 2;
    }
    CameraH265Image huge;
    huge.data.resize(vrt::cm::shm::ShmRuntime::LargestPayload() + 1U);
    publisher.event.Send(std::make_unique<CameraH265Image>(huge));
    publisher.event.Send(std::make_unique<CameraH265Image>(Generate(1, 0, 100)));
    std::cout << "still running" << std::endl;
    publisher.Linger();
    return 0;
}

int Subscribe(char** argv) {
    const std::uint32_t count = Arg(argv, 3);
    const std::uint32_t seed = Arg(argv, 4);
    const std::size_t maxSize = Arg(argv, 5);
    vrt::cm::EventSubscriber<CameraH265Image>::Options options;
    options.queueCapacity = Arg(argv, 6);
    options.transport = SubscriberTransport();
    const auto slow = std::chrono::milliseconds(Arg(argv, 7));
    const auto timeout = std::chrono::milliseconds(Arg(argv, 8));
    auto subscriber = vrt::cm::EventSubscriber<CameraH265Image>::Create(Arg(argv, 2), options);
    if (!subscriber.HasValue()) {
        std::cout << "subscribe failed: " << subscriber.Error().message << std::endl;
        return 2;
    }
    auto& sut = *subscriber.Value();
    std::cout << "ready" << std::endl;

    std::uint32_t received = 0;
    std::uint32_t mismatches = 0;
    std::int64_t first = -1;
    std::int64_t last = -1;
    const auto deadline = Clock::now() + timeout;
    CameraH265Image record;
    while (last + 1 < static_cast<std::int64_t>(count) && Clock::now() < deadline) {
        if (!sut.WaitForData(std::chrono::milliseconds(20))) {
            continue;
        }
        auto outcome = sut.TryReceive(record);
        if (!outcome) {
            continue;
        }
        ++received;
        const std::int64_t index = record.header.sec;
        if (!outcome->IsSuccess() || index <= last || index >= static_cast<std::int64_t>(count) ||
            record != Generate(seed, static_cast<std::uint32_t>(index), maxSize)) {
            ++mismatches;
        }
        first = first < 0 ? index : first;
        last = index;
        std::this_thread::sleep_for(slow);
    }
    // Missed counts the gaps after the first received sample; the ones before it are `first`.
    std::cout << "received " << received << " missed " << sut.MissedSamples() << " first " << first
              << " last " << last << " mismatches " << mismatches << std::endl;
    return mismatches == 0 ? 0 : 1;
}

// The index-th perception record of a run, its block (if any) left to the caller.
perception::Cam2CamPerceptionStruct PerceptionRecord(std::uint32_t index) {
    perception::Cam2CamPerceptionStruct record;
    record.typeCode = static_cast<std::int32_t>(index);
    record.seq = static_cast<std::int8_t>(index);
    record.header.sec = static_cast<std::int32_t>(index);
    record.header.frameId = "cam" + std::to_string(index % 4U);
    return record;
}

// The bytes the index-th record's block carries: a length and contents of its own, so that a block that
// arrives with another record's bytes, cut or shifted, is seen.
std::vector<std::uint8_t> BlockContent(std::uint32_t index) {
    std::vector<std::uint8_t> bytes(1000U + (index * 37U) % 3000U);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(index * 7U + i * 13U);
    }
    return bytes;
}

PoolHandle CreatePool(std::uint32_t blocks) {
    const HalBuffCfg config{};
    HalBuffPoolAttr attr{};
    attr.blkSize = 4096;
    attr.blkNum = blocks;
    attr.align = 64;
    PoolHandle pool = nullptr;
    if (halBuffInit(&config) != HAL_BUFF_OK || halBuffCreatePool(&attr, &pool) != HAL_BUFF_OK) {
        return nullptr;
    }
    return pool;
}

// Sends `count` records, each with a fresh block from a pool of `poolBlocks` holding BlockContent: the pool
// lasts only if the middleware frees every block it is handed, and only once. Reports "blocks freed" when
// it holds.
int PublishPerception(char** argv) {
    const std::uint32_t count = Arg(argv, 3);
    const std::uint32_t poolBlocks = Arg(argv, 4);
    PoolHandle pool = CreatePool(poolBlocks);
    if (pool == nullptr) {
        std::cout << "no buffer pool" << std::endl;
        return 2;
    }
    Publisher<perception::Cam2CamPerceptionStruct> publisher(Arg(argv, 2));
    if (!publisher.Start()) {
        std::cout << "no subscriber" << std::endl;
        return 2;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        Mbuf* block = nullptr;
        if (const std::int32_t status = halMbufAllocByPool(pool, &block); status != HAL_BUFF_OK) {
            std::cout << "block " << i << " not allocated: " << status << std::endl;
            return 1;
        }
        void* data = nullptr;
        std::uint64_t size = 0;
        const std::vector<std::uint8_t> content = BlockContent(i);
        halMbufGetDataPtr(block, &data, &size);
        std::memcpy(data, content.data(), content.size());
        halMbufSetDataLen(block, content.size());
        auto record = std::make_unique<perception::Cam2CamPerceptionStruct>(PerceptionRecord(i));
        record->SetMbufPtr(block);
        publisher.event.Send(std::move(record));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // Every block is back: the pool hands all of them out again and takes each back.
    std::vector<Mbuf*> blocks(poolBlocks, nullptr);
    for (auto& block : blocks) {
        if (halMbufAllocByPool(pool, &block) != HAL_BUFF_OK) {
            std::cout << "a block was never freed" << std::endl;
            return 1;
        }
    }
    for (Mbuf* block : blocks) {
        halMbufFree(block);
    }
    std::cout << "sent " << count << ", failed frees " << publisher.event.FailedBlockFrees() << std::endl;
    if (publisher.event.FailedBlockFrees() == 0U) {
        std::cout << "blocks freed" << std::endl;
    }
    publisher.Linger();
    halBuffDestroyPool(pool);
    halBuffDeinit();
    return publisher.event.FailedBlockFrees() == 0U ? 0 : 1;
}

// Receives the records; each must carry the publisher's fields and, in a block of this process's own pool,
// the bytes of the publisher's block.
int SubscribePerception(char** argv) {
    const std::uint32_t count = Arg(argv, 3);
    const auto timeout = std::chrono::milliseconds(Arg(argv, 4));
    PoolHandle pool = CreatePool(256);
    if (pool == nullptr) {
        std::cout << "no buffer pool" << std::endl;
        return 2;
    }
    vrt::cm::EventSubscriber<perception::Cam2CamPerceptionStruct>::Options options;
    options.transport = SubscriberTransport();
    options.queueCapacity = 256;
    options.blockPool = pool;
    auto subscriber =
        vrt::cm::EventSubscriber<perception::Cam2CamPerceptionStruct>::Create(Arg(argv, 2), options);
    if (!subscriber.HasValue()) {
        std::cout << "subscribe failed: " << subscriber.Error().message << std::endl;
        return 2;
    }
    std::cout << "ready" << std::endl;
    std::uint32_t received = 0;
    std::uint32_t mismatches = 0;
    std::uint32_t blockMismatches = 0;
    const auto deadline = Clock::now() + timeout;
    perception::Cam2CamPerceptionStruct record;
    while (received < count && Clock::now() < deadline) {
        if (!subscriber.Value()->WaitForData(std::chrono::milliseconds(20))) {
            continue;
        }
        auto outcome = subscriber.Value()->TryReceive(record);
        if (!outcome) {
            continue;
        }
        const auto index = static_cast<std::uint32_t>(record.header.sec);
        Mbuf* block = record.GetMbufPtr();
        record.SetMbufPtr(nullptr);
        if (!outcome->IsSuccess() || index != received || record != PerceptionRecord(index)) {
            ++mismatches;
        }
        void* data = nullptr;
        std::uint64_t size = 0;
        std::uint64_t length = 0;
        const std::vector<std::uint8_t> content = BlockContent(index);
        if (block == nullptr || halMbufGetDataPtr(block, &data, &size) != HAL_BUFF_OK ||
            halMbufGetDataLen(block, &length) != HAL_BUFF_OK || length != content.size() ||
            std::memcmp(data, content.data(), content.size()) != 0) {
            ++blockMismatches;
        }
        if (block != nullptr) {
            halMbufFree(block);
        }
        ++received;
    }
    std::cout << "received " << received << " mismatches " << mismatches << " block mismatches "
              << blockMismatches << std::endl;
    return received == count && mismatches == 0 && blockMismatches == 0 ? 0 : 1;
}

int Watch(char** argv, bool portGone) {
    auto subscriber = vrt::cm::EventSubscriber<CameraH265Image>::Create(
        Arg(argv, 2), vrt::cm::EventSubscriber<CameraH265Image>::Options{});
    if (!subscriber.HasValue()) {
        std::cout << "subscribe failed: " << subscriber.Error().message << std::endl;
        return 2;
    }
    std::cout << "ready" << std::endl;
    if (portGone) {
        // What a publish on a port RouDi has destroyed meets: its chunk lock, a destroyed mutex, then the
        // chunk it no longer knows.
        iox::errorHandler(iox::Error::kPOPO__CHUNK_LOCKING_ERROR, nullptr, iox::ErrorLevel::FATAL);
        iox::errorHandler(iox::Error::kPOPO__CHUNK_UNLOCKING_ERROR, nullptr, iox::ErrorLevel::FATAL);
        iox::errorHandler(iox::Error::kPOPO__CHUNK_SENDER_INVALID_CHUNK_TO_SEND_FROM_USER, nullptr,
                          iox::ErrorLevel::SEVERE);
        std::cout << "still running" << std::endl;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(Arg(argv, 3));
    while (!vrt::cm::TransportLost() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::cout << (vrt::cm::TransportLost() ? "lost" : "not lost") << std::endl;
    return vrt::cm::TransportLost() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "publish" && argc == 7) {
        return Publish(argv);
    }
    if (mode == "oversize" && argc == 3) {
        return Oversize(argv);
    }
    if (mode == "subscribe" && argc == 9) {
        return Subscribe(argv);
    }
    if (mode == "publish-perception" && argc == 5) {
        return PublishPerception(argv);
    }
    if (mode == "subscribe-perception" && argc == 5) {
        return SubscribePerception(argv);
    }
    if ((mode == "watch" || mode == "port-gone") && argc == 4) {
        return Watch(argv, mode == "port-gone");
    }
    std::cerr << "usage: shm_peer publish|oversize|subscribe ... (see the source)\n";
    return 64;
}
