// Sending records that carry a shared-buffer block: the middleware frees every block it is handed exactly
// once, and not before the last process-local client has let go of the sample that names it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ara/com/internal/skeleton/event/event_adapter.h"
#include "ara/log/log_capture.h"
#include "ara/log/logging.h"
#include "com_test_support.h"
#include "hal_buff/hal_buff.h"
#include "impl_type_camerah265image.h"
#include "perception/impl_type_cam2camperceptionstruct.h"

namespace {

using ara::com::internal::skeleton::SkeletonAdapter;
using ara::com::internal::skeleton::event::EventAdapter;
using ara::log::LogLevel;
using Record = perception::Cam2CamPerceptionStruct;
using vrt::cm::test::EventEntry;
using vrt::cm::test::Manifest;
using vrt::cm::test::ProlocOnly;
using vrt::cm::test::ScopedManifest;

constexpr std::uint32_t kPerceptionEvent = 30182;
constexpr std::uint16_t kServiceId = 4098;
constexpr const char* kInstance = "raw";
constexpr std::uint32_t kPoolBlocks = 3;
constexpr const char* kNotFreed = "[EventAdapterBase][Shared-buffer block of a sent sample not freed]";

class EventAdapterRawDataTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ara::log::CreateLogger("CM", "Communication middleware", LogLevel::kVerbose);
        static const HalBuffCfg config{};
        ASSERT_EQ(halBuffInit(&config), HAL_BUFF_OK);
        HalBuffPoolAttr attr{};
        attr.blkSize = 256;
        attr.blkNum = kPoolBlocks;
        attr.align = 64;
        ASSERT_EQ(halBuffCreatePool(&attr, &pool_), HAL_BUFF_OK);
    }

    void TearDown() override {
        // Everything that may still name a block goes before the service does.
        sut_.reset();
        vrt::cm::proloc::ProlocEventInstanceImpl<Record>::GetInstance()->DeleteProlocEventMemory(Index());
        EXPECT_EQ(capture_.Count("CM", kNotFreed), 0U);
        halBuffDeinit();
    }

    static vrt::cm::proloc::ProlocEntityIndex Index() {
        vrt::cm::proloc::ProlocEntityIndex index;
        index.serviceId = kServiceId;
        index.instanceId = kInstance;
        index.entityId = kPerceptionEvent;
        return index;
    }

    EventAdapter<Record>& InitializedEvent() {
        auto& event = MakeEvent();
        EXPECT_TRUE(event.Initialize().HasValue());
        return event;
    }

    EventAdapter<Record>& MakeEvent() {
        sut_ =
            std::make_unique<EventAdapter<Record>>(skeleton_.GetSkeleton(), kPerceptionEvent,
                                                   vrt::cm::type::ServiceIdentifierType("/test/Perception"),
                                                   ara::core::InstanceSpecifier("test/port"));
        return *sut_;
    }

    // A block of the pool holding `text`, or null (with a test failure) when the pool has none left.
    Mbuf* FilledBlock(const std::string& text) {
        Mbuf* block = nullptr;
        EXPECT_EQ(halMbufAllocByPool(pool_, &block), HAL_BUFF_OK)
            << "the pool ran dry: blocks were not freed";
        if (block == nullptr) {
            return nullptr;
        }
        void* data = nullptr;
        std::uint64_t size = 0;
        EXPECT_EQ(halMbufGetDataPtr(block, &data, &size), HAL_BUFF_OK);
        std::memcpy(data, text.data(), text.size());
        EXPECT_EQ(halMbufSetDataLen(block, text.size()), HAL_BUFF_OK);
        return block;
    }

    std::unique_ptr<Record> Sample(Mbuf* block, std::int8_t seq = 1) const {
        auto sample = std::make_unique<Record>();
        sample->typeCode = 7;
        sample->seq = seq;
        sample->header.frameId = "cam0";
        sample->SetMbufPtr(block);
        return sample;
    }

    static bool IsAllocated(Mbuf* block) {
        std::uint64_t length = 0;
        return halMbufGetDataLen(block, &length) == HAL_BUFF_OK;
    }

    static std::string Contents(const Mbuf* block) {
        void* data = nullptr;
        std::uint64_t size = 0;
        std::uint64_t length = 0;
        if (halMbufGetDataPtr(const_cast<Mbuf*>(block), &data, &size) != HAL_BUFF_OK ||
            halMbufGetDataLen(const_cast<Mbuf*>(block), &length) != HAL_BUFF_OK) {
            return "<freed>";
        }
        return std::string(static_cast<const char*>(data), length);
    }

    // Takes every block of the pool and returns them, each free checked: the pool serves all its blocks only
    // when nothing still holds one, and a block freed twice would be refused here or before.
    ::testing::AssertionResult PoolServesEveryBlock() {
        std::vector<Mbuf*> blocks(kPoolBlocks, nullptr);
        for (auto& block : blocks) {
            if (const auto status = halMbufAllocByPool(pool_, &block); status != HAL_BUFF_OK) {
                return ::testing::AssertionFailure() << "allocation refused with " << status;
            }
        }
        Mbuf* extra = nullptr;
        if (halMbufAllocByPool(pool_, &extra) != HAL_BUFF_ERR_POOL_EMPTY) {
            return ::testing::AssertionFailure() << "the pool served more blocks than it has";
        }
        for (Mbuf* block : blocks) {
            if (const auto status = halMbufFree(block); status != HAL_BUFF_OK) {
                return ::testing::AssertionFailure() << "free refused with " << status;
            }
        }
        return ::testing::AssertionSuccess();
    }

    // Every block back in the pool, none freed twice and no free refused.
    ::testing::AssertionResult EveryBlockFreedOnce(EventAdapter<Record>& event) {
        if (event.FailedBlockFrees() != 0U) {
            return ::testing::AssertionFailure() << event.FailedBlockFrees() << " block frees failed";
        }
        return PoolServesEveryBlock();
    }

    // The event's process-local memory with client 1 enabled for `depth` samples; null when it has none.
    static auto ClientMemory(EventAdapter<Record>& event, std::size_t depth) {
        auto memory = event.ProlocMemory();
        if (memory != nullptr) {
            memory->EnableEventClient(1, depth, nullptr);
        }
        return memory;
    }

    ScopedManifest manifest_{Manifest(
        EventEntry(kPerceptionEvent, "Cam2CamPerceptionEvent1", ProlocOnly(), kServiceId, kInstance))};
    ara::log::LogCapture capture_;
    SkeletonAdapter skeleton_{vrt::cm::type::ServiceIdentifierType("/test/Perception"),
                              ara::core::InstanceSpecifier("test/port"),
                              vrt::cm::type::MethodCallProcessingMode::kEvent};
    PoolHandle pool_{nullptr};
    std::unique_ptr<EventAdapter<Record>> sut_;
};

