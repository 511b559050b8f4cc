#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "acc/acc_runtime.h"
#include "mpu/fault_injection.h"

namespace {

class AccRuntimeTest : public ::testing::Test {
  protected:
    void TearDown() override { mpu::fault::ClearAll(); }
};

TEST_F(AccRuntimeTest, StartUpCallsFromSeveralThreadsAreCountedAndEachEndedOnce) {
    std::vector<accError> statuses(4, -1);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < statuses.size(); ++i) {
        threads.emplace_back([&statuses, i] {
            accrtContext context = nullptr;
            accError status = accInit(nullptr);
            status |= accrtSetDevice(0);
            status |= accrtCreateContext(&context, 0);
            status |= accrtDestroyContext(context);
            status |= accrtResetDevice(0);
            status |= accFinalize();
            statuses[i] = status;
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const accError status : statuses) {
        EXPECT_EQ(status, ACC_SUCCESS);
    }
    EXPECT_EQ(accFinalize(), ACC_ERROR_REPEAT_FINALIZE);
    EXPECT_EQ(accrtResetDevice(0), ACC_ERROR_DEVICE_NOT_SET);
}

TEST_F(AccRuntimeTest, DeviceAndContextNeedTheStepsBeforeThem) {
    accrtContext context = nullptr;
    EXPECT_EQ(accrtSetDevice(0), ACC_ERROR_UNINITIALIZED);
    ASSERT_EQ(accInit(nullptr), ACC_SUCCESS);
    EXPECT_EQ(accrtCreateContext(&context, 0), ACC_ERROR_DEVICE_NOT_SET);
    EXPECT_EQ(accrtSetDevice(1), ACC_ERROR_INVALID_DEVICE);
    ASSERT_EQ(accrtSetDevice(0), ACC_SUCCESS);
    EXPECT_EQ(accrtCreateContext(nullptr, 0), ACC_ERROR_INVALID_PARAM);
    ASSERT_EQ(accrtCreateContext(&context, 0), ACC_SUCCESS);
    EXPECT_EQ(accrtDestroyContext(context), ACC_SUCCESS);
    EXPECT_EQ(accrtDestroyContext(context), ACC_ERROR_INVALID_CONTEXT);
    int notAContext = 0;
    EXPECT_EQ(accrtDestroyContext(reinterpret_cast<accrtContext>(&notAContext)), ACC_ERROR_INVALID_CONTEXT);
    EXPECT_EQ(accrtResetDevice(0), ACC_SUCCESS);
    EXPECT_EQ(accFinalize(), ACC_SUCCESS);
}

TEST_F(AccRuntimeTest, ConfigurationFileMustBeReadable) {
    EXPECT_EQ(accInit("/nonexistent/acc.json"), ACC_ERROR_INVALID_FILE);
    EXPECT_EQ(accFinalize(), ACC_ERROR_REPEAT_FINALIZE);  // the refused call counted nothing
}

TEST_F(AccRuntimeTest, RunModeIsDeviceUnlessConfiguredAsHost) {
    accrtRunMode mode = ACC_HOST;
    ASSERT_EQ(accrtGetRunMode(&mode), ACC_SUCCESS);
    EXPECT_EQ(mode, ACC_DEVICE);
    ::setenv("ACC_RUN_MODE", "host", 1);
    ASSERT_EQ(accrtGetRunMode(&mode), ACC_SUCCESS);
    ::unsetenv("ACC_RUN_MODE");
    EXPECT_EQ(mode, ACC_HOST);
    EXPECT_EQ(accrtGetRunMode(nullptr), ACC_ERROR_INVALID_PARAM);
}

TEST_F(AccRuntimeTest, ArmedFailureHitsOnlyTheNextCallsAndChangesNothing) {
    mpu::fault::FailNext(mpu::fault::Operation::kAccInit, 1, 77);
    EXPECT_EQ(accInit(nullptr), 77);
    EXPECT_EQ(accFinalize(), ACC_ERROR_REPEAT_FINALIZE);
    EXPECT_EQ(accInit(nullptr), ACC_SUCCESS);
    EXPECT_EQ(accFinalize(), ACC_SUCCESS);
}

}  // namespace
