#pragma once

// The remap lookup table: its layout in the caller's table memory, how it is built from two float maps, and
// how it is applied to an NV12 picture.
//
// Each destination sample has an entry: the top-left source neighbour (x0, y0) as two int16 in one int32,
// and the bilinear fractions (fx, fy) in 1/32 sample as two bytes of a uint16. Entries are grouped in
// blocks of kBlockSamples along a row; a block is marked kInside when every entry's 2 x 2 neighbourhood lies
// in the source (the vector path handles it without bounds checks), kOutside when no neighbour does (filled
// with black), kBorder otherwise (checked sample by sample). Entries that are not kInside keep their
// unclamped position, limited to [-2, size] so it fits in 16 bits.
//
// The luma table has an entry per luma pixel. The chroma table has an entry per U/V pair, made at the chroma
// sample's real position: chroma sample (i, j) sits at luma (2i, 2j + 0.5), so its source position is the
// mean of the luma maps at rows 2j and 2j + 1 of column 2i, converted back to chroma coordinates.

#include <cstddef>
#include <cstdint>

#include "ara/core/result.h"
#include "mpu/mpu_vpc.h"

namespace mpu::internal::remap {

inline constexpr int kFractionBits = 5;
inline constexpr int kFractionOne = 1 << kFractionBits;
inline constexpr std::uint32_t kBlockSamples = 16;

inline constexpr std::uint8_t kLumaBlack = 16;
inline constexpr std::uint8_t kChromaNeutral = 128;

enum BlockKind : std::uint8_t {
    kInside = 0,
    kBorder = 1,
    kOutside = 2,
};

// One plane's table, as the kernels read it.
struct PlaneTable {
    std::uint32_t width;   // destination samples per row
    std::uint32_t height;  // destination rows
    std::uint32_t srcWidth;
    std::uint32_t srcHeight;
    std::uint32_t blocksPerRow;  // whole blocks; samples after them are checked one by one
    const std::int32_t* position;
    const std::uint16_t* fraction;
    const std::uint8_t* blocks;
};

struct TableView {
    PlaneTable luma;
    PlaneTable chroma;
};

// Bytes of table memory for a destination of width x height pixels (both even and in range).
std::uint64_t tableSize(std::uint32_t width, std::uint32_t height);

// Builds the table into `memory` (`size` bytes, at least tableSize). The maps' record has been checked.
void buildTable(const mpu_remap_maps& maps, void* memory);

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

// The fixed-point entry of a source position in samples; exposed for the kernels' border path and tests.
struct Entry {
    std::int32_t position;
    std::uint16_t fraction;
    BlockKind kind;
};
Entry makeEntry(float x, float y, std::uint32_t srcWidth, std::uint32_t srcHeight);

}  // namespace mpu::internal::remap
