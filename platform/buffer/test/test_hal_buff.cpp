#include "hal_buff/hal_buff.h"

#include <cstdint>
#include <set>
#include <vector>

#include <gtest/gtest.h>

namespace {

class HalBuffTest : public ::testing::Test {
  protected:
    void SetUp() override {
        halBuffDeinit();
        const HalBuffCfg cfg{};
        ASSERT_EQ(halBuffInit(&cfg), HAL_BUFF_OK);
    }
    void TearDown() override { halBuffDeinit(); }

    static HalBuffPoolAttr Attr(std::uint32_t blockSize, std::uint32_t blockCount, std::uint32_t align = 32) {
        HalBuffPoolAttr attr{};
        attr.blkSize = blockSize;
        attr.blkNum = blockCount;
        attr.align = align;
        return attr;
    }
    // Creates a pool and allocates every block of it.
    static std::vector<Mbuf*> DrainedPool(const HalBuffPoolAttr& attr, PoolHandle* pool) {
        EXPECT_EQ(halBuffCreatePool(&attr, pool), HAL_BUFF_OK);
        std::vector<Mbuf*> blocks;
        Mbuf* mbuf = nullptr;
        while (halMbufAllocByPool(*pool, &mbuf) == HAL_BUFF_OK) {
            blocks.push_back(mbuf);
        }
        return blocks;
    }

    PoolHandle pool{nullptr};
};

TEST_F(HalBuffTest, CreatePoolRefusesInvalidAttributesWithoutWritingHandle) {
    for (const HalBuffPoolAttr& attr :
         {Attr(0, 2), Attr(64, 0), Attr(64, 2, 0), Attr(64, 2, 48), Attr(64, 2, 2 * kHalBuffMaxAlignment)}) {
        EXPECT_EQ(halBuffCreatePool(&attr, &pool), HAL_BUFF_ERR_INVALID_ATTR)
            << attr.blkSize << " x " << attr.blkNum << " align " << attr.align;
    }
    const HalBuffPoolAttr huge = Attr(0xffffffffU, 0xffffffffU);
    EXPECT_EQ(halBuffCreatePool(&huge, &pool), HAL_BUFF_ERR_NO_MEMORY);
    ASSERT_EQ(halBuffDeinit(), HAL_BUFF_OK);
    const HalBuffPoolAttr valid = Attr(64, 2);
    EXPECT_EQ(halBuffCreatePool(&valid, &pool), HAL_BUFF_ERR_NOT_INITIALIZED);
    EXPECT_EQ(pool, nullptr);
}

TEST_F(HalBuffTest, BlocksAreDisjointAlignedDataAreasWithBoundedLength) {
    const std::vector<Mbuf*> blocks = DrainedPool(Attr(100, 3, 64), &pool);
    ASSERT_EQ(blocks.size(), 3U);
    std::set<std::uintptr_t> starts;
    for (Mbuf* mbuf : blocks) {
        void* data = nullptr;
        std::uint64_t size = 0;
        ASSERT_EQ(halMbufGetDataPtr(mbuf, &data, &size), HAL_BUFF_OK);
        EXPECT_EQ(size, 100U);
        starts.insert(reinterpret_cast<std::uintptr_t>(data));
    }
    ASSERT_EQ(starts.size(), 3U);
    for (auto it = starts.begin(), next = std::next(it); next != starts.end(); ++it, ++next) {
        EXPECT_EQ(*it % 64, 0U);
        EXPECT_GE(*next - *it, 100U) << "data areas overlap";
    }
    EXPECT_EQ(halMbufSetDataLen(blocks[0], 100), HAL_BUFF_OK);
    EXPECT_EQ(halMbufSetDataLen(blocks[0], 101), HAL_BUFF_ERR_LENGTH_TOO_LARGE);
    EXPECT_EQ(halBuffDestroyPool(pool), HAL_BUFF_ERR_POOL_BUSY);
}

TEST_F(HalBuffTest, DoubleFreeAndForeignHandlesAreRefusedAndChangeNothing) {
    std::vector<Mbuf*> blocks = DrainedPool(Attr(64, 2), &pool);
    ASSERT_EQ(blocks.size(), 2U);
    Mbuf* const kept = blocks[0];
    ASSERT_EQ(halMbufSetDataLen(kept, 10), HAL_BUFF_OK);
    ASSERT_EQ(halMbufFree(blocks[1]), HAL_BUFF_OK);

    EXPECT_EQ(halMbufFree(blocks[1]), HAL_BUFF_ERR_NOT_ALLOCATED);
    alignas(64) unsigned char foreign[256] = {};
    Mbuf* const inside = reinterpret_cast<Mbuf*>(reinterpret_cast<unsigned char*>(kept) + 1);
    for (Mbuf* bad : {reinterpret_cast<Mbuf*>(foreign), inside}) {
        EXPECT_EQ(halMbufFree(bad), HAL_BUFF_ERR_INVALID_HANDLE);
        EXPECT_EQ(halMbufSetDataLen(bad, 1), HAL_BUFF_ERR_INVALID_HANDLE);
    }
    EXPECT_EQ(halMbufAllocByPool(reinterpret_cast<PoolHandle>(foreign), &blocks[1]),
              HAL_BUFF_ERR_INVALID_HANDLE);

    std::uint64_t len = 0;
    ASSERT_EQ(halMbufGetDataLen(kept, &len), HAL_BUFF_OK);
    EXPECT_EQ(len, 10U);
    EXPECT_EQ(halMbufAllocByPool(pool, &blocks[1]), HAL_BUFF_OK);
    EXPECT_EQ(halMbufAllocByPool(pool, &blocks[1]), HAL_BUFF_ERR_POOL_EMPTY);
}

}  // namespace
