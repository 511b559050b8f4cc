#include "MbufModule.h"

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <fstream>
#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "ara/log/log_capture.h"
#include "hal_buff/fault_injection.h"

namespace {

using hal_buff::fault::Operation;

class MbufModuleTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetProcessState(); }
    void TearDown() override { ResetProcessState(); }
    static void ResetProcessState() {
        mbuf::MbufModule::initialized = false;
        hal_buff::fault::ClearAll();
        halBuffDeinit();
    }

    std::size_t Logged(ara::log::LogLevel level, const char* fragment) const {
        return capture.Count("mbuf_module", level, fragment);
    }
    std::size_t Errors(const char* fragment) const { return Logged(ara::log::LogLevel::kError, fragment); }
    static std::vector<unsigned char> Bytes(std::size_t size) {
        std::vector<unsigned char> bytes(size);
        std::iota(bytes.begin(), bytes.end(), 1);
        return bytes;
    }

    ara::log::LogCapture capture;
    mbuf::MbufModule sut;
    unsigned long length{0};
    unsigned long size{0};
};

TEST_F(MbufModuleTest, BlockSizeIsRoundedUpToAMultipleOf32) {
    for (const auto& [requested, rounded] : {std::pair{1U, 32UL}, {32U, 32UL}, {33U, 64UL}}) {
        mbuf::MbufModule module;
        module.init(true, 1, requested);
        Mbuf* mbuf = module.fillMbuf(Bytes(1), &length);
        ASSERT_NE(module.getMbufData(&mbuf, &size), nullptr) << requested;
        EXPECT_EQ(size, rounded) << requested;
    }
    // 0, and a size whose 32-bit rounding wraps to 0: no pool.
    for (const unsigned int requested : {0U, 0xFFFFFFF0U}) {
        mbuf::MbufModule module;
        module.init(true, 20, requested);
        EXPECT_EQ(module.fillMbuf(Bytes(1), &length), nullptr) << requested;
    }
    EXPECT_EQ(Errors("Create pool error, error code is: "), 2U);
}

TEST_F(MbufModuleTest, FailedInitialisationIsRetriedByTheNextInit) {
    hal_buff::fault::FailNext(Operation::kRegisterMediaResource, 2, 1);
    hal_buff::fault::FailNext(Operation::kBuffInit, 1, -3);
    sut.init(true, 20, 64);
    EXPECT_FALSE(mbuf::MbufModule::initialized);
    EXPECT_EQ(Errors("Init mbuf error, error code is: -3"), 1U);
    EXPECT_EQ(sut.fillMbuf(Bytes(1), &length), nullptr) << "no pool after a failed init";

    mbuf::MbufModule next;
    next.init(true, 20, 64);
    EXPECT_TRUE(mbuf::MbufModule::initialized);
    // Registration is attempted again, and its failure alone does not stop the initialisation.
    EXPECT_EQ(Errors("Register rm failed!, please check whether rm_center process exists"), 2U);
    EXPECT_NE(next.fillMbuf(Bytes(1), &length), nullptr);
}

TEST_F(MbufModuleTest, InitWithoutPoolFlagInitialisesOnly) {
    sut.init(false, 20, 64);
    EXPECT_TRUE(mbuf::MbufModule::initialized);
    EXPECT_EQ(sut.fillMbuf(Bytes(1), &length), nullptr);
}

TEST_F(MbufModuleTest, FilledDataReadsBackAndOutlivesTheReleasedBlock) {
    sut.init(true, 1, 100);
    const std::vector<unsigned char> first = Bytes(100);
    Mbuf* mbuf = sut.fillMbuf(first, &length);
    EXPECT_EQ(length, 100U);
    const void* readBack = sut.getMbufData(&mbuf, &size);
    ASSERT_NE(readBack, nullptr);
    EXPECT_EQ(size, 128U);
    EXPECT_EQ(std::memcmp(readBack, first.data(), first.size()), 0);

    // The next fill reuses the pool's only block; the first read-back must not change with it.
    std::vector<unsigned char> second(40, 0xEE);
    ASSERT_NE(sut.fillMbuf(second.data(), &length, second.size()), nullptr);
    EXPECT_EQ(length, 40U);
    EXPECT_EQ(std::memcmp(readBack, first.data(), first.size()), 0);
}

TEST_F(MbufModuleTest, EmptyVectorFillReportsLengthZero) {
    sut.init(true, 1, 64);
    length = 99;
    EXPECT_NE(sut.fillMbuf(std::vector<unsigned char>{}, &length), nullptr);
    EXPECT_EQ(length, 0U);
}

