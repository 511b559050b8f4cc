#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "hal_buff/hal_buff.h"
#include "perception/impl_type_cam2camperceptionstruct.h"
#include "serialize_test_support.h"
#include "vrt/cm/serialize/dp_raw_data_object.h"
#include "vrt/common/deserializer.h"

namespace vrt::cm::serialize {
namespace {

using common::test::Bytes;
using Record = perception::Cam2CamPerceptionStruct;

// Frees through the real service and counts the calls.
class CountingHandler : public utils::DpAdapterHandler {
  public:
    std::int32_t MbufFree(Mbuf* mbuf) override {
        ++frees;
        return DpAdapterHandler::MbufFree(mbuf);
    }
    int frees{0};
};

class AraDpRawDataObjectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        static const HalBuffCfg config{};
        ASSERT_EQ(halBuffInit(&config), HAL_BUFF_OK);
        HalBuffPoolAttr attr{};
        attr.blkSize = 64;
        attr.blkNum = 2;
        attr.align = 64;
        ASSERT_EQ(halBuffCreatePool(&attr, &pool_), HAL_BUFF_OK);
        ASSERT_EQ(halMbufAllocByPool(pool_, &block_), HAL_BUFF_OK);
        record_.typeCode = 9;
        record_.seq = 1;
        record_.header.frameId = "cam";
        record_.SetMbufPtr(block_);
    }
    void TearDown() override { halBuffDeinit(); }

    static bool IsAllocated(Mbuf* block) {
        std::uint64_t length = 0;
        return halMbufGetDataLen(block, &length) == HAL_BUFF_OK;
    }

    PoolHandle pool_{nullptr};
    Mbuf* block_{nullptr};
    Record record_;
    std::shared_ptr<CountingHandler> handler_ = std::make_shared<CountingHandler>();
    common::Serializer<Record> serializer_{common::test::ShmTransport()};
};

TEST_F(AraDpRawDataObjectTest, FieldsGoToThePrivateDataNotTheMessage) {
    AraDpRawDataObject<Record> sut(record_, handler_);
    EXPECT_EQ(sut.GetObjectType(), ObjectType::kRawData);
    EXPECT_EQ(sut.GetMbuf(), block_);

    const std::size_t size = serializer_.GetSize(record_).Value();
    Bytes message(size, 0xAA);
    ASSERT_TRUE(sut.Serialize(serializer_, message.data(), size).IsSuccess());
    EXPECT_EQ(message, Bytes(size, 0xAA));
    ASSERT_EQ(sut.GetPrivateData().size(), size);

    Record decoded;
    const common::Deserializer<Record> deserializer(common::test::ShmTransport());
    ASSERT_TRUE(deserializer.Deserialize(decoded, sut.GetPrivateData().data(), size).IsSuccess());
    EXPECT_EQ(decoded.header.frameId, "cam");
    EXPECT_EQ(decoded.typeCode, 9);
    EXPECT_TRUE(sut.AttachToMessage().IsSuccess());
}

TEST_F(AraDpRawDataObjectTest, ReleaseFreesTheBlockOnceAndDestructionNever) {
    {
        const Record copy = record_;  // a copy names the same block
        AraDpRawDataObject<Record> kept(copy, handler_);
    }
    EXPECT_TRUE(IsAllocated(block_));
    EXPECT_EQ(handler_->frees, 0);

    AraDpRawDataObject<Record> sut(record_, handler_);
    sut.ReleaseData();
    sut.ReleaseData();
    EXPECT_EQ(handler_->frees, 1);
    EXPECT_EQ(sut.GetMbuf(), nullptr);
    EXPECT_FALSE(IsAllocated(block_));
}

TEST_F(AraDpRawDataObjectTest, RecordWithoutBlockReleasesNothing) {
    Record plain = record_;
    plain.SetMbufPtr(nullptr);
    AraDpRawDataObject<Record> sut(plain, handler_);
    sut.ReleaseData();
    EXPECT_EQ(handler_->frees, 0);
    EXPECT_TRUE(IsAllocated(block_));
}

// Keeps whatever it is given until cleared, as a process-local memory with one client does.
template <typename T>
class HoldingContainer : public DataContainer<T> {
  public:
    const T* StoreData(std::shared_ptr<T> sample) override {
        held.push_back(std::move(sample));
        return held.back().get();
    }
    bool TakesData() const override { return takes; }
    std::vector<std::shared_ptr<T>> held;
    bool takes{true};  // false: as a process-local memory without clients
};

