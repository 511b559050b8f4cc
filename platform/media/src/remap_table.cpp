#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "remap_table.h"

namespace mpu::internal::remap {
namespace {

constexpr std::uint32_t kMagic = 0x544C524D;  // "MRLT"
constexpr std::uint32_t kVersion = 4;
constexpr std::uint64_t kSectionAlignment = 64;

struct PlaneOffsets {
    std::uint64_t entries;
    std::uint64_t bases;
    std::uint64_t blocks;
    std::uint64_t lines;
    std::uint64_t firstEntries;
};

// Start of the table memory. Offsets rather than pointers, so the table does not depend on where it lives.
struct TableHeader {
    std::uint32_t magic;
    std::uint32_t version;
    std::uint32_t srcWidth;
    std::uint32_t srcHeight;
    std::uint32_t dstWidth;
    std::uint32_t dstHeight;
    std::uint64_t totalSize;
    PlaneOffsets luma;
    PlaneOffsets chroma;
};

std::uint64_t AlignUp(std::uint64_t value) {
    return (value + kSectionAlignment - 1) / kSectionAlignment * kSectionAlignment;
}

struct Layout {
    PlaneOffsets luma;
    PlaneOffsets chroma;
    std::uint64_t total;
};

std::uint32_t BlocksPerRow(std::uint32_t width) {
    return (width + kBlockSamples - 1) / kBlockSamples;
}

PlaneOffsets PlacePlane(std::uint32_t width, std::uint32_t height, std::uint64_t* cursor) {
    const std::uint64_t samples = std::uint64_t{width} * height;
    const std::uint64_t blocks = std::uint64_t{BlocksPerRow(width)} * height;
    PlaneOffsets offsets{};
    offsets.entries = *cursor;
    *cursor = AlignUp(*cursor + samples * sizeof(std::uint32_t));
    offsets.bases = *cursor;
    *cursor = AlignUp(*cursor + blocks * sizeof(std::int32_t));
    offsets.blocks = *cursor;
    *cursor = AlignUp(*cursor + blocks);
    offsets.lines = *cursor;
    *cursor = AlignUp(*cursor + blocks * sizeof(Line));
    offsets.firstEntries = *cursor;
    *cursor = AlignUp(*cursor + blocks * sizeof(std::uint32_t));
    return offsets;
}

Layout LayoutFor(std::uint32_t width, std::uint32_t height) {
    Layout layout{};
    std::uint64_t cursor = AlignUp(sizeof(TableHeader));
    layout.luma = PlacePlane(width, height, &cursor);
    layout.chroma = PlacePlane(width / 2, height / 2, &cursor);
    layout.total = cursor;
    return layout;
}

// Far enough outside any picture that every neighbour is outside, yet small enough for int16.
constexpr float kOutsideLimit = 16384.0f;

std::int32_t Quantise(float coordinate) {
    float scaled = coordinate * static_cast<float>(kFractionOne);
    if (!(scaled > -kOutsideLimit * kFractionOne && scaled < kOutsideLimit * kFractionOne)) {
        scaled = -kOutsideLimit * kFractionOne;  // also NaN: no source position at all
    }
    // Round half to even, as the C library does by default: a table made from the same maps by other
    // fixed-point remaps (OpenCV's convertMaps) lands on the same 1/32 positions.
    return static_cast<std::int32_t>(std::lrint(scaled));
}

struct Axis {
    std::int32_t start;     // first neighbour, limited to [-2, size]
    std::int32_t fraction;  // weight of the second neighbour in 1/32 (0..32)
};

// A position in 1/32 sample on an axis of `size` samples.
Axis PlaceOnAxis(std::int32_t q, std::uint32_t size) {
    Axis axis{q >> kFractionBits, q & (kFractionOne - 1)};
    const auto last = static_cast<std::int32_t>(size) - 1;
    if (axis.start == last && axis.fraction == 0 && size >= 2) {
        // Exactly on the last sample: the same value from the pair that ends there, which keeps the
        // neighbourhood inside.
        axis.start = last - 1;
        axis.fraction = kFractionOne;
    }
    axis.start = std::clamp(axis.start, -2, static_cast<std::int32_t>(size));
    return axis;
}

BlockKind Classify(const Axis& x, std::uint32_t width, const Axis& y, std::uint32_t height) {
    const auto w = static_cast<std::int32_t>(width);
    const auto h = static_cast<std::int32_t>(height);
    if (x.start >= 0 && x.start <= w - 2 && y.start >= 0 && y.start <= h - 2) {
        return kInside;
    }
    if (x.start <= -2 || x.start >= w || y.start <= -2 || y.start >= h) {
        return kOutside;
    }
    return kBorder;
}

Sample PlaceQuantised(std::int32_t qx, std::int32_t qy, std::uint32_t srcWidth, std::uint32_t srcHeight) {
    const Axis ax = PlaceOnAxis(qx, srcWidth);
    const Axis ay = PlaceOnAxis(qy, srcHeight);
    return Sample{ax.start, ay.start, ax.fraction, ay.fraction, Classify(ax, srcWidth, ay, srcHeight)};
}

struct PlaneWriter {
    std::uint32_t* entries;
    std::int32_t* bases;
    std::uint8_t* blocks;
    Line* lines;
    std::uint32_t* firstEntries;
    std::uint32_t width;
    std::uint32_t nextEntry;  // entries are written one block after the other from the first
};

// A sample's entry in a block with base `base`: its distances from the base (clamped to kMaxDistance, which
// `clamped` tells) and fractions, or kFillEntry for a sample wholly outside the source.
std::uint32_t PackEntry(const Sample& sample, std::int32_t base, bool* clamped) {
    if (sample.kind == kOutside) {
        return kFillEntry;
    }
    const std::int32_t baseX = static_cast<std::int16_t>(base & 0xFFFF);
    const std::int32_t baseY = base >> 16;
    const std::int32_t dx = std::min(sample.x0 - baseX, kMaxDistance);
    const std::int32_t dy = std::min(sample.y0 - baseY, kMaxDistance);
    if (clamped != nullptr) {
        *clamped = dx != sample.x0 - baseX || dy != sample.y0 - baseY;
    }
    return static_cast<std::uint32_t>(dx) | (static_cast<std::uint32_t>(dy) << kDistanceBits) |
           (static_cast<std::uint32_t>(sample.fx) << kFractionXShift) |
           (static_cast<std::uint32_t>(sample.fy) << kFractionYShift);
}

constexpr std::int32_t kLineRounding = 1 << (kLineBits - kFractionBits - 1);

// Sample i of a line whose start is a source position (not yet counted from a base nor rounded), placed as
// placeSample places a map's position.
Sample LineSample(const Line& line, std::uint32_t i, std::uint32_t srcWidth, std::uint32_t srcHeight) {
    return PlaceQuantised(linePosition(line.x + kLineRounding, line.stepX, i),
                          linePosition(line.y + kLineRounding, line.stepY, i), srcWidth, srcHeight);
}

// Positions a line holds: within 16000 samples of the origin (2^24 / 1024), steps below 64 samples a sample.
constexpr double kLargestLinePosition = 16000.0;
constexpr double kLargestLineStep = 63.0;

// The line through `count` positions along one axis that lies closest to the farthest of them, if every
// position lies within `tolerance` of it and it fits a Line. Its step is the chord's, or one unit of a Line
// either side of it where that brings the line closer (a step held in 1/1024 sample is up to 1/2048 off
// the chord's, which over a block adds up to more than a start's rounding); its start is then moved by half
// the extremes of the positions' distances from the line through the first one.
bool FitAxis(const float* positions, std::uint32_t count, double tolerance, std::int32_t* start,
             std::int32_t* step) {
    constexpr double kScale = double{1 << kLineBits};
    constexpr double kNever = std::numeric_limits<double>::infinity();
    const double first = positions[0];
    const double slope = count > 1 ? (double{positions[count - 1]} - first) / (count - 1) : 0.0;
    // Written so that a NaN anywhere fails.
    if (!(std::abs(first) < kLargestLinePosition && std::abs(slope) < kLargestLineStep)) {
        return false;
    }
    // How far the farthest position lies from the line of this step through the start it is given.
    const auto farthest = [&](std::int32_t candidateStep, std::int32_t* candidateStart) {
        double below = 0.0;
        double above = 0.0;
        for (std::uint32_t i = 0; i < count; ++i) {
            const double away = positions[i] - (first + candidateStep / kScale * i);
            below = std::min(below, away);
            above = std::max(above, away);
        }
        const double origin = first + (below + above) / 2;
        if (!(std::abs(origin) < kLargestLinePosition)) {
            return kNever;
        }
        *candidateStart = static_cast<std::int32_t>(std::llround(origin * kScale));
        double worst = 0.0;
        for (std::uint32_t i = 0; i < count; ++i) {
            const double held =
                (static_cast<double>(*candidateStart) + double{1} * candidateStep * i) / kScale;
            const double away = std::abs(held - positions[i]);
            // A NaN is never within a tolerance.
            worst = std::isnan(away) ? kNever : std::max(worst, away);
        }
        return worst;
    };
    const auto chord = static_cast<std::int32_t>(std::llround(slope * kScale));
    double best = farthest(chord, start);
    *step = chord;
    for (const std::int32_t candidate : {chord - 1, chord + 1}) {
        std::int32_t candidateStart = 0;
        const double worst = farthest(candidate, &candidateStart);
        if (worst < best) {
            best = worst;
            *start = candidateStart;
            *step = candidate;
        }
    }
    return best <= tolerance;
}

bool FitLine(const float* xs, const float* ys, std::uint32_t count, double tolerance, Line* line) {
    return FitAxis(xs, count, tolerance, &line->x, &line->stepX) &&
           FitAxis(ys, count, tolerance, &line->y, &line->stepY);
}

// Whether an inside block's neighbourhoods all lie in the 64-byte window of its base's rows (kRows): each
// sample's pair of bytes (luma) or of U/V byte pairs (chroma) is a 16-bit lane of the window or of the window
// one byte on (luma only), and the window holds 32 such lanes.
bool FitsRowWindow(std::int32_t baseX, std::int32_t maxDx, std::int32_t channels, std::uint32_t srcWidth) {
    const std::uint32_t rowBytes = srcWidth * static_cast<std::uint32_t>(channels);
    if (rowBytes < 66) {
        return false;
    }
    const std::int32_t shift = baseX * channels - rowWindowStart(baseX * channels, rowBytes);
    // Luma: the pair at byte p is lane p / 2 of the window (p even) or of the window one byte on (p odd).
    // Chroma: the sample at byte p (even) and the next one are lanes p / 2 and p / 2 + 1.
    return channels == 1 ? shift + maxDx <= 62 : shift / 2 + maxDx <= 30;
}

// Writes one block's base, entries (unless it is `linear`) and kind from its samples; returns how many
// distances were clamped. A linear block's samples are taken by the vector path only when none has the
// fraction 32 that placeSample gives a position exactly on the last sample (the kernels compute the
// unadjusted position, whose right or lower neighbour would lie past the source).
std::uint64_t WriteBlock(const Sample* samples, std::uint32_t count, bool whole, std::int32_t channels,
                         std::uint32_t srcWidth, bool linear, std::uint32_t* entries, std::int32_t* base,
                         std::uint8_t* kind) {
    // The base is the smallest neighbour of the samples that reach the source; the others are filled.
    std::int32_t baseX = INT32_MAX;
    std::int32_t baseY = INT32_MAX;
    bool allInside = true;
    bool allOutside = true;
    for (std::uint32_t i = 0; i < count; ++i) {
        allInside &= samples[i].kind == kInside;
        allOutside &= samples[i].kind == kOutside;
        if (samples[i].kind != kOutside) {
            baseX = std::min(baseX, samples[i].x0);
            baseY = std::min(baseY, samples[i].y0);
        }
    }
    if (allOutside) {
        baseX = baseY = 0;
    }
    std::uint64_t clamped = 0;
    std::int32_t maxDx = 0;
    std::int32_t maxDy = 0;
    *base = static_cast<std::int32_t>((static_cast<std::uint32_t>(baseY) << 16) |
                                      (static_cast<std::uint32_t>(baseX) & 0xFFFF));
    for (std::uint32_t i = 0; i < count; ++i) {
        const Sample& s = samples[i];
        bool far = false;
        const std::uint32_t entry = PackEntry(s, *base, &far);
        if (!linear) {
            entries[i] = entry;
        }
        if (s.kind == kOutside) {
            continue;
        }
        clamped += far ? 1 : 0;
        maxDx = std::max(maxDx, s.x0 - baseX);
        maxDy = std::max(maxDy, s.y0 - baseY);
        allInside &= !linear || (s.fx < kFractionOne && s.fy < kFractionOne);
    }
    std::uint8_t kindOf = kBorder;
    if (allOutside) {
        kindOf = kOutside;
    } else if (allInside && whole && clamped == 0) {
        kindOf = maxDy <= kMaxRowSpan && FitsRowWindow(baseX, maxDx, channels, srcWidth)
                     ? static_cast<std::uint8_t>(kRows + maxDy)
                     : static_cast<std::uint8_t>(kInside);
    }
    *kind = static_cast<std::uint8_t>(kindOf | (linear ? kLinear : 0));
    return clamped;
}

// What one row of a plane contributed to the build summary.
struct RowSummary {
    std::uint64_t clamped;
    std::uint64_t linearBlocks;
};

// Writes a row's blocks from the source positions `sourceAt` gives for each of its samples: a block inside
// the source as a line where its positions lie on one, the others sample by sample (at the source's edges,
// where the picture meets the black around it, a position a little off changes a sample by much), and
// a block wholly outside as its kind alone.
template <typename SourceAt>
RowSummary WriteRow(PlaneWriter& plane, std::uint32_t row, std::uint32_t srcWidth, std::uint32_t srcHeight,
                    std::int32_t channels, std::vector<float>& xs, std::vector<float>& ys,
                    std::vector<Sample>& samples, SourceAt sourceAt) {
    for (std::uint32_t x = 0; x < plane.width; ++x) {
        sourceAt(x, &xs[x], &ys[x]);
    }
    const std::uint32_t blocksPerRow = BlocksPerRow(plane.width);
    const std::uint64_t firstBlock = std::uint64_t{row} * blocksPerRow;
    RowSummary summary{0, 0};
    for (std::uint32_t b = 0; b < blocksPerRow; ++b) {
        const std::uint32_t x0 = b * kBlockSamples;
        const std::uint32_t count = std::min(kBlockSamples, plane.width - x0);
        const std::uint64_t block = firstBlock + b;
        const auto write = [&](bool linear) {
            return WriteBlock(samples.data(), count, count == kBlockSamples, channels, srcWidth, linear,
                              plane.entries + plane.nextEntry, plane.bases + block, plane.blocks + block);
        };
        Line line{};
        if (FitLine(xs.data() + x0, ys.data() + x0, count, kLineTolerance * channels, &line)) {
            for (std::uint32_t i = 0; i < count; ++i) {
                samples[i] = LineSample(line, i, srcWidth, srcHeight);
            }
            const std::uint64_t clamped = write(true);
            const std::uint8_t kind = plane.blocks[block] & kKindMask;
            if (kind != kBorder) {
                // Counted from the base, rounding included: linePosition gives distances and fractions.
                const std::int32_t base = plane.bases[block];
                line.x += kLineRounding - static_cast<std::int16_t>(base & 0xFFFF) * (1 << kLineBits);
                line.y += kLineRounding - (base >> 16) * (1 << kLineBits);
                plane.lines[block] = line;
                summary.clamped += clamped;
                ++summary.linearBlocks;
                continue;
            }
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            samples[i] = placeSample(xs[x0 + i], ys[x0 + i], srcWidth, srcHeight);
        }
        plane.firstEntries[block] = plane.nextEntry;
        summary.clamped += write(false);
        plane.nextEntry += count;
    }
    return summary;
}

}  // namespace

Sample placeSample(float x, float y, std::uint32_t srcWidth, std::uint32_t srcHeight) {
    return PlaceQuantised(Quantise(x), Quantise(y), srcWidth, srcHeight);
}

std::uint64_t tableSize(std::uint32_t width, std::uint32_t height) {
    return LayoutFor(width, height).total;
}

BuildSummary buildTable(const mpu_remap_maps& maps, void* memory) {
    const Layout layout = LayoutFor(maps.dst_width, maps.dst_height);
    auto* base = static_cast<std::uint8_t*>(memory);
    // The header goes last, so a table whose building was interrupted is never taken for a built one.
    std::memset(base, 0, sizeof(TableHeader));

    const auto planeWriter = [&](const PlaneOffsets& offsets, std::uint32_t width) {
        return PlaneWriter{reinterpret_cast<std::uint32_t*>(base + offsets.entries),
                           reinterpret_cast<std::int32_t*>(base + offsets.bases),
                           base + offsets.blocks,
                           reinterpret_cast<Line*>(base + offsets.lines),
                           reinterpret_cast<std::uint32_t*>(base + offsets.firstEntries),
                           width,
                           0};
    };

    const std::uint32_t width = maps.dst_width;
    std::vector<float> xs(width);
    std::vector<float> ys(width);
    std::vector<Sample> samples(kBlockSamples);
    BuildSummary summary{0, 0, 0};
    const auto add = [&summary](const RowSummary& row) {
        summary.clamped += row.clamped;
        summary.linearBlocks += row.linearBlocks;
    };
    PlaneWriter luma = planeWriter(layout.luma, width);
    for (std::uint32_t y = 0; y < maps.dst_height; ++y) {
        const std::uint64_t rowStart = std::uint64_t{y} * width;
        add(WriteRow(luma, y, maps.src_width, maps.src_height, 1, xs, ys, samples,
                     [&](std::uint32_t x, float* sx, float* sy) {
                         *sx = maps.map_x[rowStart + x];
                         *sy = maps.map_y[rowStart + x];
                     }));
    }

    // Chroma sample (i, j) sits at luma (2i, 2j + 0.5): halfway between two luma rows of the maps, and a
    // source luma position (X, Y) is chroma position (X / 2, (Y - 0.5) / 2).
    PlaneWriter chroma = planeWriter(layout.chroma, width / 2);
    for (std::uint32_t j = 0; j < maps.dst_height / 2; ++j) {
        const std::uint64_t upper = std::uint64_t{2 * j} * width;
        const std::uint64_t lower = upper + width;
        add(WriteRow(chroma, j, maps.src_width / 2, maps.src_height / 2, 2, xs, ys, samples,
                     [&](std::uint32_t i, float* sx, float* sy) {
                         const std::uint64_t column = 2 * std::uint64_t{i};
                         *sx = (maps.map_x[upper + column] + maps.map_x[lower + column]) * 0.25f;
                         *sy = (maps.map_y[upper + column] + maps.map_y[lower + column]) * 0.25f - 0.25f;
                     }));
    }
    summary.blocks = std::uint64_t{BlocksPerRow(width)} * maps.dst_height +
                     std::uint64_t{BlocksPerRow(width / 2)} * (maps.dst_height / 2);

    TableHeader header{};
    header.magic = kMagic;
    header.version = kVersion;
    header.srcWidth = maps.src_width;
    header.srcHeight = maps.src_height;
    header.dstWidth = maps.dst_width;
    header.dstHeight = maps.dst_height;
    header.totalSize = layout.total;
    header.luma = layout.luma;
    header.chroma = layout.chroma;
    std::memcpy(base, &header, sizeof(header));
    return summary;
}

ara::core::Result<TableView, TableError> viewTable(const void* memory, std::uint64_t size,
                                                   std::uint32_t srcWidth, std::uint32_t srcHeight,
                                                   std::uint32_t dstWidth, std::uint32_t dstHeight) {
    using R = ara::core::Result<TableView, TableError>;
    if (memory == nullptr || size < sizeof(TableHeader)) {
        return R::FromError(TableError::kNoMemory);
    }
    TableHeader header{};
    std::memcpy(&header, memory, sizeof(header));
    const Layout layout = LayoutFor(dstWidth, dstHeight);
    if (header.magic != kMagic || header.version != kVersion || header.srcWidth != srcWidth ||
        header.srcHeight != srcHeight || header.dstWidth != dstWidth || header.dstHeight != dstHeight ||
        header.totalSize != layout.total || size < layout.total) {
        return R::FromError(TableError::kNotBuiltForSizes);
    }
    const auto* base = static_cast<const std::uint8_t*>(memory);
    const auto plane = [&](const PlaneOffsets& offsets, std::uint32_t width, std::uint32_t height,
                           std::uint32_t sourceWidth, std::uint32_t sourceHeight) {
        return PlaneTable{width,
                          height,
                          sourceWidth,
                          sourceHeight,
                          BlocksPerRow(width),
                          reinterpret_cast<const std::uint32_t*>(base + offsets.entries),
                          reinterpret_cast<const std::int32_t*>(base + offsets.bases),
                          base + offsets.blocks,
                          reinterpret_cast<const Line*>(base + offsets.lines),
                          reinterpret_cast<const std::uint32_t*>(base + offsets.firstEntries)};
    };
    return TableView{plane(layout.luma, dstWidth, dstHeight, srcWidth, srcHeight),
                     plane(layout.chroma, dstWidth / 2, dstHeight / 2, srcWidth / 2, srcHeight / 2)};
}

}  // namespace mpu::internal::remap
