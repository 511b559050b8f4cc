#include <gtest/gtest.h>

#include <memory>
#include <utility>

#include "frame_pool.h"
#include "vcu/vcu_mbuf.h"

namespace {

using vcu::VcuMbuf;
using vcu::internal::FramePool;
using vcu::internal::MbufBinding;

class FramePoolTest : public ::testing::Test {
  protected:
    static constexpr std::size_t kBuffers = 3;
    static constexpr std::size_t kBytes = 100;  // not a multiple of the alignment

    VcuMbuf bound(const char* name) {
        VcuMbuf mbuf(name);
        const auto slot = sut->tryAcquire();
        EXPECT_TRUE(slot.has_value());
        MbufBinding::adopt(mbuf, sut, slot.value_or(0));
        return mbuf;
    }

    std::shared_ptr<FramePool> sut = FramePool::create(kBuffers, kBytes);
};

TEST_F(FramePoolTest, BufferReturnsWhenTheLastReferenceGoes) {
    VcuMbuf first = bound("frame");
    auto copy = std::make_unique<VcuMbuf>(first);
    void* data = nullptr;
    void* copyData = nullptr;
    unsigned long size = 0;
    ASSERT_TRUE(first.GetBuffData(data, size));
    ASSERT_TRUE(copy->GetBuffData(copyData, size));
    EXPECT_EQ(copyData, data);
    EXPECT_EQ(size, kBytes);

    VcuMbuf moved(std::move(first));
    EXPECT_FALSE(first.IsBound());  // NOLINT(bugprone-use-after-move): moved-from must be unbound
    copy.reset();
    EXPECT_EQ(sut->freeCount(), kBuffers - 1);

    VcuMbuf other = bound("other");
    other = moved;  // other's buffer goes back, moved's is now shared
    EXPECT_EQ(sut->freeCount(), kBuffers - 1);
    const VcuMbuf& alias = other;
    other = alias;
    moved = VcuMbuf("unbound");
    EXPECT_EQ(sut->freeCount(), kBuffers - 1);
    other = std::move(moved);
    EXPECT_EQ(sut->freeCount(), kBuffers);
}

}  // namespace
