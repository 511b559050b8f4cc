#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "mpu/mpu_dma.h"
#include "mpu/mpu_sys.h"
#include "mpu/mpu_vpc.h"

namespace {

TEST(DmaMemoryTest, BlocksAreAlignedZeroedAndFreedExactlyOnce) {
    void* block = nullptr;
    ASSERT_EQ(mpu_dma_malloc(MPU_DMA_MEM_NORMAL, &block, 1001), MPU_OK);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % MPU_DMA_ALIGNMENT, 0u);
    const auto* bytes = static_cast<const std::uint8_t*>(block);
    for (int i = 0; i < 1001; ++i) {
        ASSERT_EQ(bytes[i], 0) << i;
    }
    EXPECT_EQ(mpu_dma_free(block), MPU_OK);
    EXPECT_EQ(mpu_dma_free(block), MPU_ERR_ILLEGAL_ADDRESS);
}

// A picture-sized block reads as zeros everywhere, yet only the pages written become resident: the buffers
// a preprocessor allocates and never uses, and the unused part of a table, cost no memory.
TEST(DmaMemoryTest, LargeBlocksAreZeroAndResidentOnlyWhereWritten) {
    constexpr std::uint64_t kSize = 3110400;  // a 1080p NV12 picture
    void* block = nullptr;
    ASSERT_EQ(mpu_dma_malloc(MPU_DMA_MEM_NORMAL, &block, kSize), MPU_OK);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % MPU_DMA_ALIGNMENT, 0u);
    const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    const std::uint64_t pages = (kSize + page - 1) / page;
    const auto residentPages = [&] {
        std::vector<unsigned char> resident(pages);
        EXPECT_EQ(mincore(block, kSize, resident.data()), 0);
        return std::count_if(resident.begin(), resident.end(), [](unsigned char p) { return (p & 1) != 0; });
    };
    EXPECT_EQ(residentPages(), 0);
    auto* bytes = static_cast<std::uint8_t*>(block);
    bytes[kSize - 1] = 1;
    // One page, or one transparent huge page where the kernel gives them.
    const auto written = residentPages();
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<std::ptrdiff_t>(pages));
    EXPECT_EQ(std::count(bytes, bytes + kSize, 0), static_cast<std::ptrdiff_t>(kSize - 1));
    EXPECT_EQ(mpu_dma_free(block), MPU_OK);
    EXPECT_EQ(mpu_dma_free(block), MPU_ERR_ILLEGAL_ADDRESS);
}

TEST(DmaMemoryTest, RefusesWhatItCannotServe) {
    void* block = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(mpu_dma_malloc(MPU_DMA_MEM_NORMAL, &block, 0), MPU_ERR_ILLEGAL_PARAM);
    EXPECT_EQ(mpu_dma_malloc(7, &block, 64), MPU_ERR_ILLEGAL_PARAM);
    EXPECT_EQ(block, reinterpret_cast<void*>(0x1));
    EXPECT_EQ(mpu_dma_malloc(MPU_DMA_MEM_NORMAL, nullptr, 64), MPU_ERR_NULL_PTR);
    int onTheStack = 0;
    EXPECT_EQ(mpu_dma_free(&onTheStack), MPU_ERR_ILLEGAL_ADDRESS);
    EXPECT_EQ(mpu_dma_free(nullptr), MPU_ERR_NULL_PTR);
}

TEST(MediaSystemTest, InitIsCountedAndTheLastExitTakesLeftoverChannels) {
    std::int32_t channel = -1;
    const mpu_vpc_chn_attr attr{};
    EXPECT_EQ(mpu_vpc_sys_create_chn(&channel, &attr), MPU_ERR_NOT_INITIALIZED);
    ASSERT_EQ(mpu_sys_init(), MPU_OK);
    ASSERT_EQ(mpu_sys_init(), MPU_OK);
    ASSERT_EQ(mpu_vpc_sys_create_chn(&channel, &attr), MPU_OK);
    EXPECT_EQ(mpu_sys_exit(), MPU_OK);
    const mpu_vpc_workspace workspace{MPU_VPC_WORKSPACE_REMAP, 64, 64, 64, 64};
    EXPECT_EQ(mpu_vpc_set_chn_workspace(channel, &workspace, 1), MPU_OK);  // still in force
    EXPECT_EQ(mpu_sys_exit(), MPU_OK);
    EXPECT_EQ(mpu_vpc_set_chn_workspace(channel, &workspace, 1), MPU_ERR_INVALID_CHANNEL);
    EXPECT_EQ(mpu_sys_exit(), MPU_ERR_NOT_INITIALIZED);
}

TEST(MediaEpollTest, ReportsAWatchedDescriptorWithItsDataAndTimesOutQuietly) {
    std::int32_t epollFd = -1;
    ASSERT_EQ(mpu_sys_create_epoll(10, &epollFd), MPU_OK);
    const int eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ASSERT_GE(eventFd, 0);
    mpu_sys_epoll_event watch{MPU_SYS_EPOLL_IN, reinterpret_cast<void*>(static_cast<std::intptr_t>(eventFd))};
    ASSERT_EQ(mpu_sys_ctl_epoll(epollFd, MPU_SYS_EPOLL_CTL_ADD, eventFd, &watch), MPU_OK);

    mpu_sys_epoll_event events[3] = {};
    std::int32_t count = -1;
    ASSERT_EQ(mpu_sys_wait_epoll(epollFd, events, 3, 10, &count), MPU_OK);
    EXPECT_EQ(count, 0);

    const std::uint64_t one = 1;
    ASSERT_EQ(::write(eventFd, &one, sizeof(one)), static_cast<ssize_t>(sizeof(one)));
    ASSERT_EQ(mpu_sys_wait_epoll(epollFd, events, 3, 1000, &count), MPU_OK);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(events[0].events & MPU_SYS_EPOLL_IN, MPU_SYS_EPOLL_IN);
    EXPECT_EQ(events[0].data, watch.data);

    EXPECT_EQ(mpu_sys_ctl_epoll(eventFd, MPU_SYS_EPOLL_CTL_ADD, eventFd, &watch), MPU_ERR_ILLEGAL_PARAM);
    EXPECT_EQ(mpu_sys_ctl_epoll(epollFd, MPU_SYS_EPOLL_CTL_ADD, eventFd, &watch), MPU_ERR_ILLEGAL_PARAM);
    EXPECT_EQ(mpu_sys_close_epoll(epollFd), MPU_OK);
    EXPECT_EQ(mpu_sys_close_epoll(epollFd), MPU_ERR_ILLEGAL_PARAM);
    ::close(eventFd);
}

}  // namespace
