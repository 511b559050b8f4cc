#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "CameraDriving_GeneralWrapper.h"
#include "ara/log/log_capture.h"
#include "ara/log/logging.h"
#include "wrapper_test_support.h"

namespace {

using namespace camera_driving::test;  // NOLINT(google-build-using-namespace): the tests' own helpers
using ara::log::LogLevel;
using Perception = perception::Cam2CamPerceptionStruct;

class GeneralWrapperTest : public ::testing::Test {
  protected:
    ara::log::Logger& logger =
        ara::log::CreateLogger("C_D", "Kestrova Camera Driving Module", LogLevel::kDebug);
    ara::log::LogCapture capture;
};

// The perception ports share one instance, so each port publishes on its own event of it.
class GeneralWrapperPerceptionTest : public GeneralWrapperTest {
  protected:
    ScopedManifest manifest{ProlocManifest()};
    GeneralWrapper sut{logger};
    // The first port's event, subscribed before anything is published.
    std::shared_ptr<vrt::cm::proloc::ProlocEventMemoryImpl<Perception>> first =
        Subscribe<Perception>(4098, 30182);
};

TEST_F(GeneralWrapperTest, ConstructionOffersBothInstancesThroughTwoCreatingPorts) {
    ScopedManifest manifest(ProlocManifest());

    GeneralWrapper sut(logger);

    EXPECT_EQ(capture.Count("C_D", LogLevel::kInfo, "Initializing skeleton for:"), 2U);
    EXPECT_EQ(
        capture.Count("C_D", "Initializing skeleton for: camera_drv/camera_drv/CamDrv2VisualizationPPort"),
        1U);
    EXPECT_EQ(
        capture.Count("C_D", "Initializing skeleton for: camera_drv/camera_drv/CamDrv2CamDrvPerceptionPPort"),
        1U);
    EXPECT_EQ(capture.Count("C_D", LogLevel::kInfo, " created"), 5U);
    EXPECT_EQ(capture.Count("C_D", LogLevel::kInfo, " initialized"), 5U);
    EXPECT_EQ(capture.Count("CM", "[SkeletonAdapter][Offer service]"), 2U);
    EXPECT_EQ(sut.camDrv2CamDrvPerceptionTwo.GetSkeleton(), sut.camDrv2CamDrvPerception.GetSkeleton());
    EXPECT_EQ(sut.camDrv2CamDrvPerceptionFour.GetSkeleton(), sut.camDrv2CamDrvPerception.GetSkeleton());
}

TEST_F(GeneralWrapperTest, EachPerceptionPortSendsOnItsOwnEventOfTheSharedInstance) {
    ScopedManifest manifest(ProlocManifest());
    GeneralWrapper sut(logger);
    const std::uint32_t eventIds[] = {30182, 28892, 5485, 50588};  // Cam2CamPerceptionEvent1 to 4
    const std::function<void()> publish[] = {[&] { sut.camDrv2CamDrvPerception.Publish(); },
                                             [&] { sut.camDrv2CamDrvPerceptionTwo.Publish(); },
                                             [&] { sut.camDrv2CamDrvPerceptionThree.Publish(); },
                                             [&] { sut.camDrv2CamDrvPerceptionFour.Publish(); }};
    std::shared_ptr<vrt::cm::proloc::ProlocEventMemoryImpl<Perception>> proxies[4];
    for (std::size_t event = 0; event < 4; ++event) {
        proxies[event] = Subscribe<Perception>(4098, eventIds[event]);
        ASSERT_TRUE(proxies[event]);
    }
    for (std::size_t port = 0; port < 4; ++port) {
        publish[port]();
        // Each event has had one sample from its own port so far, none from another.
        for (std::size_t event = 0; event < 4; ++event) {
            EXPECT_EQ(proxies[event]->GetMessageNumber(kClient), event <= port ? 1U : 0U)
                << "after publishing on port " << port + 1 << ", event " << event + 1;
        }
    }
}

TEST_F(GeneralWrapperPerceptionTest, SequenceRunsOnlyOnTheFirstPerceptionPort) {
    auto third = Subscribe<Perception>(4098, 5485);
    ASSERT_TRUE(first && third);

    sut.camDrv2CamDrvPerception.Publish();
    sut.camDrv2CamDrvPerception.Publish();
    sut.camDrv2CamDrvPerceptionThree.Publish();
    sut.camDrv2CamDrvPerceptionThree.Publish();

    const auto a = first->LoadData(kClient);
    const auto b = first->LoadData(kClient);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(b->seq - a->seq, 1);
    const auto c = third->LoadData(kClient);
    const auto d = third->LoadData(kClient);
    ASSERT_TRUE(c && d);
    EXPECT_EQ(c->seq, d->seq);
    EXPECT_EQ(a->header, DriverHeader()) << "no perception data source fills the header";
}

TEST_F(GeneralWrapperTest, VisualizationPublishCarriesTheStoredImageAndWritesGetData) {
    ScopedManifest manifest(ProlocManifest());
    GeneralWrapper sut(logger);
    auto images = Subscribe<CameraH265Image>(4097, 35045);
    ASSERT_TRUE(images);
    vcu::visual::Image image;
    image.data = {0, 0, 0, 1, 0x40};
    image.header.frameId = "vcu_camera_instance_71";
    image.header.stamp.sec = 1700000000U;
    image.header.stamp.nsec = 123000U;
    sut.camDrv2Visualization.GetDataWrapper().publishEncodedImage(image, 2, true);

    testing::internal::CaptureStdout();
    sut.camDrv2Visualization.Publish();
    sut.camDrv2Visualization.Publish();
    const std::string output = testing::internal::GetCapturedStdout();

    EXPECT_EQ(output, "GetData\nGetData\n");
    const auto sample = images->LoadData(kClient);
    ASSERT_NE(sample, nullptr);
    EXPECT_EQ(sample->typeCode, 20);
    EXPECT_EQ(sample->cameraId, 2);
    EXPECT_TRUE(sample->isKeyFrame);
    EXPECT_EQ(sample->data, image.data);
    EXPECT_EQ(sample->header.sec, 1700000000);
    EXPECT_EQ(sample->header.nsec, 123000);
    EXPECT_EQ(sample->header.frameId, "vcu_camera_instance_71");

    // An image the caller is done with is taken over, bytes and all, and published the same way.
    vcu::visual::Image next = image;
    next.data.push_back(0x99);
    sut.camDrv2Visualization.GetDataWrapper().publishEncodedImage(std::move(next), 3, false);
    testing::internal::CaptureStdout();
    sut.camDrv2Visualization.Publish();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "GetData\n");
    std::shared_ptr<const CameraH265Image> moved;
    for (auto loaded = images->LoadData(kClient); loaded != nullptr; loaded = images->LoadData(kClient)) {
        moved = loaded;
    }
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(moved->cameraId, 3);
    EXPECT_EQ(moved->data.size(), image.data.size() + 1);
    EXPECT_EQ(moved->data.back(), 0x99);
}