TEST_F(EventAdapterRawDataTest, EveryBlockSentWithoutClientsIsFreedOnceAfterItsSend) {
    auto& event = InitializedEvent();

    // More sends than blocks: each one needs the block of an earlier send back.
    for (std::uint32_t i = 0; i < 4 * kPoolBlocks; ++i) {
        Mbuf* block = FilledBlock("frame " + std::to_string(i));
        ASSERT_NE(block, nullptr);
        event.Send(Sample(block));
        EXPECT_FALSE(IsAllocated(block));
    }

    EXPECT_TRUE(EveryBlockFreedOnce(event));
}

TEST_F(EventAdapterRawDataTest, ProcessLocalClientKeepsTheBlockUntilItLetsGoOfTheSample) {
    auto& event = InitializedEvent();
    auto memory = ClientMemory(event, 4);
    ASSERT_NE(memory, nullptr);
    Mbuf* block = FilledBlock("frame");

    event.Send(Sample(block, 5));

    ASSERT_TRUE(IsAllocated(block)) << "queued for the client";
    auto received = memory->LoadData(1);
    ASSERT_NE(received, nullptr);
    EXPECT_EQ(received->GetMbufPtr(), block);
    EXPECT_EQ(received->seq, 5);
    EXPECT_EQ(memory->ReturnLoan(1, reinterpret_cast<const unsigned char*>(received.get())), 0U);
    EXPECT_EQ(Contents(received->GetMbufPtr()), "frame") << "the client still holds the sample";

    received.reset();

    EXPECT_FALSE(IsAllocated(block));
    EXPECT_TRUE(EveryBlockFreedOnce(event));
}

