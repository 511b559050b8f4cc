#pragma once

// The remap lookup table: its layout in the caller's table memory, how it is built from two float maps, and
// how it is applied to an NV12 picture.
//
// Each destination sample has a 32-bit entry; entries are grouped in blocks of kBlockSamples along a row, and
// each block has a base: the top-left source neighbour (x, y) that its entries count from, as two int16 in
// one int32. An entry holds the top-left neighbour's distance from the base in x (10 bits) and y (10 bits),
// then the bilinear fractions fx and fy in 1/32 sample (0 to 32, 6 bits each, from bit 20 and bit 26): 4
// bytes a sample and 4 a block, where the two float maps take 8 bytes a sample. A sample none of whose
// neighbours lies in the source is the entry kFillEntry. Positions are limited to [-2, size] before the base
// is taken, so every neighbourhood that touches the source fits 16 bits; a map whose 16 neighbouring samples
// lie further apart than kMaxDistance has those distances clamped (counted by buildTable).
//
// A block is marked kInside when every entry's 2 x 2 neighbourhood lies in the source (the vector path
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
    std::uint32_t blocksPerRow;  // the last one may be partial
    const std::uint32_t* entries;
    const std::int32_t* bases;   // per block
    const std::uint8_t* blocks;  // per block, a BlockKind
};

struct TableView {
    PlaneTable luma;
    PlaneTable chroma;
};

// Bytes of table memory for a destination of width x height pixels (both even and in range).
std::uint64_t tableSize(std::uint32_t width, std::uint32_t height);

// Builds the table into `memory` (`size` bytes, at least tableSize). The maps' record has been checked.
// Returns how many samples lie further from their block's base than an entry holds (0 for any smooth map).
std::uint64_t buildTable(const mpu_remap_maps& maps, void* memory);

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

}  // namespace mpu::internal::remap
