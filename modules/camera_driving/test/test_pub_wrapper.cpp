#include <gtest/gtest.h>

#include "CameraDriving_GeneralWrapper.h"
#include "ara/log/log_capture.h"
#include "ara/log/logging.h"
#include "vrt/cm/proloc/proloc_event_instance.h"
#include "wrapper_test_support.h"

namespace {

using namespace camera_driving::test;  // NOLINT(google-build-using-namespace): the tests' own helpers
using ara::log::LogLevel;

// Opens the publisher's pool and refill thread to inspection.
class InspectedPort : public CamDrv2CamDrvPerception_Provide {
  public:
    using CamDrv2CamDrvPerception_Provide::CamDrv2CamDrvPerception_Provide;
    const auto& Pool() const { return samplePool_; }
    const auto& States() const { return slotStates_; }
    bool LoopRuns() const { return refillThread_.joinable(); }
};

class PubWrapperTest : public ::testing::Test {
  protected:
    ara::log::Logger& logger =
        ara::log::CreateLogger("C_D", "Kestrova Camera Driving Module", LogLevel::kDebug);
    ara::log::LogCapture capture;
    ScopedManifest manifest{ProlocManifest()};
};

TEST_F(PubWrapperTest, ConstructionLogsAndOffersNothing) {
    InspectedPort sut("a/port", logger);

    EXPECT_EQ(capture.Count("C_D", LogLevel::kInfo, "Skeleton for: a/port created"), 1U);
    EXPECT_EQ(sut.GetSkeleton(), nullptr);
    EXPECT_EQ(capture.Count("CM", "[Offer service]"), 0U);
}

TEST_F(PubWrapperTest, PublishBeforeInitLogsEveryTimeAndSendsNothing) {
    InspectedPort sut("a/port", logger);

    sut.Publish();
    sut.Publish();

    EXPECT_EQ(
        capture.Count("C_D", LogLevel::kError, "Skeleton must be initialized before it is used @ a/port"),
        2U);
}

TEST_F(PubWrapperTest, InitWithoutLoopAllocatesNothing) {
    InspectedPort sut("a/port", logger);

    sut.Init(false);

    EXPECT_NE(sut.GetSkeleton(), nullptr);
    EXPECT_TRUE(sut.Pool().empty());
    EXPECT_FALSE(sut.LoopRuns());
    EXPECT_EQ(capture.Count("C_D", "Skeleton for: a/port initialized"), 1U);
}

TEST_F(PubWrapperTest, RefillLoopStartsWithTenReadySlotsAndIsJoinedOnDestruction) {
    auto sut = std::make_unique<InspectedPort>("a/port", logger);

    sut->Init(true);

    ASSERT_EQ(sut->Pool().size(), 10U);
    EXPECT_EQ(sut->States(), std::vector<std::int32_t>(10, 0));
    EXPECT_TRUE(sut->LoopRuns());
    sut.reset();  // joins the running loop instead of terminating on a joinable thread

    auto stopped = std::make_unique<InspectedPort>("b/port", logger);
    stopped->Init(true);
    stopped->StopLoop();
    EXPECT_FALSE(stopped->LoopRuns());
}

TEST_F(PubWrapperTest, SharedSkeletonStaysOfferedUntilTheLastPublisherGoes) {
    auto creator = std::make_unique<CamDrv2CamDrvPerception_Provide>("a/one", logger);
    auto sharer = std::make_unique<CamDrv2CamDrvPerceptionTwo_Provide>("a/two", logger);
    creator->Init(false);
    sharer->Init(creator->GetSkeleton(), false);
    auto subscriber = Subscribe<perception::Cam2CamPerceptionStruct>(4098, 28892);
    ASSERT_TRUE(subscriber);

    creator.reset();
    EXPECT_EQ(capture.Count("CM", "[Stop offer service]"), 0U);
    sharer->Publish();
    EXPECT_EQ(subscriber->GetMessageNumber(kClient), 1U) << "the sharer lost its event with the creator";
    sharer.reset();

    EXPECT_EQ(capture.Count("CM", "[Stop offer service]"), 1U);
    EXPECT_EQ(capture.Count("C_D", "Initializing skeleton for: a/two"), 0U)
        << "the sharing Init never offers";
}

TEST_F(PubWrapperTest, UntouchedSampleIsSentDefaultConstructed) {
    class Untouched : public PubDataWrapper<perception::Cam2CamPerceptionStruct> {
      public:
        void GetData(std::unique_ptr<perception::Cam2CamPerceptionStruct>& /*sample*/) override {}
    };
    class Port : public PubWrapper<CameraDrivingServiceSkeleton, PerceptionEvent,
                                   perception::Cam2CamPerceptionStruct> {
      public:
        Port(ara::log::Logger& log) : PubWrapper(source_, "a/plain", log) {}
        PerceptionEvent* GetEvent() override { return &skeleton_->Cam2CamPerceptionEvent1; }

      private:
        Untouched source_;
    };
    Port sut(logger);
    sut.Init(false);
    auto memory = sut.GetEvent()->ProlocMemory();
    ASSERT_NE(memory, nullptr);
    memory->EnableEventClient(9, 1, nullptr);

    sut.Publish();

    const auto sample = memory->LoadData(9);
    ASSERT_NE(sample, nullptr);
    EXPECT_EQ(*sample, perception::Cam2CamPerceptionStruct());
    memory->UnSubscribeClient(9);
}

}  // namespace