TEST_F(EventAdapterRawDataTest, ClientThatLetsGoDuringTheSendLeavesTheFreeToTheSend) {
    auto& event = InitializedEvent();
    auto memory = event.ProlocMemory();
    ASSERT_NE(memory, nullptr);
    bool validInHandler = false;
    // Receive handlers run on the sending thread, before the send is over.
    memory->EnableEventClient(1, 4, [&memory, &validInHandler] {
        auto sample = memory->LoadData(1);
        validInHandler = IsAllocated(sample->GetMbufPtr());
        memory->ReturnLoan(1, reinterpret_cast<const unsigned char*>(sample.get()));
    });
    Mbuf* block = FilledBlock("frame");

    event.Send(Sample(block));

    EXPECT_TRUE(validInHandler);
    EXPECT_FALSE(IsAllocated(block));
    EXPECT_TRUE(EveryBlockFreedOnce(event));
}

TEST_F(EventAdapterRawDataTest, ConcurrentClientNeverSeesAFreedBlockAndEveryBlockComesBack) {
    auto& event = InitializedEvent();
    auto memory = ClientMemory(event, 2);
    ASSERT_NE(memory, nullptr);
    std::atomic<bool> sending{true};
    std::atomic<int> received{0};
    std::atomic<int> freedWhileHeld{0};
    std::thread client;
    // Stops and joins the client however the test ends.
    struct Joiner {
        std::atomic<bool>& sending;
        std::thread& thread;
        ~Joiner() {
            sending = false;
            if (thread.joinable()) {
                thread.join();
            }
        }
    } joiner{sending, client};
    client = std::thread([&] {
        while (sending.load() || memory->GetMessageNumber(1) > 0U) {
            auto sample = memory->LoadData(1);
            if (!sample) {
                std::this_thread::yield();
                continue;
            }
            if (Contents(sample->GetMbufPtr()) != "frame " + std::to_string(sample->seq)) {
                ++freedWhileHeld;
            }
            memory->ReturnLoan(1, reinterpret_cast<const unsigned char*>(sample.get()));
            ++received;
        }
    });

    constexpr int kSends = 2000;
    for (int i = 0; i < kSends; ++i) {
        Mbuf* block = nullptr;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (halMbufAllocByPool(pool_, &block) != HAL_BUFF_OK &&
               std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();  // the client still holds every block
        }
        ASSERT_NE(block, nullptr) << "a block never came back";
        const std::string text = "frame " + std::to_string(static_cast<std::int8_t>(i));
        void* data = nullptr;
        std::uint64_t size = 0;
        ASSERT_EQ(halMbufGetDataPtr(block, &data, &size), HAL_BUFF_OK);
        std::memcpy(data, text.data(), text.size());
        ASSERT_EQ(halMbufSetDataLen(block, text.size()), HAL_BUFF_OK);
        event.Send(Sample(block, static_cast<std::int8_t>(i)));
    }
    sending = false;
    client.join();

    EXPECT_GT(received.load(), 0);
    EXPECT_EQ(freedWhileHeld.load(), 0);
    memory->UnSubscribeClient(1);
    EXPECT_TRUE(EveryBlockFreedOnce(event));
}

