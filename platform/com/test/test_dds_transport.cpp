// The DDS binding inside one process, on Cyclone over loopback: the event adapter sends on DDS beside
// process-local delivery, the subscriber API reads it back, and the faults the binding must survive: an
// unusable configuration, a topic name used with another type, a taker that falls behind, a reader that goes.
#include <gtest/gtest.h>

#include <dds/dds.h>

#include <chrono>
#include <thread>

#include <unistd.h>

#include "ara/com/internal/skeleton/event/event_adapter.h"
#include "ara/com/internal/skeleton/skeleton_adapter.h"
#include "ara/log/log_capture.h"
#include "ara/log/logging.h"
#include "builtin_interfaces/msg/Time.h"
#include "camera_test/eventually.h"
#include "dds_test_support.h"
#include "hal_buff/hal_buff.h"
#include "impl_type_camerah265image.h"
#include "perception/impl_type_cam2camperceptionstruct.h"
#include "vrt/cm/event_subscriber.h"

namespace {

using ara::com::internal::skeleton::SkeletonAdapter;
using ara::com::internal::skeleton::event::EventAdapter;
using vrt::cm::EventSubscriber;
using vrt::cm::test::CycloneConfig;
using vrt::cm::test::DdsManifest;
using vrt::cm::test::ScopedManifest;
using vrt::cm::test::TestDomainId;
using vrt::cm::type::DriverType;

constexpr std::uint32_t kEvent = 35045;
const vrt::cm::type::ServiceIdentifierType kService("/test/Visualization");

using camera_test::Eventually;

// An H.264 access unit: parameter sets and an IDR slice for a key frame, a P slice otherwise; `tag` marks it.
std::vector<std::uint8_t> Frame(bool key, std::uint8_t tag, std::size_t padding = 0) {
    std::vector<std::uint8_t> bytes =
        key ? std::vector<std::uint8_t>{0, 0, 0,    1,    0x67, 0x42, 0, 0x1E, 0,  0,
                                        0, 1, 0x68, 0xCE, 0,    0,    1, 0x65, tag}
            : std::vector<std::uint8_t>{0, 0, 0, 1, 0x41, 0x9A, tag};
    bytes.insert(bytes.end(), padding, tag);
    return bytes;
}

CameraH265Image Image(std::int8_t camera, std::int32_t index, bool key, std::size_t padding = 0) {
    CameraH265Image image;
    image.typeCode = 20;
    image.cameraId = camera;
    image.data = Frame(key, static_cast<std::uint8_t>(index), padding);
    image.header.sec = index;
    image.header.nsec = 1000 * index;
    image.isKeyFrame = key;
    return image;
}

class DdsTransportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ara::log::CreateLogger("CM", "Communication middleware", ara::log::LogLevel::kVerbose);
        config = manifest.Directory() + "/cyclonedds.xml";
        ASSERT_TRUE(camera_test::WriteFile(config, CycloneConfig("127.0.0.1", "127.0.0.1")));
    }

    std::unique_ptr<EventAdapter<CameraH265Image>> MakeEvent() {
        return std::make_unique<EventAdapter<CameraH265Image>>(skeleton.GetSkeleton(), kEvent, kService,
                                                               ara::core::InstanceSpecifier("test/port"));
    }

    std::unique_ptr<EventSubscriber<CameraH265Image>> Subscribe(std::uint64_t capacity = 16) {
        EventSubscriber<CameraH265Image>::Options options;
        options.transport = DriverType::DDS;
        options.queueCapacity = capacity;
        auto created = EventSubscriber<CameraH265Image>::Create(kEvent, options);
        EXPECT_TRUE(created.HasValue()) << (created.HasValue() ? "" : created.Error().message);
        return created.HasValue() ? std::move(created).Value() : nullptr;
    }

    ScopedManifest manifest{"{}"};
    std::string config;
    SkeletonAdapter skeleton{kService, ara::core::InstanceSpecifier("test/port"),
                             vrt::cm::type::MethodCallProcessingMode::kEvent};
    ara::log::LogCapture capture;
};

