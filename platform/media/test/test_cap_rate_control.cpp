#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "cap_rate_control.h"

namespace {

using mpu::internal::CapRateControl;
using mpu::internal::CapRateSettings;

constexpr std::uint32_t kWindow = 30;
constexpr std::uint64_t kCapBytes = 4000 * 1000 / 8;  // 4 Mbit/s over 1 s
constexpr int kGop = 30;

// An encoder's frame sizes as the rate control assumes them (halving every 6 quantiser steps), five times
// larger for key frames, with the few per cent of scatter a real encoder has.
class FrameSizes {
  public:
    std::uint64_t at(double complexity, bool key, int qp) {
        const double scatter = 1.0 + 0.05 * std::uniform_real_distribution<double>(-1.0, 1.0)(random_);
        return static_cast<std::uint64_t>(complexity * (key ? 5.0 : 1.0) * std::exp2(-qp / 6.0) * scatter);
    }

  private:
    std::mt19937 random_{7};
};

struct EncodedRun {
    std::vector<std::uint64_t> bytes;
    std::vector<int> qps;
};

// Encodes `complexity.size()` frames; a complexity of 1 makes a frame of 1 byte at quantiser 0.
EncodedRun encode(const std::vector<double>& complexity) {
    CapRateControl sut(CapRateSettings{kCapBytes, kWindow, 23, 3, 0, 51});
    FrameSizes sizes;
    EncodedRun run;
    for (std::size_t i = 0; i < complexity.size(); ++i) {
        const bool key = i % kGop == 0;
        const int qp = sut.nextQp(key);
        const std::uint64_t bytes = sizes.at(complexity[i], key, qp);
        sut.frameDone(key, qp, bytes);
        run.bytes.push_back(bytes);
        run.qps.push_back(qp);
    }
    return run;
}

std::uint64_t busiestWindow(const std::vector<std::uint64_t>& bytes, std::size_t from, std::size_t to) {
    std::uint64_t most = 0;
    for (std::size_t end = std::max<std::size_t>(from, kWindow); end <= to; ++end) {
        std::uint64_t sum = 0;
        for (std::size_t i = end - kWindow; i < end; ++i) {
            sum += bytes[i];
        }
        most = std::max(most, sum);
    }
    return most;
}

// At the steady quantiser, frames of complexity `light` fill a fifth of the cap; `heavy` ones would fill
// three times the cap.
constexpr double kLight = kCapBytes / 5.0 / kWindow * 14.25;
constexpr double kHeavy = kLight * 15.0;

TEST(CapRateControlTest, KeepsTheSteadyQuantiserWhileTheCapIsFarAway) {
    const EncodedRun run = encode(std::vector<double>(120, kLight));
    for (std::size_t i = 0; i < run.qps.size(); ++i) {
        EXPECT_EQ(run.qps[i], i % kGop == 0 ? 20 : 23) << "frame " << i;
    }
}

TEST(CapRateControlTest, HoldsTheCapThroughAHeavySceneAndComesBack) {
    std::vector<double> complexity(90, kLight);
    complexity.insert(complexity.end(), 180, kHeavy);
    complexity.insert(complexity.end(), 120, kLight);
    const EncodedRun run = encode(complexity);

    // The first heavy frames are predicted from light ones: a window that holds them may pass the cap by
    // what they added beyond the prediction, a few per cent; from then on every window is within the cap.
    EXPECT_LE(busiestWindow(run.bytes, 0, 90 + kWindow), kCapBytes * 11 / 10);
    EXPECT_LE(busiestWindow(run.bytes, 90 + kWindow, run.bytes.size()), kCapBytes);
    EXPECT_GT(run.qps[200], 23) << "the heavy scene needs a coarser quantiser";
    EXPECT_GT(busiestWindow(run.bytes, 150, 270), kCapBytes * 3 / 4) << "and uses the room the cap leaves";
    EXPECT_EQ(run.qps.back(), 23) << "the light scene gets its quality back";
}

}  // namespace