TEST_F(MbufModuleTest, RefusedCopyStopsTheFillAndLeaksNothing) {
    sut.init(true, 20, 64);
    length = 99;
    EXPECT_EQ(sut.fillMbuf(Bytes(65), &length), nullptr);
    EXPECT_EQ(sut.fillMbuf(nullptr, &length, 8), nullptr);
    EXPECT_EQ(Errors("Copy data to Mbuf error, error code is: "), 2U);
    EXPECT_EQ(length, 99U) << "a refused fill went on to set and report a data length";

    for (int i = 0; i < 20; ++i) {
        ASSERT_NE(sut.fillMbuf(Bytes(64), &length), nullptr) << "fill " << i;
    }
    EXPECT_EQ(sut.fillMbuf(Bytes(1), &length), nullptr);
    EXPECT_EQ(Errors("Allocate Mbuf error, error code is: 8"), 1U);
}

TEST_F(MbufModuleTest, ReadBackRefusesNullAndReleasedBlocksWithoutFreeing) {
    sut.init(true, 2, 64);
    Mbuf* kept = sut.fillMbuf(Bytes(8), &length);
    Mbuf* released = sut.fillMbuf(Bytes(8), &length);
    ASSERT_NE(sut.getMbufData(&released, &size), nullptr);
    capture.Clear();

    Mbuf* nullMbuf = nullptr;
    EXPECT_EQ(sut.getMbufData(nullptr, &size), nullptr);
    EXPECT_EQ(sut.getMbufData(&nullMbuf, &size), nullptr);
    EXPECT_EQ(sut.getMbufData(&released, &size), nullptr);
    EXPECT_EQ(Errors("Get Mbuf data pointer error, error code is: "), 3U);
    EXPECT_EQ(capture.Count("mbuf_module", "free Mbuf"), 0U);
    // Only the released block is free again: one fill takes it, the next finds the pool full.
    Mbuf* refill = sut.fillMbuf(Bytes(8), &length);
    ASSERT_NE(refill, nullptr);
    EXPECT_EQ(sut.fillMbuf(Bytes(8), &length), nullptr) << "a refusal freed the kept block";
    EXPECT_NE(sut.getMbufData(&kept, &size), nullptr) << "the refusals freed nothing";
    EXPECT_NE(sut.getMbufData(&refill, &size), nullptr);
}

long ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long residentPages = 0;
    statm >> pages >> residentPages;
    return residentPages * sysconf(_SC_PAGESIZE);
}

TEST_F(MbufModuleTest, FourCameraPoolsShareOneInitialisationAndCostNoMemoryUntilWritten) {
    constexpr unsigned int kFrameBytes = 1280U * 720U * 3U;
    std::array<mbuf::MbufModule, 4> modules;
    std::vector<unsigned char> frame = Bytes(kFrameBytes);  // allocated before measuring

    const long before = ResidentBytes();
    for (mbuf::MbufModule& module : modules) {
        module.init(true, 20, kFrameBytes);
    }
    EXPECT_LT(ResidentBytes() - before, 16L << 20) << "four pools of 20 frames must not be backed before use";
    EXPECT_EQ(Logged(ara::log::LogLevel::kInfo, "Init mbuf completed without any error"), 1U);
    // Later inits leave the service alone: one that called it now would fail and create no pool.
    hal_buff::fault::FailNext(Operation::kBuffInit, 1, -3);
    mbuf::MbufModule late;
    late.init(true, 1, 64);
    EXPECT_NE(late.fillMbuf(Bytes(1), &length), nullptr);
    for (std::size_t index = 0; index < modules.size(); ++index) {
        Mbuf* block = modules[index].fillMbuf(Bytes(4), &length);
        EXPECT_NE(modules[index].getMbufData(&block, &size), nullptr) << "module " << index;
    }

    // The memory is real: a second block (at a non-zero offset) reads back through the share handle.
    ASSERT_NE(modules[3].fillMbuf(Bytes(1), &length), nullptr);
    Mbuf* mbuf = modules[3].fillMbuf(frame.data(), &length, frame.size());
    HalMbufShareHandle share{};
    ASSERT_EQ(halMbufGetShareHandle(mbuf, &share), HAL_BUFF_OK);
    ASSERT_NE(share.offset, 0U);
    const std::size_t mapped = share.offset + share.size;
    void* const second = mmap(nullptr, mapped, PROT_READ, MAP_SHARED, share.fd, 0);
    ASSERT_NE(second, MAP_FAILED);
    EXPECT_EQ(std::memcmp(static_cast<unsigned char*>(second) + share.offset, frame.data(), kFrameBytes), 0);
    munmap(second, mapped);
}

}  // namespace