TEST_F(EventAdapterRawDataTest, SamplesDroppedFromAFullClientQueueFreeTheirBlocks) {
    auto& event = InitializedEvent();
    auto memory = ClientMemory(event, 1);
    ASSERT_NE(memory, nullptr);  // never loads

    Mbuf* last = nullptr;
    for (std::uint32_t i = 0; i < 4 * kPoolBlocks; ++i) {
        last = FilledBlock("frame " + std::to_string(i));
        ASSERT_NE(last, nullptr);
        event.Send(Sample(last, static_cast<std::int8_t>(i)));
    }

    ASSERT_EQ(memory->GetMessageNumber(1), 1U);
    EXPECT_EQ(Contents(last), "frame " + std::to_string(4 * kPoolBlocks - 1));
    memory->UnSubscribeClient(1);
    EXPECT_TRUE(EveryBlockFreedOnce(event));
}

TEST_F(EventAdapterRawDataTest, EventWithoutDeploymentStillTakesAndFreesTheBlock) {
    manifest_.Write(Manifest(EventEntry(1, "Other", ProlocOnly())));
    auto& event = MakeEvent();
    Mbuf* block = FilledBlock("frame");

    event.Send(Sample(block));

    EXPECT_FALSE(IsAllocated(block));
    EXPECT_TRUE(EveryBlockFreedOnce(event));
}

TEST_F(EventAdapterRawDataTest, RecordsWithoutBlockAreDeliveredAndFreeNothing) {
    auto& event = InitializedEvent();
    auto memory = ClientMemory(event, 4);
    ASSERT_NE(memory, nullptr);
    Mbuf* unrelated = FilledBlock("not sent");

    event.Send(Sample(nullptr, 9));
    event.Send(std::unique_ptr<Record>());

    ASSERT_EQ(memory->GetMessageNumber(1), 1U) << "a null sample sends nothing";
    auto received = memory->LoadData(1);
    EXPECT_EQ(received->GetMbufPtr(), nullptr);
    EXPECT_EQ(received->seq, 9);
    EXPECT_EQ(received->header.frameId, "cam0");
    received.reset();
    memory->UnSubscribeClient(1);
    EXPECT_TRUE(IsAllocated(unrelated));
    EXPECT_EQ(event.FailedBlockFrees(), 0U);
    EXPECT_EQ(halMbufFree(unrelated), HAL_BUFF_OK);
}

// Handing the same block over twice is the producer's fault; the service refuses the second free and the
// middleware reports it instead of silently freeing a block that may belong to someone else by then.
TEST_F(EventAdapterRawDataTest, BlockHandedOverTwiceIsReportedNotFreedTwice) {
    auto& event = InitializedEvent();
    Mbuf* block = FilledBlock("frame");

    event.Send(Sample(block));
    event.Send(Sample(block));

    EXPECT_EQ(event.FailedBlockFrees(), 1U);
    EXPECT_EQ(capture_.Count("CM", LogLevel::kError,
                             std::string(kNotFreed) + "[entityId=30182, status=" +
                                 std::to_string(HAL_BUFF_ERR_NOT_ALLOCATED) + "]"),
              1U);
    EXPECT_TRUE(PoolServesEveryBlock());
    capture_.Clear();
}

TEST_F(EventAdapterRawDataTest, ImageEventsStillShareOneCopyOfTheSample) {
    ScopedManifest images(Manifest(EventEntry(35045, "CameraH265ImageEvent", ProlocOnly(), 4097, kInstance)));
    EventAdapter<CameraH265Image> event(skeleton_.GetSkeleton(), 35045,
                                        vrt::cm::type::ServiceIdentifierType("/test/Perception"),
                                        ara::core::InstanceSpecifier("test/port"));
    ASSERT_TRUE(event.Initialize().HasValue());
    auto memory = event.ProlocMemory();
    memory->EnableEventClient(1, 4, nullptr);
    memory->EnableEventClient(2, 4, nullptr);
    CameraH265Image image;
    image.data = {1, 2, 3};

    event.Send(image);
    image.data.clear();

    auto first = memory->LoadData(1);
    auto second = memory->LoadData(2);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first->data, (std::vector<std::uint8_t>{1, 2, 3}));
    auto index = Index();
    index.entityId = 35045;
    index.serviceId = 4097;
    vrt::cm::proloc::ProlocEventInstanceImpl<CameraH265Image>::GetInstance()->DeleteProlocEventMemory(index);
}

}  // namespace
