#pragma once

// The remap lookup table: its layout in the caller's table memory, how it is built from two float maps, and
// how it is applied to an NV12 picture.
//
// The destination samples of a row are grouped in blocks of kBlockSamples. A lens map is smooth: along one
// block its source positions lie on a straight line to within kLineTolerance, so such a block (kLinear) is
// held as that line alone, its first sample's source position and the step from one sample to the next in
// 1/1024 sample (16 bytes a block, one a luma sample), and each sample's position is worked out when the
// block is remapped (linePosition). The other blocks (a map that is not smooth there, or not a number) hold a
// 32-bit entry per sample. Each block has a base: the top-left source neighbour (x, y) that its samples'
// neighbours count from, as two int16 in one int32. An entry holds the top-left neighbour's distance from the
// base in x (10 bits) and y (10 bits), then the bilinear fractions fx and fy in 1/32 sample (0 to 32, 6 bits
// each, from bit 20 and bit 26). A sample none of whose neighbours lies in the source is the entry
// kFillEntry. Positions are limited to [-2, size] before the base is taken, so every neighbourhood that
// touches the source fits 16 bits; a map whose 16 neighbouring samples lie further apart than kMaxDistance
// has those distances clamped (counted by buildTable).
//
// A block that is not linear has its entries one after the other in the entries area, from its first entry
// on; the area has room for an entry per sample, but for a lens map nearly all of it is never written (and,
// in memory whose pages are given on first touch, never resident). Blocks at the source's edges always have
// entries: there the picture meets the black around it, and a position a little off changes a sample by much.
//
// A block is marked kInside when every sample's 2 x 2 neighbourhood lies in the source (the vector path
// handles it without bounds checks; kRows below when its source is a few rows of a narrow window),
// kOutside when no neighbour does (filled with black), kBorder otherwise (checked sample by sample), and so
// is the last block of a row when it is not whole.
//
#include <cstddef>
#include <cstdint>

#include "ara/core/result.h"
#include "mpu/mpu_vpc.h"