static_assert(kCarriesMbuf<Record>);
static_assert(!kCarriesMbuf<CameraH265Image>);

TEST_F(AraDpRawDataObjectTest, ReleasedBlockIsFreedWhenTheLastStoredCopyGoes) {
    HoldingContainer<Record> container;
    AraDpRawDataObject<Record> sut(record_, handler_, &container);

    const Record* stored = sut.StoreToContainer();
    sut.ReleaseData();

    ASSERT_EQ(container.held.size(), 1U);
    EXPECT_EQ(stored, container.held.front().get());
    EXPECT_NE(stored, &record_);
    EXPECT_EQ(stored->GetMbufPtr(), block_);
    EXPECT_EQ(stored->header.frameId, "cam");
    EXPECT_TRUE(IsAllocated(block_));
    EXPECT_EQ(sut.GetMbuf(), nullptr);

    std::shared_ptr<Record> receiver = container.held.front();
    container.held.clear();
    EXPECT_TRUE(IsAllocated(block_)) << "a receiver still holds the copy";
    receiver.reset();
    EXPECT_FALSE(IsAllocated(block_));
    EXPECT_EQ(handler_->frees, 1);
}

TEST_F(AraDpRawDataObjectTest, StoredCopiesOfAnUnreleasedObjectNeverFree) {
    HoldingContainer<Record> container;
    {
        AraDpRawDataObject<Record> sut(record_, handler_, &container);
        sut.StoreToContainer();
    }
    container.held.clear();
    EXPECT_EQ(handler_->frees, 0);
    EXPECT_TRUE(IsAllocated(block_));
}

class RefusingObject : public AraDpRawDataObject<Record> {
  public:
    using AraDpRawDataObject::AraDpRawDataObject;
    common::serialize::Result SerializePrivateData(std::size_t, std::uint8_t*& destination) override {
        destination = nullptr;
        common::serialize::Result refused;
        refused.SetCode(common::serialize::ResultCode::kConfigMissing);
        refused.SetMessage("no place");
        return refused;
    }
};

TEST_F(AraDpRawDataObjectTest, FailedPrivateDataIsReturnedUnchanged) {
    RefusingObject sut(record_, handler_);
    Bytes message(32, 0xAA);
    const auto result = sut.Serialize(serializer_, message.data(), message.size());
    EXPECT_EQ(result.GetCode(), common::serialize::ResultCode::kConfigMissing);
    EXPECT_EQ(result.GetMessage(), "no place");
    EXPECT_TRUE(sut.GetPrivateData().empty());
    EXPECT_EQ(message, Bytes(32, 0xAA));

    AraDpRawDataObject<Record> tooLarge(record_, handler_);
    std::uint8_t* destination = message.data();
    EXPECT_FALSE(tooLarge.SerializePrivateData(DpRawDataObjectBase::kMaxPrivateDataSize + 1, destination));
    EXPECT_EQ(destination, nullptr);
}

TEST(VrtObjectTest, WritesFieldsIntoTheMessageAndReleasesNothing) {
    const CameraH265Image image = common::test::MakeImage();
    const common::Serializer<CameraH265Image> serializer(common::test::ShmTransport());
    VrtObject<CameraH265Image> sut(image);
    EXPECT_EQ(sut.GetObjectType(), ObjectType::kVrtObject);
    Bytes message(serializer.GetSize(image).Value());
    ASSERT_TRUE(sut.Serialize(serializer, message.data(), message.size()).IsSuccess());
    EXPECT_EQ(message[0], 20);
    sut.ReleaseData();
}

TEST(VrtObjectTest, CopiesTheRecordForItsContainerOnlyWhenTheContainerTakesIt) {
    const CameraH265Image image = common::test::MakeImage();
    HoldingContainer<CameraH265Image> container;
    container.takes = false;
    VrtObject<CameraH265Image> sut(image, &container);
    EXPECT_EQ(sut.StoreToContainer(), nullptr);
    EXPECT_TRUE(container.held.empty());  // no copy for nobody
    container.takes = true;
    const CameraH265Image* stored = sut.StoreToContainer();
    ASSERT_NE(stored, nullptr);
    EXPECT_NE(stored, &image);
    EXPECT_EQ(stored->data, image.data);
}

}  // namespace
}  // namespace vrt::cm::serialize