TEST_F(GeneralWrapperTest, SignalConfigurationOfTheImageEventIsDroppedFromThatTransport) {
    ScopedManifest manifest(ProlocManifest(
        35045,
        std::string(R"({"PROLOC": {"serialization": )") + vrt::cm::test::kShmSerialization +
            R"(}, "SOMEIP": {"serialization": {"type": 2, "pdu": {"name": "P", "length": 8, "signals": []}}}})"));

    GeneralWrapper sut(logger);

    EXPECT_EQ(capture.Count("CM", LogLevel::kError,
                            "[Initialize event failed for wrong serialization configuration][shortName="
                            "CameraH265ImageEvent, driver=SOMEIP"),
              1U);
    EXPECT_EQ(sut.camDrv2Visualization.GetSkeleton()->CameraH265ImageEvent.Transports(),
              std::vector<vrt::cm::type::DriverType>{vrt::cm::type::DriverType::PROLOC});
}

TEST_F(GeneralWrapperTest, EventWithoutUsableTransportFailsConstructionWithCode3) {
    ScopedManifest manifest(ProlocManifest(
        35045,
        R"({"SHM": {"serialization": {"type": 2, "pdu": {"name": "P", "length": 8, "signals": []}}}})"));

    try {
        GeneralWrapper sut(logger);
        FAIL() << "constructed without a usable deployment of the image event";
    } catch (const vrt::cm::type::ComException& error) {
        EXPECT_EQ(error.Error().Value(), 3);
        EXPECT_STREQ(error.what(), "kNetworkBindingFailure");
    }
    EXPECT_EQ(capture.Count("C_D", " created"), 5U);
    EXPECT_EQ(capture.Count("C_D", " initialized"), 0U);
}

TEST_F(GeneralWrapperTest, FailureOfALaterPortStopsTheOffersAlreadyMade) {
    ScopedManifest manifest(ProlocManifest(5485, R"({"PROLOC": {}})"));

    EXPECT_THROW(GeneralWrapper sut(logger), vrt::cm::type::ComException);

    EXPECT_EQ(
        capture.Count("C_D", "Skeleton for: camera_drv/camera_drv/CamDrv2VisualizationPPort initialized"),
        1U);
    EXPECT_EQ(capture.Count("CM", "[Unknown event serialization configuration]"), 1U);
    EXPECT_EQ(capture.Count("CM", "[Stop offer service][service=/kestrova/ap/Service/instance/Visualization"),
              1U);
}

}  // namespace