TEST_F(DdsTransportTest, EventGoesOnDdsBesideProcessLocalDelivery) {
    manifest.Write(DdsManifest(kEvent, TestDomainId(), config));
    auto event = MakeEvent();
    ASSERT_TRUE(event->Initialize().HasValue());
    EXPECT_EQ(event->Transports(), (std::vector<DriverType>{DriverType::PROLOC, DriverType::DDS}));
    auto local = event->ProlocMemory();
    ASSERT_NE(local, nullptr);
    local->EnableEventClient(1, 8, nullptr);
    auto sut = Subscribe();
    ASSERT_NE(sut, nullptr);
    skeleton.OfferService();
    ASSERT_TRUE(Eventually([&] { return event->HasRemoteSubscribers() && sut->IsConnected(); }));

    for (std::int32_t i = 0; i < 8; ++i) {
        event->Send(Image(static_cast<std::int8_t>(i % 4), i, i < 4));
    }
    std::vector<CameraH265Image> received;
    CameraH265Image record;
    vrt::cm::SampleHeader header;
    while (received.size() < 8U && sut->WaitForData(std::chrono::seconds(5))) {
        while (auto outcome = sut->TryReceive(record, &header)) {
            ASSERT_TRUE(outcome->IsSuccess());
            EXPECT_EQ(header.sequence, received.size());
            received.push_back(record);
        }
    }
    ASSERT_EQ(received.size(), 8U);
    for (std::int32_t i = 0; i < 8; ++i) {
        const CameraH265Image sent = Image(static_cast<std::int8_t>(i % 4), i, i < 4);
        EXPECT_EQ(received[i].cameraId, sent.cameraId);
        EXPECT_EQ(received[i].data, sent.data);
        EXPECT_EQ(received[i].header.sec, i);
        EXPECT_EQ(received[i].header.nsec, 1000 * i);
        EXPECT_EQ(received[i].header.frameId, "cam_" + std::to_string(8 + i % 4));
        EXPECT_EQ(received[i].isKeyFrame, i < 4);
    }
    EXPECT_EQ(local->GetMessageNumber(1), 8U);
    EXPECT_EQ(sut->MissedSamples(), 0U);
}

TEST_F(DdsTransportTest, UnusableCycloneConfigurationFailsInitializationNamingTheFile) {
    ASSERT_TRUE(camera_test::WriteFile(config, "<CycloneDDS><Domain><NoSuchSetting/></Domain></CycloneDDS>"));
    manifest.Write(DdsManifest(kEvent, TestDomainId(1), config));
    auto event = MakeEvent();
    EXPECT_FALSE(event->Initialize().HasValue());
    EXPECT_EQ(capture.Count("CM", ara::log::LogLevel::kError, "[DDS publisher not created]"), 1U);
    EXPECT_EQ(capture.Count("CM", "DDS network key config: " + config + ": Cyclone DDS refuses it"), 1U);
    EXPECT_EQ(capture.Count("CM", "NoSuchSetting: unknown element"), 1U) << "Cyclone's own reason";
}

TEST_F(DdsTransportTest, TopicNameUsedWithAnotherTypeIsCountedAndTheStreamGoesOn) {
    manifest.Write(DdsManifest(kEvent, TestDomainId(), config, ", \"qos\": \"reliable\""));
    auto event = MakeEvent();
    ASSERT_TRUE(event->Initialize().HasValue());
    auto sut = Subscribe();
    ASSERT_NE(sut, nullptr);
    skeleton.OfferService();
    ASSERT_TRUE(Eventually([&] { return sut->IsConnected(); }));

    // Another participant writes builtin_interfaces/Time on camera 1's topic name (platform id 9).
    const dds_entity_t stranger = dds_create_participant(TestDomainId(), nullptr, nullptr);
    ASSERT_GT(stranger, 0);
    const dds_entity_t topic = dds_create_topic(stranger, &builtin_interfaces_msg_dds__Time__desc,
                                                "rt/vrt_test/cam_9/video", nullptr, nullptr);
    ASSERT_GT(topic, 0) << dds_strretcode(topic);
    const dds_entity_t writer = dds_create_writer(stranger, topic, nullptr, nullptr);
    ASSERT_GT(writer, 0);
    builtin_interfaces_msg_dds__Time_ time{1, 2};
    EXPECT_EQ(dds_write(writer, &time), DDS_RETCODE_OK);

    const auto& counters = static_cast<const vrt::cm::dds::DdsEventReceiver&>(sut->Transport()).Counters();
    EXPECT_TRUE(Eventually([&] { return counters.foreignType.load() >= 1U; })) << counters.Describe();
    event->Send(Image(1, 5, true));
    ASSERT_TRUE(sut->WaitForData(std::chrono::seconds(5)));
    CameraH265Image record;
    const auto outcome = sut->TryReceive(record);
    ASSERT_TRUE(outcome && outcome->IsSuccess());
    EXPECT_EQ(record.data, Image(1, 5, true).data);
    EXPECT_FALSE(sut->WaitForData(std::chrono::milliseconds(100))) << "the stranger's sample never arrives";
    EXPECT_EQ(sut->DecodeFailures(), 0U);
    dds_delete(stranger);
}

