#include "ara/com/internal/skeleton/event/event_adapter.h"

#include <gtest/gtest.h>

#include "ara/log/log_capture.h"
#include "ara/log/logging.h"
#include "com_test_support.h"
#include "impl_type_camerah265image.h"

namespace {

using ara::com::internal::skeleton::SkeletonAdapter;
using ara::com::internal::skeleton::event::EventAdapter;
using ara::log::LogLevel;
using vrt::cm::test::EventEntry;
using vrt::cm::test::Manifest;
using vrt::cm::test::ProlocOnly;
using vrt::cm::test::ScopedManifest;
using vrt::cm::type::DriverType;

constexpr std::uint32_t kImageEvent = 35045;
const char* kSignalConfig = R"({"type": 2, "pdu": {"name": "ImagePdu", "length": 64, "signals": [
    {"name": "typeCode", "pos": 0, "length": 32, "byteOrder": 1},
    {"name": "cameraId", "pos": 32, "length": 8, "byteOrder": 1},
    {"name": "data", "pos": 40, "length": 64, "byteOrder": 1, "dynamic": true}]}})";

class EventAdapterTest : public ::testing::Test {
  protected:
    void SetUp() override { ara::log::CreateLogger("CM", "Communication middleware", LogLevel::kVerbose); }

    SkeletonAdapter skeleton{vrt::cm::type::ServiceIdentifierType("/test/Visualization"),
                             ara::core::InstanceSpecifier("test/port"),
                             vrt::cm::type::MethodCallProcessingMode::kEvent};
    ara::log::LogCapture capture;

    std::unique_ptr<EventAdapter<CameraH265Image>> MakeImageEvent(std::uint32_t entityId = kImageEvent) {
        return std::make_unique<EventAdapter<CameraH265Image>>(
            skeleton.GetSkeleton(), entityId, vrt::cm::type::ServiceIdentifierType("/test/Visualization"),
            ara::core::InstanceSpecifier("test/port"));
    }
};

TEST_F(EventAdapterTest, InitializedProlocEventDeliversSentSamplesToClients) {
    ScopedManifest manifest(Manifest(EventEntry(kImageEvent, "CameraH265ImageEvent", ProlocOnly())));
    auto sut = MakeImageEvent();

    ASSERT_TRUE(sut->Initialize().HasValue());
    auto memory = sut->ProlocMemory();
    ASSERT_NE(memory, nullptr);
    memory->EnableEventClient(1, 4, nullptr);
    auto sample = sut->Allocate();
    sample->typeCode = 20;
    sample->data = {1, 2, 3};
    sut->Send(std::move(sample));
    sut->Send(std::unique_ptr<CameraH265Image>());

    ASSERT_EQ(memory->GetMessageNumber(1), 1U) << "a null sample sends nothing";
    auto received = memory->LoadData(1);
    EXPECT_EQ(received->typeCode, 20);
    EXPECT_EQ(received->data, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_EQ(capture.Count("CM", LogLevel::kInfo,
                            "[EventAdapterBase][Create event success][UUID=4097-1-35045-PROLOC]"),
              1U);
}

TEST_F(EventAdapterTest, SignalConfigurationIsRejectedAndItsTransportDropped) {
    ScopedManifest manifest(Manifest(
        EventEntry(kImageEvent, "CameraH265ImageEvent",
                   std::string(R"({"PROLOC": {"serialization": )") + vrt::cm::test::kShmSerialization +
                       R"(}, "SOMEIP": {"serialization": )" + kSignalConfig + "}}")));
    auto sut = MakeImageEvent();

    ASSERT_TRUE(sut->Initialize().HasValue());

    EXPECT_EQ(sut->Transports(), std::vector<DriverType>{DriverType::PROLOC});
    EXPECT_EQ(
        capture.Count("CM", LogLevel::kError,
                      "[EventAdapterBase][Initialize event failed for wrong serialization configuration]"
                      "[shortName=CameraH265ImageEvent, driver=SOMEIP"),
        1U);
    EXPECT_EQ(capture.Count("CM", "Not supported data type for signal serialization"), 1U);
    EXPECT_EQ(capture.Count("CM", "[Create event success]"), 1U);
}

TEST_F(EventAdapterTest, NoTransportLeftFailsWithNetworkBindingFailure) {
    ScopedManifest manifest(Manifest(EventEntry(
        kImageEvent, "CameraH265ImageEvent",
        std::string(R"({"SHM": {"serialization": )") + kSignalConfig + R"(}, "PROLOC": {"vlan": "7"}})")));
    auto sut = MakeImageEvent();

    const auto result = sut->Initialize();

    ASSERT_FALSE(result.HasValue());
    EXPECT_EQ(result.Error(), vrt::cm::type::MakeErrorCode(vrt::cm::type::ComErrc::kNetworkBindingFailure));
    EXPECT_EQ(result.Error().Message(), "kNetworkBindingFailure");
    EXPECT_EQ(
        capture.Count("CM", LogLevel::kError,
                      "[EventAdapterBase][Unknown event serialization configuration][vlan=7, serviceName_="
                      "TestService, instanceId=1, shortName=CameraH265ImageEvent"),
        1U);
    EXPECT_EQ(capture.Count("CM", "[Create event success]"), 0U);
    EXPECT_FALSE(sut->IsInitialized());
}

TEST_F(EventAdapterTest, UnusableDeploymentNamesFileAndPlace) {
    ScopedManifest manifest(Manifest(EventEntry(1, "Other", ProlocOnly())));
    auto missing = MakeImageEvent();
    ASSERT_FALSE(missing->Initialize().HasValue());
    EXPECT_EQ(capture.Count("CM", LogLevel::kError, manifest.Path() + ": /events/35045: missing"), 1U);

    manifest.Write(R"({"events": {"35045": {"shortName": 5}}})");
    ASSERT_FALSE(MakeImageEvent()->Initialize().HasValue());
    EXPECT_EQ(capture.Count("CM", LogLevel::kError,
                            manifest.Path() + ": /events/35045/shortName: expected a string, found number"),
              1U);
}

TEST_F(EventAdapterTest, EventDeployedForAnotherServiceIsRefused) {
    ScopedManifest manifest(R"({"events": {"35045": {"shortName": "e", "serviceName": "S", "serviceId": 1,
        "instanceId": "1", "serviceIdentifier": "/other/Service", "transports": {}}}})");
    ASSERT_FALSE(MakeImageEvent()->Initialize().HasValue());
    EXPECT_EQ(capture.Count("CM", "/events/35045/serviceIdentifier: expected \"/test/Visualization\""), 1U);
}

