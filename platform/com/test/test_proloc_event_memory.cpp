#include "vrt/cm/proloc/proloc_event_memory.h"

#include <gtest/gtest.h>

#include "ara/log/log_capture.h"
#include "ara/log/logging.h"
#include "vrt/cm/proloc/proloc_event_instance.h"

namespace {

using ara::log::LogLevel;
using vrt::cm::proloc::ProlocEntityIndex;
using vrt::cm::proloc::ProlocEventInstanceImpl;
using vrt::cm::proloc::ProlocEventMemoryImpl;

class ProlocEventMemoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The middleware context at verbose, so that its debug messages reach the capture.
        ara::log::CreateLogger("CM", "Communication middleware", LogLevel::kVerbose);
        ASSERT_TRUE(sut.Init(false));
    }

    ara::log::LogCapture capture;
    ProlocEventMemoryImpl<int> sut;
};

TEST_F(ProlocEventMemoryTest, FullClientQueueDropsOldestWithOneWarning) {
    sut.EnableEventClient(7, 2, nullptr);

    sut.StoreData(1);
    sut.StoreData(2);
    sut.StoreData(3);

    EXPECT_EQ(sut.GetMessageNumber(7), 2U);
    EXPECT_EQ(*sut.LoadData(7), 2);
    EXPECT_EQ(*sut.LoadData(7), 3);
    EXPECT_EQ(sut.LoadData(7), nullptr);
    EXPECT_EQ(capture.Count("CM", LogLevel::kWarn,
                            "[ProlocEventMemoryImpl][Proloc event msg is full, the oldest data wii be "
                            "discard][clientUid=7]"),
              1U);
}

TEST_F(ProlocEventMemoryTest, SampleDroppedFromAFullQueueIsLetGoWithItsLoan) {
    sut.EnableEventClient(27, 1, nullptr);
    auto first = std::make_shared<int>(1);
    const std::weak_ptr<int> watch = first;
    sut.StoreData(std::move(first));

    sut.StoreData(2);

    EXPECT_TRUE(watch.expired()) << "never handed to the client, so nothing may keep it";
    EXPECT_EQ(*sut.LoadData(27), 2);
}

TEST_F(ProlocEventMemoryTest, RepeatedOverflowWarnsOncePerWindow) {
    // The limit is keyed by client uid for the whole process: a uid of its own here.
    sut.EnableEventClient(17, 1, nullptr);
    for (int i = 0; i < 20; ++i) {
        sut.StoreData(i);
    }
    EXPECT_EQ(capture.Count("CM", LogLevel::kWarn, "Proloc event msg is full"), 1U);
    EXPECT_EQ(*sut.LoadData(17), 19);
}

TEST_F(ProlocEventMemoryTest, TakesDataOnlyWhileAClientListensOrItKeepsTheLast) {
    EXPECT_FALSE(sut.TakesData());  // a sender copies nothing for nobody
    sut.EnableEventClient(21, 1, nullptr);
    EXPECT_TRUE(sut.TakesData());
    ProlocEventMemoryImpl<int> keepLast;
    ASSERT_TRUE(keepLast.Init(true));
    EXPECT_TRUE(keepLast.TakesData());
}

TEST_F(ProlocEventMemoryTest, KeepLastQueuesStoredSampleForNewClientAndCallsHandlerOnce) {
    ProlocEventMemoryImpl<int> keepLast;
    ASSERT_TRUE(keepLast.Init(true));
    EXPECT_NE(keepLast.StoreData(41), nullptr) << "kept as last sample without clients";
    const int* stored = keepLast.StoreData(42);
    int calls = 0;

    keepLast.EnableEventClient(1, 4, [&calls] { ++calls; });

    EXPECT_EQ(calls, 1);
    ASSERT_EQ(keepLast.GetMessageNumber(1), 1U);
    auto sample = keepLast.LoadData(1);
    ASSERT_NE(sample, nullptr);
    EXPECT_EQ(sample.get(), stored);
    EXPECT_EQ(*sample, 42);
}

TEST_F(ProlocEventMemoryTest, StoreWithoutClientsLogsAndReturnsNull) {
    EXPECT_EQ(sut.StoreData(5), nullptr);
    EXPECT_EQ(capture.Count("CM", LogLevel::kDebug,
                            "[ProlocEventMemoryImpl][The corresponding client map is empty, ignore]"),
              1U);
}

