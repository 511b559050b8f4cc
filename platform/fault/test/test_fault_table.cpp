#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "fault/fault_table.h"

namespace first_seam {
using namespace ::fault::seam;
enum class Operation { kOpen, kRead, kCount };
}  // namespace first_seam

namespace second_seam {
using namespace ::fault::seam;
enum class Operation { kWrite, kCount };
}  // namespace second_seam

namespace {

class FaultTableTest : public ::testing::Test {
  protected:
    void TearDown() override { first_seam::ClearAll(); }
};

TEST_F(FaultTableTest, ArmedOperationFailsItsCountThenGoesOnAndLeavesOthersAlone) {
    first_seam::FailNext(first_seam::Operation::kRead, 2, -7);
    EXPECT_EQ(first_seam::Consume(first_seam::Operation::kOpen), 0);
    EXPECT_EQ(first_seam::Consume(first_seam::Operation::kRead), -7);
    EXPECT_EQ(first_seam::Consume(first_seam::Operation::kRead), -7);
    EXPECT_EQ(first_seam::Consume(first_seam::Operation::kRead), 0);

    // Arming again replaces what was left.
    first_seam::FailNext(first_seam::Operation::kOpen, 5, 3);
    first_seam::FailNext(first_seam::Operation::kOpen, 1, 4);
    EXPECT_EQ(first_seam::Consume(first_seam::Operation::kOpen), 4);
    EXPECT_EQ(first_seam::Consume(first_seam::Operation::kOpen), 0);
}

TEST_F(FaultTableTest, ClearAllDisarmsEverySeamOfTheProcess) {
    first_seam::FailNext(first_seam::Operation::kOpen, 3, 1);
    second_seam::FailNext(second_seam::Operation::kWrite, 3, 2);
    // Either seam's name clears both: a test that ends with it leaves no failure to the next one.
    second_seam::ClearAll();
    EXPECT_EQ(first_seam::Consume(first_seam::Operation::kOpen), 0);
    EXPECT_EQ(second_seam::Consume(second_seam::Operation::kWrite), 0);
}

TEST_F(FaultTableTest, ConcurrentCallersConsumeEachArmedFailureOnce) {
    constexpr unsigned int kArmed = 1000;
    first_seam::FailNext(first_seam::Operation::kRead, kArmed, 9);
    std::vector<int> failures(4, 0);
    std::vector<std::thread> callers;
    for (int& count : failures) {
        callers.emplace_back([&count] {
            for (unsigned int i = 0; i < kArmed; ++i) {
                count += first_seam::Consume(first_seam::Operation::kRead) == 9 ? 1 : 0;
            }
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
    int total = 0;
    for (const int count : failures) {
        total += count;
    }
    EXPECT_EQ(total, static_cast<int>(kArmed));
}

}  // namespace