TEST_F(DdsTransportTest, SlowTakerLosesTheOldestSamplesAndCountsThem) {
    manifest.Write(DdsManifest(kEvent, TestDomainId(), config, ", \"qos\": \"reliable\""));
    auto event = MakeEvent();
    ASSERT_TRUE(event->Initialize().HasValue());
    auto sut = Subscribe(2);
    ASSERT_NE(sut, nullptr);
    skeleton.OfferService();
    ASSERT_TRUE(Eventually([&] { return event->HasRemoteSubscribers(); }));

    for (std::int32_t i = 0; i < 6; ++i) {
        event->Send(Image(0, i, true, 1000));
    }
    ASSERT_TRUE(Eventually([&] { return sut->MissedSamples() == 4U; })) << sut->MissedSamples();
    CameraH265Image record;
    vrt::cm::SampleHeader header;
    std::vector<std::uint64_t> sequences;
    std::vector<std::int32_t> indices;
    while (auto outcome = sut->TryReceive(record, &header)) {
        sequences.push_back(header.sequence);
        indices.push_back(record.header.sec);
    }
    EXPECT_EQ(indices, (std::vector<std::int32_t>{4, 5})) << "the newest stay";
    EXPECT_EQ(sequences, (std::vector<std::uint64_t>{4, 5})) << "the gap shows in the sequence";
}

TEST_F(DdsTransportTest, ReaderThatGoesAwayIsCountedAndTheEventHasNoSubscriberLeft) {
    manifest.Write(DdsManifest(kEvent, TestDomainId(), config));
    auto event = MakeEvent();
    ASSERT_TRUE(event->Initialize().HasValue());
    auto sut = Subscribe();
    ASSERT_NE(sut, nullptr);
    skeleton.OfferService();
    ASSERT_TRUE(Eventually([&] { return event->HasRemoteSubscribers(); }));
    sut.reset();
    EXPECT_TRUE(Eventually([&] { return !event->HasRemoteSubscribers(); }));
    // Sends without readers cost nothing and fail nothing.
    event->Send(Image(0, 1, true));
    skeleton.StopOfferService();
}

TEST_F(DdsTransportTest, SomeipAndDdsCarryTheSameEventAtOnce) {
    const std::uint16_t port = static_cast<std::uint16_t>(24000 + (::getpid() % 1000) * 2);
    const std::string transports =
        R"({"SOMEIP": {"serialization": {"type": 1, "byteOrder": 0, "stringLength": 4, "vectorLength": 4},
             "network": {"port": )" +
        std::to_string(port) + R"(, "sdPort": )" + std::to_string(port + 1) +
        R"(, "offerIntervalMs": 100, "offerTtl": 1}},
           "DDS": {"network": {"domainId": )" +
        std::to_string(TestDomainId()) + R"(, "prefix": "vrt_test", "qos": "reliable", "config": ")" +
        config + R"("}}})";
    manifest.Write(
        vrt::cm::test::Manifest(vrt::cm::test::EventEntry(kEvent, "CameraH265ImageEvent", transports)));
    auto event = MakeEvent();
    ASSERT_TRUE(event->Initialize().HasValue());
    EXPECT_EQ(event->Transports(), (std::vector<DriverType>{DriverType::SOMEIP, DriverType::DDS}));
    auto dds = Subscribe();
    ASSERT_NE(dds, nullptr);
    EventSubscriber<CameraH265Image>::Options options;
    options.transport = DriverType::SOMEIP;
    auto someip = EventSubscriber<CameraH265Image>::Create(kEvent, options);
    ASSERT_TRUE(someip.HasValue()) << someip.Error().message;
    skeleton.OfferService();
    ASSERT_TRUE(Eventually([&] { return dds->IsConnected() && someip.Value()->IsConnected(); }));

    event->Send(Image(2, 7, true, 3000));
    for (auto* sut : {dds.get(), someip.Value().get()}) {
        ASSERT_TRUE(sut->WaitForData(std::chrono::seconds(5)));
        CameraH265Image record;
        const auto outcome = sut->TryReceive(record);
        ASSERT_TRUE(outcome && outcome->IsSuccess());
        EXPECT_EQ(record.cameraId, 2);
        EXPECT_EQ(record.data, Image(2, 7, true, 3000).data);
        EXPECT_EQ(record.header.sec, 7);
    }
    skeleton.StopOfferService();
}

// The buffer service while the test runs.
struct BufferService {
    BufferService() {
        const HalBuffCfg config{};
        ok = halBuffInit(&config) == HAL_BUFF_OK;
    }
    ~BufferService() { halBuffDeinit(); }
    bool ok{false};
};

