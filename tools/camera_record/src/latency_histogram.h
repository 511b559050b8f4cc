#pragma once

// Latencies of a whole recording in a fixed amount of memory: counts in bins 1 % wide (logarithmic, from
// 1 us to 1000 s, both signs: a publisher's clock may be ahead of ours), and the exact extremes. A percentile
// comes out within half a bin (0.5 %) of the nearest-rank value, and never beyond the smallest or largest
// value added. Not thread-safe.

#include <array>
#include <cstddef>
#include <cstdint>

namespace camera_record {

class LatencyHistogram {
  public:
    void Add(double latencyMs);

    // The nearest-rank percentile (percent in (0, 100]; 0 or less gives the minimum), to within 0.5 %;
    // 0 without values.
    double Percentile(double percent) const;
    double Max() const noexcept { return count_ == 0 ? 0.0 : max_; }
    std::uint64_t Count() const noexcept { return count_; }

    static constexpr double kSmallestMs = 0.001;  // smaller magnitudes count as 0
    static constexpr double kBinRatio = 1.01;
    static constexpr std::size_t kBinsPerSign = 2083;  // up to kSmallestMs * 1.01^2083, about 1000 s

  private:
    // Bins in ascending order of value: the negative ones (largest magnitude first), zero, the positive ones.
    static std::size_t BinOf(double latencyMs);
    static double ValueOf(std::size_t bin);

    std::array<std::uint64_t, 2 * kBinsPerSign + 1> counts_{};
    std::uint64_t count_{0};
    double min_{0.0};
    double max_{0.0};
};

}  // namespace camera_record
