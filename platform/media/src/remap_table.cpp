#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "remap_table.h"

namespace mpu::internal::remap {
namespace {

constexpr std::uint32_t kMagic = 0x544C524D;  // "MRLT"
constexpr std::uint32_t kVersion = 2;
constexpr std::uint64_t kSectionAlignment = 64;

struct PlaneOffsets {
    std::uint64_t entries;
    std::uint64_t bases;
    std::uint64_t blocks;
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

Axis PlaceOnAxis(float coordinate, std::uint32_t size) {
    const std::int32_t q = Quantise(coordinate);
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

struct PlaneWriter {
    std::uint32_t* entries;
    std::int32_t* bases;
    std::uint8_t* blocks;
    std::uint32_t width;
};

// Writes one block's base, entries and kind from its samples; returns how many distances were clamped.
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

std::uint64_t WriteBlock(const Sample* samples, std::uint32_t count, bool whole, std::int32_t channels,
                         std::uint32_t srcWidth, std::uint32_t* entries, std::int32_t* base,
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
    for (std::uint32_t i = 0; i < count; ++i) {
        const Sample& s = samples[i];
        if (s.kind == kOutside) {
            entries[i] = kFillEntry;
            continue;
        }
        const std::int32_t dx = std::min(s.x0 - baseX, kMaxDistance);
        const std::int32_t dy = std::min(s.y0 - baseY, kMaxDistance);
        clamped += (dx != s.x0 - baseX || dy != s.y0 - baseY) ? 1 : 0;
        maxDx = std::max(maxDx, dx);
        maxDy = std::max(maxDy, dy);
        entries[i] = static_cast<std::uint32_t>(dx) | (static_cast<std::uint32_t>(dy) << kDistanceBits) |
                     (static_cast<std::uint32_t>(s.fx) << kFractionXShift) |
                     (static_cast<std::uint32_t>(s.fy) << kFractionYShift);
    }
    *base = static_cast<std::int32_t>((static_cast<std::uint32_t>(baseY) << 16) |
                                      (static_cast<std::uint32_t>(baseX) & 0xFFFF));
    if (allOutside) {
        *kind = kOutside;
    } else if (allInside && whole && clamped == 0) {
        *kind = maxDy <= kMaxRowSpan && FitsRowWindow(baseX, maxDx, channels, srcWidth)
                    ? static_cast<BlockKind>(kRows + maxDy)
                    : kInside;
    } else {
        *kind = kBorder;
    }
    return clamped;
}

// Writes a row's blocks from the source positions `sourceAt` gives for each of its samples.
template <typename SourceAt>
std::uint64_t WriteRow(const PlaneWriter& plane, std::uint32_t row, std::uint32_t srcWidth,
                       std::uint32_t srcHeight, std::int32_t channels, std::vector<Sample>& samples,
                       SourceAt sourceAt) {
    for (std::uint32_t x = 0; x < plane.width; ++x) {
        float sx = 0.0f;
        float sy = 0.0f;
        sourceAt(x, &sx, &sy);
        samples[x] = placeSample(sx, sy, srcWidth, srcHeight);
    }
    const std::uint32_t blocksPerRow = BlocksPerRow(plane.width);
    const std::uint64_t firstBlock = std::uint64_t{row} * blocksPerRow;
    std::uint64_t clamped = 0;
    for (std::uint32_t b = 0; b < blocksPerRow; ++b) {
        const std::uint32_t x0 = b * kBlockSamples;
        const std::uint32_t count = std::min(kBlockSamples, plane.width - x0);
        clamped += WriteBlock(samples.data() + x0, count, count == kBlockSamples, channels, srcWidth,
                              plane.entries + std::uint64_t{row} * plane.width + x0,
                              plane.bases + firstBlock + b, plane.blocks + firstBlock + b);
    }
    return clamped;
}

}  // namespace

Sample placeSample(float x, float y, std::uint32_t srcWidth, std::uint32_t srcHeight) {
    const Axis ax = PlaceOnAxis(x, srcWidth);
    const Axis ay = PlaceOnAxis(y, srcHeight);
    return Sample{ax.start, ay.start, ax.fraction, ay.fraction, Classify(ax, srcWidth, ay, srcHeight)};
}

std::uint64_t tableSize(std::uint32_t width, std::uint32_t height) {
    return LayoutFor(width, height).total;
}

std::uint64_t buildTable(const mpu_remap_maps& maps, void* memory) {
    const Layout layout = LayoutFor(maps.dst_width, maps.dst_height);
    auto* base = static_cast<std::uint8_t*>(memory);
    // The header goes last, so a table whose building was interrupted is never taken for a built one.
    std::memset(base, 0, sizeof(TableHeader));

    const auto planeWriter = [&](const PlaneOffsets& offsets, std::uint32_t width) {
        return PlaneWriter{reinterpret_cast<std::uint32_t*>(base + offsets.entries),
                           reinterpret_cast<std::int32_t*>(base + offsets.bases), base + offsets.blocks,
                           width};
    };

    const std::uint32_t width = maps.dst_width;
    std::vector<Sample> samples(width);
    std::uint64_t clamped = 0;
    const PlaneWriter luma = planeWriter(layout.luma, width);
    for (std::uint32_t y = 0; y < maps.dst_height; ++y) {
        const std::uint64_t rowStart = std::uint64_t{y} * width;
        clamped += WriteRow(luma, y, maps.src_width, maps.src_height, 1, samples,
                            [&](std::uint32_t x, float* sx, float* sy) {
                                *sx = maps.map_x[rowStart + x];
                                *sy = maps.map_y[rowStart + x];
                            });
    }

    // Chroma sample (i, j) sits at luma (2i, 2j + 0.5): halfway between two luma rows of the maps, and a
    // source luma position (X, Y) is chroma position (X / 2, (Y - 0.5) / 2).
    const PlaneWriter chroma = planeWriter(layout.chroma, width / 2);
    for (std::uint32_t j = 0; j < maps.dst_height / 2; ++j) {
        const std::uint64_t upper = std::uint64_t{2 * j} * width;
        const std::uint64_t lower = upper + width;
        clamped += WriteRow(chroma, j, maps.src_width / 2, maps.src_height / 2, 2, samples,
                            [&](std::uint32_t i, float* sx, float* sy) {
                                const std::uint64_t column = 2 * std::uint64_t{i};
                                *sx = (maps.map_x[upper + column] + maps.map_x[lower + column]) * 0.25f;
                                *sy =
                                    (maps.map_y[upper + column] + maps.map_y[lower + column]) * 0.25f - 0.25f;
                            });
    }

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
    return clamped;
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
                          base + offsets.blocks};
    };
    return TableView{plane(layout.luma, dstWidth, dstHeight, srcWidth, srcHeight),
                     plane(layout.chroma, dstWidth / 2, dstHeight / 2, srcWidth / 2, srcHeight / 2)};
}

}  // namespace mpu::internal::remap