// A pool of 4 kB blocks for the perception records' bytes.
struct BlockPool {
    BlockPool() {
        HalBuffPoolAttr attr{};
        attr.blkSize = 4096;
        attr.blkNum = 16;
        attr.align = 64;
        if (halBuffCreatePool(&attr, &pool) != HAL_BUFF_OK) {
            pool = nullptr;
        }
    }
    ~BlockPool() {
        if (pool != nullptr) {
            halBuffDestroyPool(pool);
        }
    }
    // A block holding `size` bytes counting up from `first`, or null.
    Mbuf* Block(std::uint8_t first, std::size_t size) const {
        Mbuf* block = nullptr;
        void* data = nullptr;
        std::uint64_t capacity = 0;
        if (halMbufAllocByPool(pool, &block) != HAL_BUFF_OK ||
            halMbufGetDataPtr(block, &data, &capacity) != HAL_BUFF_OK || capacity < size) {
            return nullptr;
        }
        for (std::size_t i = 0; i < size; ++i) {
            static_cast<std::uint8_t*>(data)[i] = static_cast<std::uint8_t>(first + i);
        }
        halMbufSetDataLen(block, size);
        return block;
    }
    PoolHandle pool{nullptr};
};

TEST_F(DdsTransportTest, PerceptionRecordsTravelWithTheirBlocksOnTheirCamerasTopic) {
    constexpr std::uint32_t kPerception = 8193;
    manifest.Write(vrt::cm::test::Manifest(vrt::cm::test::EventEntry(
        kPerception, "CamDrv2CamDrvPerception",
        R"({"DDS": {"network": {"domainId": )" + std::to_string(TestDomainId()) +
            R"(, "prefix": "vrt_test", "qos": "reliable", "cameras": [9], "config": ")" + config +
            R"("}}})")));
    BufferService service;
    ASSERT_TRUE(service.ok);
    BlockPool sending;
    BlockPool receiving;
    ASSERT_NE(sending.pool, nullptr);
    ASSERT_NE(receiving.pool, nullptr);
    EventAdapter<perception::Cam2CamPerceptionStruct> event(skeleton.GetSkeleton(), kPerception, kService,
                                                            ara::core::InstanceSpecifier("test/port"));
    ASSERT_TRUE(event.Initialize().HasValue());
    EventSubscriber<perception::Cam2CamPerceptionStruct>::Options options;
    options.transport = DriverType::DDS;
    options.blockPool = receiving.pool;
    auto sut = EventSubscriber<perception::Cam2CamPerceptionStruct>::Create(kPerception, options);
    ASSERT_TRUE(sut.HasValue()) << sut.Error().message;
    EXPECT_EQ(static_cast<const vrt::cm::dds::DdsEventReceiver&>(sut.Value()->Transport()).TopicNames(),
              std::vector<std::string>{"rt/vrt_test/cam_9/perception"});
    skeleton.OfferService();
    ASSERT_TRUE(Eventually([&] { return event.HasRemoteSubscribers(); }));

    // Twice the sending pool's blocks: the pool lasts only if every sent block is freed.
    for (int i = 0; i < 32; ++i) {
        perception::Cam2CamPerceptionStruct record;
        record.typeCode = i;
        record.seq = static_cast<std::int8_t>(i);
        record.header.sec = i;
        record.header.frameId = "cam9";
        record.SetMbufPtr(sending.Block(static_cast<std::uint8_t>(i), 100U + static_cast<std::size_t>(i)));
        ASSERT_NE(record.GetMbufPtr(), nullptr) << "sent blocks are not freed: " << i;
        event.Send(record);
        ASSERT_TRUE(sut.Value()->WaitForData(std::chrono::seconds(5)));
        perception::Cam2CamPerceptionStruct received;
        const auto outcome = sut.Value()->TryReceive(received);
        ASSERT_TRUE(outcome && outcome->IsSuccess());
        EXPECT_EQ(received.typeCode, i);
        EXPECT_EQ(received.header.frameId, "cam9");
        ASSERT_NE(received.GetMbufPtr(), nullptr);
        void* data = nullptr;
        std::uint64_t capacity = 0;
        std::uint64_t length = 0;
        ASSERT_EQ(halMbufGetDataPtr(received.GetMbufPtr(), &data, &capacity), HAL_BUFF_OK);
        ASSERT_EQ(halMbufGetDataLen(received.GetMbufPtr(), &length), HAL_BUFF_OK);
        ASSERT_EQ(length, 100U + static_cast<std::size_t>(i));
        EXPECT_EQ(static_cast<const std::uint8_t*>(data)[length - 1],
                  static_cast<std::uint8_t>(i + length - 1));
        halMbufFree(received.GetMbufPtr());
    }
    EXPECT_EQ(sut.Value()->BlocksDropped(), 0U);
    skeleton.StopOfferService();
}

}  // namespace
