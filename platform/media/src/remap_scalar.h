#pragma once

// Sample-by-sample bilinear remap of one table entry, with the source's bounds checked: the path for border
// blocks and row tails, and the meaning the vector path must reproduce exactly.

#include <cstdint>

#include "remap_table.h"

namespace mpu::internal::remap {

struct EntryFields {
    std::int32_t x0;
    std::int32_t y0;
    std::int32_t fx;
    std::int32_t fy;
};

// A fill entry comes out two samples left of and above the source, so that no neighbour is inside.
inline EntryFields unpackEntry(std::uint32_t entry, std::int32_t base) {
    if (entry == kFillEntry) {
        return EntryFields{-2, -2, 0, 0};
    }
    return EntryFields{
        static_cast<std::int16_t>(base & 0xFFFF) + static_cast<std::int32_t>(entry & kDistanceMask),
        (base >> 16) + static_cast<std::int32_t>((entry >> kDistanceBits) & kDistanceMask),
        static_cast<std::int32_t>((entry >> kFractionXShift) & ((1u << kFractionFieldBits) - 1)),
        static_cast<std::int32_t>(entry >> kFractionYShift)};
}

// Weighted sum of a 2 x 2 neighbourhood with weights in 1/32, rounded to the nearest code value.
inline std::uint8_t blend(int p00, int p01, int p10, int p11, int fx, int fy) {
    const int top = p00 * (kFractionOne - fx) + p01 * fx;
    const int bottom = p10 * (kFractionOne - fx) + p11 * fx;
    const int rounding = 1 << (2 * kFractionBits - 1);
    return static_cast<std::uint8_t>((top * (kFractionOne - fy) + bottom * fy + rounding) >>
                                     (2 * kFractionBits));
}

// `channels` interleaved bytes per sample (1 for luma, 2 for U/V); `out` receives `channels` bytes.
inline void remapSample(const PlaneTable& table, PlaneRef source, std::uint32_t entry, std::int32_t base,
                        int channels, std::uint8_t border, std::uint8_t* out) {
    const EntryFields e = unpackEntry(entry, base);
    const auto inside = [&](std::int32_t x, std::int32_t y) {
        return x >= 0 && y >= 0 && static_cast<std::uint32_t>(x) < table.srcWidth &&
               static_cast<std::uint32_t>(y) < table.srcHeight;
    };
    const bool in00 = inside(e.x0, e.y0);
    const bool in01 = inside(e.x0 + 1, e.y0);
    const bool in10 = inside(e.x0, e.y0 + 1);
    const bool in11 = inside(e.x0 + 1, e.y0 + 1);
    for (int c = 0; c < channels; ++c) {
        const auto at = [&](bool in, std::int32_t x, std::int32_t y) -> int {
            return in ? source.data[static_cast<std::uint64_t>(y) * source.stride +
                                    static_cast<std::uint64_t>(x) * channels + c]
                      : border;
        };
        out[c] = blend(at(in00, e.x0, e.y0), at(in01, e.x0 + 1, e.y0), at(in10, e.x0, e.y0 + 1),
                       at(in11, e.x0 + 1, e.y0 + 1), e.fx, e.fy);
    }
}

// The entry of sample x of row y: the table's, or worked out from the block's line (a linear block lies
// wholly inside the source or wholly outside).
inline std::uint32_t entryAt(const PlaneTable& table, std::uint32_t x, std::uint32_t y) {
    const std::uint64_t block = std::uint64_t{y} * table.blocksPerRow + x / kBlockSamples;
    const std::uint8_t kind = table.blocks[block];
    const std::uint32_t i = x % kBlockSamples;
    if ((kind & kLinear) == 0) {
        return table.entries[std::uint64_t{table.firstEntries[block]} + i];
    }
    if ((kind & kKindMask) == kOutside) {
        return kFillEntry;
    }
    const Line& line = table.lines[block];
    return lineEntry(linePosition(line.x, line.stepX, i), linePosition(line.y, line.stepY, i));
}

// Sample x of row y of a plane.
inline void remapSampleAt(const PlaneTable& table, PlaneRef source, std::uint32_t x, std::uint32_t y,
                          int channels, std::uint8_t border, std::uint8_t* out) {
    remapSample(table, source, entryAt(table, x, y),
                table.bases[std::uint64_t{y} * table.blocksPerRow + x / kBlockSamples], channels, border,
                out);
}

}  // namespace mpu::internal::remap
