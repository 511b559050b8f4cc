#include <gtest/gtest.h>

#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include "vcu/visual/image.h"

namespace vcu::visual {
namespace {

TEST(HeaderTest, ConsecutiveConstructionsTakeConsecutiveNumbers) {
    const Image first;
    const Image second;
    EXPECT_EQ(second.header.seq, first.header.seq + 1U);
    EXPECT_TRUE(first.data.empty());
    EXPECT_TRUE(first.header.frameId.empty());

    Image copy;
    const std::uint32_t ownSeq = copy.header.seq;
    copy = first;
    EXPECT_EQ(copy.header.seq, first.header.seq);
    EXPECT_NE(copy.header.seq, ownSeq);
    const Header copied(second.header);  // copies never take a number
    EXPECT_EQ(copied.seq, second.header.seq);
    EXPECT_EQ(Header{}.seq, second.header.seq + 2U);
}

TEST(HeaderTest, ConstructionFromManyThreadsNeverRepeatsANumber) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 2000;
    std::vector<std::vector<std::uint32_t>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&seen, t] {
            for (int i = 0; i < kPerThread; ++i) {
                seen[t].push_back(Header{}.seq);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<std::uint32_t> all;
    for (const auto& numbers : seen) {
        all.insert(numbers.begin(), numbers.end());
    }
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kThreads * kPerThread));
    EXPECT_EQ(*all.rbegin() - *all.begin() + 1U, all.size());
}

TEST(TimesTest, NowIsTheTimeOfDayWithMicrosecondResolution) {
    timeval before{};
    gettimeofday(&before, nullptr);
    const Times now = Times::now();
    timeval after{};
    gettimeofday(&after, nullptr);
    EXPECT_GE(now.sec, static_cast<std::uint32_t>(before.tv_sec));
    EXPECT_LE(now.sec, static_cast<std::uint32_t>(after.tv_sec));
    EXPECT_EQ(now.nsec % 1000U, 0U);
    EXPECT_LT(now.nsec, 1000000000U);
}

}  // namespace
}  // namespace vcu::visual