namespace mpu::internal::remap {

inline constexpr int kFractionBits = 5;
inline constexpr int kFractionOne = 1 << kFractionBits;
inline constexpr std::uint32_t kBlockSamples = 16;
inline constexpr int kDistanceBits = 10;
inline constexpr int kFractionFieldBits = kFractionBits + 1;  // 0..32
inline constexpr std::uint32_t kDistanceMask = (1u << kDistanceBits) - 1;
inline constexpr std::int32_t kMaxDistance = static_cast<std::int32_t>(kDistanceMask) - 1;
inline constexpr int kFractionXShift = 2 * kDistanceBits;
inline constexpr int kFractionYShift = kFractionXShift + kFractionFieldBits;
inline constexpr std::uint32_t kFillEntry = 0xFFFFFFFFu;  // its distances exceed kMaxDistance

inline constexpr std::uint8_t kLumaBlack = 16;
inline constexpr std::uint8_t kChromaNeutral = 128;

// How far a linear block's samples may lie from the map's positions, in luma samples (a position in the table
// is then within 1/32 luma sample of the map's); a chroma sample is two luma samples wide and high.
inline constexpr double kLineTolerance = 1.0 / 64;
inline constexpr int kLineBits = 10;
// A block's kind byte: the BlockKind in its low bits, kLinear when the block is a line.
inline constexpr std::uint8_t kLinear = 0x80;
inline constexpr std::uint8_t kKindMask = 0x7F;

// A linear block's samples, counted from the block's base: sample i takes the source position
// (x + i * stepX, y + i * stepY) / 1024 from the base, which the start (x, y) holds already rounded to the
// nearest 1/32 sample (see linePosition). |x|, |y| < 2^24 and |step| < 64 * 1024: no sum overflows. A kRows
// block's positions all lie in [0, 63 * 1024): the vector kernels may work them out in 16-bit lanes.
struct Line {
    std::int32_t x;
    std::int32_t y;
    std::int32_t stepX;
    std::int32_t stepY;
};

enum BlockKind : std::uint8_t {
    kInside = 0,
    kBorder = 1,
    kOutside = 2,
    // Inside, and every neighbourhood of the block lies in a window of 64 bytes of source rows base y to
    // base y + 1 + (kind - kRows): the kernels with a 16-bit lane permute read those rows whole instead of
    // gathering (the others take these blocks as kInside).
    kRows = 3,
};
inline constexpr int kMaxRowSpan = 2;

// Where the 64-byte window of a kRows block's rows starts in a row of `rowBytes` bytes (at least 66): at the
// base's byte, or further left so that the window and the byte after it stay in the row; even, so that a
// chroma window starts at a U byte.
inline std::int32_t rowWindowStart(std::int32_t baseByte, std::uint32_t rowBytes) {
    const std::int32_t last = (static_cast<std::int32_t>(rowBytes) - 65) & ~1;
    return baseByte < last ? (baseByte & ~1) : last;
}

// One plane's table, as the kernels read it.
struct PlaneTable {
    std::uint32_t width;   // destination samples per row
    std::uint32_t height;  // destination rows
    std::uint32_t srcWidth;
    std::uint32_t srcHeight;
    std::uint32_t blocksPerRow;         // the last one may be partial
    const std::uint32_t* entries;       // of the blocks that are not linear, one block after the other
    const std::int32_t* bases;          // per block
    const std::uint8_t* blocks;         // per block, a BlockKind, with kLinear for a line
    const Line* lines;                  // per block, for the linear ones
    const std::uint32_t* firstEntries;  // per block, for the others: the index of its first entry
};

struct TableView {
    PlaneTable luma;
    PlaneTable chroma;
};

// Bytes of table memory for a destination of width x height pixels (both even and in range).
std::uint64_t tableSize(std::uint32_t width, std::uint32_t height);

// What building a table found: how many samples lie further from their block's base than an entry holds (0
// for any smooth map), and how many blocks are held as lines, of how many.
struct BuildSummary {
    std::uint64_t clamped;
    std::uint64_t linearBlocks;
    std::uint64_t blocks;
};

// Builds the table into `memory` (`size` bytes, at least tableSize). The maps' record has been checked.
BuildSummary buildTable(const mpu_remap_maps& maps, void* memory);

// Why table memory cannot be read as a table: none given (or too small for a header), or not a table built
// there for exactly these sizes.
enum class TableError { kNoMemory, kNotBuiltForSizes };

// The table in `memory` if it was built there for exactly these sizes.
ara::core::Result<TableView, TableError> viewTable(const void* memory, std::uint64_t size,
                                                   std::uint32_t srcWidth, std::uint32_t srcHeight,
                                                   std::uint32_t dstWidth, std::uint32_t dstHeight);

// One plane's pixels: `stride` bytes per row.
struct PlaneRef {
    const std::uint8_t* data;
    std::uint32_t stride;
};
struct MutablePlaneRef {
    std::uint8_t* data;
    std::uint32_t stride;
};

// Remaps one plane with its table (the vector kernels pick the best instruction set of this processor).
void remapLumaPlane(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination);
void remapChromaPlane(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination);

// A source position in fixed point: the top-left neighbour, limited to [-2, size], and the fractions in 1/32.
struct Sample {
    std::int32_t x0;
    std::int32_t y0;
    std::int32_t fx;
    std::int32_t fy;
    BlockKind kind;  // of this sample's neighbourhood alone
};
Sample placeSample(float x, float y, std::uint32_t srcWidth, std::uint32_t srcHeight);

// Sample i of a linear block along one axis, in 1/32 sample from the block's base: its top-left neighbour's
// distance is the value / 32, its fraction the value % 32. The vector kernels compute the same in 32-bit
// lanes.
inline std::int32_t linePosition(std::int32_t start, std::int32_t step, std::uint32_t i) {
    return (start + static_cast<std::int32_t>(i) * step) >> (kLineBits - kFractionBits);
}

// The entry of a sample of a linear block (inside the source) from its positions along both axes.
inline std::uint32_t lineEntry(std::int32_t x, std::int32_t y) {
    const auto whole = [](std::int32_t q) { return static_cast<std::uint32_t>(q >> kFractionBits); };
    const auto fraction = [](std::int32_t q) { return static_cast<std::uint32_t>(q & (kFractionOne - 1)); };
    return whole(x) | (whole(y) << kDistanceBits) | (fraction(x) << kFractionXShift) |
           (fraction(y) << kFractionYShift);
}

}  // namespace mpu::internal::remap