TEST_F(EventAdapterTest, UninitializedEventAttachesItsProlocMemoryAtFirstSend) {
    ScopedManifest manifest(
        Manifest(EventEntry(kImageEvent, "CameraH265ImageEvent", ProlocOnly(), 4097, "first")));
    vrt::cm::proloc::ProlocEntityIndex index;
    index.serviceId = 4097;
    index.instanceId = "first";
    index.entityId = kImageEvent;
    auto memory =
        vrt::cm::proloc::ProlocEventInstanceImpl<CameraH265Image>::GetInstance()->FindAndAddProlocEventMemory(
            index, false);
    memory->EnableEventClient(5, 4, nullptr);
    auto sut = MakeImageEvent();
    EXPECT_EQ(sut->ProlocMemory(), nullptr);

    sut->Send(std::make_unique<CameraH265Image>());
    manifest.Write("not read again");
    sut->Send(std::make_unique<CameraH265Image>());

    EXPECT_EQ(sut->ProlocMemory(), memory);
    EXPECT_EQ(memory->GetMessageNumber(5), 2U) << "the deployment is asked once, at the first send";
    vrt::cm::proloc::ProlocEventInstanceImpl<CameraH265Image>::GetInstance()->DeleteProlocEventMemory(index);
}

TEST(SkeletonAdapterTest, MethodThreadSettingIsRefusedWhereItCannotApply) {
    SkeletonAdapter sut(vrt::cm::type::ServiceIdentifierType("/s/S"), ara::core::InstanceSpecifier("a/b"),
                        vrt::cm::type::MethodCallProcessingMode::kEvent);
    EXPECT_EQ(sut.GetMethodThreadNumber(0), 0U);
    EXPECT_FALSE(sut.SetMethodThreadNumber(1, 0));
    EXPECT_FALSE(sut.SetMethodThreadNumber(SkeletonAdapter::kMaxMethodThreads + 1, 1024));
    EXPECT_TRUE(sut.SetMethodThreadNumber(0, 1024));
    EXPECT_EQ(sut.GetMethodThreadNumber(3), 0U);
    EXPECT_EQ(sut.GetMethodQueueSize(), 1024U);
    sut.OfferService();
    EXPECT_FALSE(sut.SetMethodThreadNumber(2, 1024)) << "not once offered";

    SkeletonAdapter poll(vrt::cm::type::ServiceIdentifierType("/s/S"), ara::core::InstanceSpecifier("a/b"),
                         vrt::cm::type::MethodCallProcessingMode::kPoll);
    EXPECT_FALSE(poll.SetMethodThreadNumber(1, 1024));
}

TEST(SkeletonAdapterTest, OfferStateAndE2EHandler) {
    SkeletonAdapter sut(vrt::cm::type::ServiceIdentifierType("/s/S"), ara::core::InstanceSpecifier("a/b"),
                        vrt::cm::type::MethodCallProcessingMode::kEvent);
    std::uint32_t counter = 0;
    sut.ReportE2EError(vrt::cm::type::E2EErrorCode::kRepeated, {}, 1);  // no handler yet: ignored
    sut.RegisterE2EErrorHandler([&counter](vrt::cm::type::E2EErrorCode, const std::vector<std::uint32_t>&,
                                           std::uint32_t c) { counter = c; });
    sut.ReportE2EError(vrt::cm::type::E2EErrorCode::kWrongSequence, {1}, 9);
    EXPECT_EQ(counter, 9U);

    EXPECT_FALSE(sut.IsOffered());
    sut.OfferService();
    EXPECT_TRUE(sut.IsOffered());
    sut.StopOfferService();
    EXPECT_FALSE(sut.IsOffered());
}

}  // namespace