TEST_F(ProlocEventMemoryTest, UnregisteredClientsGetNothingAndLoansAreRefused) {
    EXPECT_EQ(sut.GetMessageNumber(99), 0U);
    EXPECT_EQ(sut.LoadData(99), nullptr);
    const unsigned char byte = 0;
    EXPECT_EQ(sut.ReturnLoan(99, &byte), 1U);
    EXPECT_FALSE(sut.SetReceiveHandler([] {}, 99));
    EXPECT_EQ(
        capture.Count("CM", LogLevel::kWarn,
                      "[ProlocEventMemoryImpl_SetReceiveHandler][Cannot find corresponding event client, so "
                      "set receive handler failed][clientUid=99]"),
        1U);
}

TEST_F(ProlocEventMemoryTest, EverySendSharesOneCopyAmongClientsAndLoansKeepItAlive) {
    sut.EnableEventClient(1, 4, nullptr);
    sut.EnableEventClient(2, 4, nullptr);
    const int* stored = sut.StoreData(8);

    auto first = sut.LoadData(1);
    auto second = sut.LoadData(2);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first.get(), stored);
    EXPECT_EQ(second.get(), stored);

    // Held by both clients' loans and the two pointers here.
    EXPECT_EQ(first.use_count(), 4);
    EXPECT_EQ(sut.ReturnLoan(1, reinterpret_cast<const unsigned char*>(stored)), 0U);
    EXPECT_EQ(first.use_count(), 3);
    EXPECT_EQ(sut.UnSubscribeClient(2), 1U);
    EXPECT_EQ(first.use_count(), 2);
    EXPECT_EQ(sut.GetClientNumber(), 1U);
}

TEST_F(ProlocEventMemoryTest, HandlersRunAfterUnlockSoTheyMayUseTheMemory) {
    std::shared_ptr<int> received;
    sut.EnableEventClient(3, 4, [this, &received] { received = sut.LoadData(3); });
    sut.StoreData(11);
    ASSERT_NE(received, nullptr);
    EXPECT_EQ(*received, 11);
}

TEST_F(ProlocEventMemoryTest, ExistingClientIsNotReplaced) {
    sut.EnableEventClient(4, 1, nullptr);
    sut.StoreData(1);
    sut.EnableEventClient(4, 8, nullptr);
    sut.StoreData(2);
    EXPECT_EQ(sut.GetMessageNumber(4), 1U) << "the first registration's cache size still holds";
}

TEST(ProlocEventInstanceTest, FindsTheSameMemoryPerIndexAndDeletes) {
    auto registry = ProlocEventInstanceImpl<double>::GetInstance();
    ASSERT_EQ(registry, ProlocEventInstanceImpl<double>::GetInstance());
    ProlocEntityIndex a;
    a.serviceId = 1;
    ProlocEntityIndex b = a;
    b.vlan = "x";

    auto memoryA = registry->FindAndAddProlocEventMemory(a, false);
    ASSERT_NE(memoryA, nullptr);
    EXPECT_EQ(registry->FindAndAddProlocEventMemory(a, true), memoryA);
    EXPECT_EQ(registry->GetProlocEventMemory(b), nullptr);
    EXPECT_NE(registry->FindAndAddProlocEventMemory(b, false), memoryA);

    registry->DeleteProlocEventMemory(a);
    EXPECT_EQ(registry->GetProlocEventMemory(a), nullptr);
    EXPECT_NE(registry->GetProlocEventMemory(b), nullptr);
    registry->DeleteProlocEventMemory(b);
}

TEST(ProlocEntityIndexOrderTest, ComparesFieldsInOrderAndStringsByCharacters) {
    ProlocEntityIndex low;
    ProlocEntityIndex high;
    low.serviceId = 1;
    high.serviceId = 2;
    low.instanceId = "9";
    high.instanceId = "10";
    EXPECT_TRUE(low < high) << "service id decides first";
    high.serviceId = 1;
    EXPECT_TRUE(high < low) << "\"10\" sorts before \"9\"";
    const ProlocEntityIndex defaults;
    EXPECT_EQ(defaults.serviceId, 65534);
    EXPECT_EQ(defaults.instanceId, "65534");
    EXPECT_EQ(defaults.entityId, 4294967294U);
}

}  // namespace
