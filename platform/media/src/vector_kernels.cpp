// The media unit's vector kernels, compiled once per instruction set (Highway's dynamic dispatch): the same
// code runs on the vehicle's AArch64 (NEON/SVE) and on x86 (SSE4, AVX2, AVX-512), choosing the best set at
// run time.
//
// The remap is the hottest code of the media unit, so the inside blocks, which are nearly all of a picture,
// are done without any bounds check, and the bilinear weights are applied in 16- and 32-bit integer lanes,
// giving exactly remapSample's result. A lens map's blocks mostly read two to four source rows within 64
// bytes (kRows): on AVX-512 each such row is loaded once and the samples' neighbour pairs are picked out of
// it with a 16-bit lane permute. The other inside blocks, and every block on the other targets, fetch each
// sample's 2 x 2 neighbourhood with two 32-bit gathers, which cost several times more on the processors
// measured.
//
// The bilinear down-scaler's vertical blend runs over whole vectors of the source row; its horizontal blend
// works on 128-bit blocks on every target, because a byte shuffle only reaches within one 128-bit block on
// AVX2 and AVX-512, and 16 bytes of source cover the 8 destination bytes of a column block.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "vector_kernels.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
// Must come after foreach_target.h.
#include "hwy/cache_control.h"
#include "hwy/highway.h"

#include <algorithm>
#include <cstring>

#include "nv12_scaler.h"
#include "remap_scalar.h"
#include "remap_table.h"

// Shared by every target's kernels; this file is compiled once per target.
#ifndef MPU_VECTOR_KERNELS_SHARED
#define MPU_VECTOR_KERNELS_SHARED
namespace mpu::internal {
// What one prefetch asks for.
inline constexpr std::uint32_t kCacheLine = 64;
}  // namespace mpu::internal
#endif

HWY_BEFORE_NAMESPACE();
namespace mpu::internal::remap {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET == HWY_SCALAR

// One lane cannot hold the 16-bit pairs the vector path works on: this fallback (old compilers without a
// usable 128-bit emulation) goes sample by sample.
void RemapPlaneBySample(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination, int channels,
                        std::uint8_t border) {
    for (std::uint32_t y = 0; y < table.height; ++y) {
        std::uint8_t* out = destination.data + std::uint64_t{y} * destination.stride;
        for (std::uint32_t x = 0; x < table.width; ++x) {
            remapSampleAt(table, source, x, y, channels, border, out + x * channels);
        }
    }
}

void RemapLumaRows(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination) {
    RemapPlaneBySample(table, source, destination, 1, kLumaBlack);
}

void RemapChromaRows(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination) {
    RemapPlaneBySample(table, source, destination, 2, kChromaNeutral);
}

#else

// The source lines a row will read lie along a curve through many source rows, which the hardware
// prefetchers cannot follow; so each block asks for the lines of the block a few rows further down: both
// cache lines its 64-byte window meets, in its base row and the next. With the first line alone, left to
// the blocks to the right for the next, a remap from a source outside the caches took half as long again as
// one from a source in them.
constexpr std::uint32_t kPrefetchRows = 6;

HWY_INLINE void PrefetchNeighbourhood(PlaneRef source, std::int32_t base, std::uint32_t bytesPerSample) {
    const std::int32_t x = static_cast<std::int16_t>(base & 0xFFFF);
    const std::int32_t y = base >> 16;
    if (x >= 0 && y >= 0) {
        const std::uint8_t* line = source.data + static_cast<std::uint64_t>(y) * source.stride +
                                   static_cast<std::uint64_t>(x) * bytesPerSample;
        for (const std::uint8_t* row : {line, line + source.stride}) {
            hwy::Prefetch(row);
            hwy::Prefetch(row + kCacheLine);
        }
    }
}

// Whether this target picks kRows blocks' pairs out of row windows (see PickRows).
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
constexpr bool kRowWindows = true;
#else
constexpr bool kRowWindows = false;
#endif

// At most one block per vector, so a block is always a whole number of vectors.
using D32 = hn::CappedTag<std::int32_t, kBlockSamples>;

template <class D>
struct Lanes {
    using DI16 = hn::Repartition<std::int16_t, D>;
    using DU16 = hn::Repartition<std::uint16_t, D>;
    using DHalf16 = hn::Rebind<std::uint16_t, D>;  // one uint16 per 32-bit lane
    using DU8 = hn::Rebind<std::uint8_t, D>;       // one byte per 32-bit lane
};

// Horizontal step in 16-bit lanes: each 16-bit lane holds a neighbour pair (low byte first); the result is
// first * (32 - fx) + second * fx, at most 255 * 32.
template <class D>
HWY_INLINE hn::Vec<typename Lanes<D>::DI16> LerpPairs(hn::Vec<D> pairs, hn::Vec<D> fx) {
    const typename Lanes<D>::DI16 d16;
    const typename Lanes<D>::DU16 du16;
    const auto fx16 = hn::BitCast(d16, hn::Or(fx, hn::ShiftLeft<16>(fx)));
    const auto p16 = hn::BitCast(d16, pairs);
    const auto first = hn::And(p16, hn::Set(d16, 0x00FF));
    const auto second = hn::BitCast(d16, hn::ShiftRight<8>(hn::BitCast(du16, p16)));
    return hn::Add(hn::ShiftLeft<kFractionBits>(first), hn::Mul(hn::Sub(second, first), fx16));
}

// Vertical step in 32-bit lanes: top * (32 - fy) + bottom * fy, rounded and scaled back to a code value.
template <class D>
HWY_INLINE hn::Vec<D> LerpRows(D d, hn::Vec<D> top, hn::Vec<D> bottom, hn::Vec<D> fy) {
    const auto sum = hn::Add(hn::ShiftLeft<kFractionBits>(top), hn::Mul(hn::Sub(bottom, top), fy));
    return hn::ShiftRight<2 * kFractionBits>(hn::Add(sum, hn::Set(d, 1 << (2 * kFractionBits - 1))));
}

// Every sample's top-left neighbour, as its distance from the block's base, and its fractions.
struct Positions {
    hn::Vec<D32> dx;
    hn::Vec<D32> dy;
    hn::Vec<D32> fx;
    hn::Vec<D32> fy;
};

// The positions of hn::Lanes(D32) samples from their entries.
HWY_INLINE Positions FromEntries(const std::uint32_t* entries) {
    const D32 d;
    const hn::RebindToUnsigned<D32> du;
    const auto packed = hn::BitCast(d, hn::LoadU(du, entries));
    const auto mask = hn::Set(d, static_cast<std::int32_t>(kDistanceMask));
    // Logical shift for fy: the top field ends at bit 31.
    return Positions{
        hn::And(packed, mask), hn::And(hn::ShiftRight<kDistanceBits>(packed), mask),
        hn::And(hn::ShiftRight<kFractionXShift>(packed), hn::Set(d, (1 << kFractionFieldBits) - 1)),
        hn::BitCast(d, hn::ShiftRight<kFractionYShift>(hn::BitCast(du, packed)))};
}

// The positions of samples first .. first + hn::Lanes(D32) - 1 of a linear block: linePosition in lanes.
HWY_INLINE Positions FromLine(const Line& line, std::uint32_t first) {
    const D32 d;
    const auto index = hn::Iota(d, static_cast<std::int32_t>(first));
    const auto along = [&](std::int32_t start, std::int32_t step) HWY_ATTR {
        return hn::ShiftRight<kLineBits - kFractionBits>(
            hn::Add(hn::Set(d, start), hn::Mul(index, hn::Set(d, step))));
    };
    const auto qx = along(line.x, line.stepX);
    const auto qy = along(line.y, line.stepY);
    const auto fraction = hn::Set(d, kFractionOne - 1);
    return Positions{hn::ShiftRight<kFractionBits>(qx), hn::ShiftRight<kFractionBits>(qy),
                     hn::And(qx, fraction), hn::And(qy, fraction)};
}

// The walk over the rows of one plane, the same for luma (`kChannels` 1) and interleaved chroma (2): blocks
// wholly outside the source are filled with `fill`, border blocks go sample by sample, and the inside blocks
// go through `step`, which remaps hn::Lanes(D32) samples given their positions, the byte offset of the
// block's base in the source and their output; `windowStep` takes a whole kRows block on the targets that
// read row windows, and `lineStep` linear kRows blocks where `kLineBlocks` is not 0: one at a time, or two
// neighbouring ones at once (a block that has no such neighbour goes to `windowStep`).
template <int kChannels, int kLineBlocks, class VectorStep, class WindowStep, class LineStep>
HWY_INLINE void RemapRows(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination,
                          std::uint8_t fill, VectorStep step, WindowStep windowStep, LineStep lineStep) {
    const std::size_t lanes = hn::Lanes(D32());
    const auto lineInRows = [](std::uint8_t block) {
        return (block & kLinear) != 0 && (block & kKindMask) >= kRows;
    };
    for (std::uint32_t y = 0; y < table.height; ++y) {
        const std::uint64_t firstBlock = std::uint64_t{y} * table.blocksPerRow;
        const std::int32_t* bases = table.bases + firstBlock;
        const std::uint8_t* blocks = table.blocks + firstBlock;
        const Line* lines = table.lines + firstBlock;
        const std::uint32_t* firstEntries = table.firstEntries + firstBlock;
        std::uint8_t* out = destination.data + std::uint64_t{y} * destination.stride;
        const std::int32_t* ahead =
            y + kPrefetchRows < table.height ? bases + kPrefetchRows * table.blocksPerRow : nullptr;

        for (std::uint32_t b = 0; b < table.blocksPerRow; ++b) {
            const std::uint32_t x0 = b * kBlockSamples;
            if (ahead != nullptr) {
                PrefetchNeighbourhood(source, ahead[b], kChannels);
            }
            const std::uint8_t kind = blocks[b] & kKindMask;
            const bool linear = (blocks[b] & kLinear) != 0;
            if (kLineBlocks == 1 && lineInRows(blocks[b])) {
                lineStep(lines + b, bases + b, kind - kRows, 0, out + kChannels * x0);
                continue;
            }
            if (kLineBlocks == 2 && lineInRows(blocks[b]) && b + 1 < table.blocksPerRow &&
                lineInRows(blocks[b + 1])) {
                if (ahead != nullptr) {
                    PrefetchNeighbourhood(source, ahead[b + 1], kChannels);
                }
                lineStep(lines + b, bases + b, kind - kRows, (blocks[b + 1] & kKindMask) - kRows,
                         out + kChannels * x0);
                ++b;
                continue;
            }
            const auto positionsAt = [&](std::uint32_t first) HWY_ATTR {
                return linear ? FromLine(lines[b], first)
                              : FromEntries(table.entries + firstEntries[b] + first);
            };
            if (kRowWindows && kind >= kRows) {
                windowStep(positionsAt(0), bases[b], kind - kRows, out + kChannels * x0);
                continue;
            }
            if (kind == kInside || kind >= kRows) {
                const std::int32_t base = bases[b];
                const std::int32_t offset = static_cast<std::int16_t>(base & 0xFFFF) * kChannels +
                                            (base >> 16) * static_cast<std::int32_t>(source.stride);
                for (std::uint32_t first = 0; first < kBlockSamples; first += lanes) {
                    step(positionsAt(first), offset, out + kChannels * (x0 + first));
                }
                continue;
            }
            const std::uint32_t x1 = std::min(x0 + kBlockSamples, table.width);
            if (kind == kOutside) {
                std::memset(out + kChannels * x0, fill, kChannels * (x1 - x0));
                continue;
            }
            for (std::uint32_t x = x0; x < x1; ++x) {
                remapSample(table, source, entryAt(table, x, y), bases[b], kChannels, fill,
                            out + kChannels * x);
            }
        }
    }
}

// The source byte offsets of the samples' top-left neighbours, given the base's byte offset.
template <int kChannels>
HWY_INLINE hn::Vec<D32> OffsetsOf(const Positions& p, std::int32_t baseOffset, hn::Vec<D32> stride) {
    const D32 d;
    const auto columns = kChannels == 2 ? hn::ShiftLeft<1>(p.dx) : p.dx;
    return hn::Add(hn::Add(hn::Set(d, baseOffset), columns), hn::Mul(p.dy, stride));
}

// Blocks of a few source rows (kRows) without gathers: where a vector holds a whole block and a 16-bit
// lane permute spans the vector (AVX-512: vpermw, vpermt2w), each of the block's source rows is loaded once
// as a 64-byte window and every sample's neighbour pair picked out of it by lane.
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
static_assert(kBlockSamples == 16, "one AVX-512 vector of 32-bit lanes per block");

// The pairs of a block's samples from the windows of its rows base y .. base y + kSpan + 1: for each sample,
// the lane of row dy (`top`) and of row dy + 1 (`bottom`). `pick(r)` gives every sample's lane of row r.
template <int kSpan, class Pick>
HWY_INLINE void PickRows(hn::Vec<D32> dy, Pick pick, hn::Vec<D32>* top, hn::Vec<D32>* bottom) {
    const D32 d;
    const auto row0 = pick(0);
    const auto row1 = pick(1);
    if constexpr (kSpan == 0) {
        *top = row0;
        *bottom = row1;
    } else {
        const auto row2 = pick(2);
        const auto at1 = hn::Eq(dy, hn::Set(d, 1));
        if constexpr (kSpan == 1) {
            *top = hn::IfThenElse(at1, row1, row0);
            *bottom = hn::IfThenElse(at1, row2, row1);
        } else {
            static_assert(kSpan == kMaxRowSpan, "spans 0 to 2");
            const auto row3 = pick(3);
            const auto at2 = hn::Eq(dy, hn::Set(d, 2));
            *top = hn::IfThenElse(at2, row2, hn::IfThenElse(at1, row1, row0));
            *bottom = hn::IfThenElse(at2, row3, hn::IfThenElse(at1, row2, row1));
        }
    }
}

// PickRows for a span known at run time.
template <class Pick>
HWY_INLINE void PickRows(int span, hn::Vec<D32> dy, Pick pick, hn::Vec<D32>* top, hn::Vec<D32>* bottom) {
    if (span == 0) {
        PickRows<0>(dy, pick, top, bottom);
    } else if (span == 1) {
        PickRows<1>(dy, pick, top, bottom);
    } else {
        PickRows<2>(dy, pick, top, bottom);
    }
}
#endif

// The first source byte of a block's window, and the byte of the block's base in it.
struct WindowStart {
    const std::uint8_t* start;
    std::int32_t baseByte;
};

HWY_INLINE WindowStart WindowStartOf(PlaneRef source, std::uint32_t rowBytes, std::int32_t base,
                                     std::int32_t channels) {
    const std::int32_t baseByte = static_cast<std::int16_t>(base & 0xFFFF) * channels;
    const std::int32_t start = rowWindowStart(baseByte, rowBytes);
    return WindowStart{source.data + static_cast<std::int64_t>(base >> 16) * source.stride + start,
                       baseByte - start};
}

// The first source byte of a block's window and every sample's byte in it, from the base and the entries.
struct Window {
    const std::uint8_t* start;
    hn::Vec<D32> byte;
};

HWY_INLINE Window WindowOf(PlaneRef source, std::uint32_t rowBytes, std::int32_t base, hn::Vec<D32> dx,
                           std::int32_t channels) {
    const D32 d;
    const WindowStart window = WindowStartOf(source, rowBytes, base, channels);
    const auto columns = channels == 2 ? hn::ShiftLeft<1>(dx) : dx;
    return Window{window.start, hn::Add(columns, hn::Set(d, window.baseByte))};
}

#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
// AVX-512 has byte and 16-bit multiply-adds of neighbouring lanes (vpmaddubsw, vpmaddwd): each blend is one
// instruction, with the same integer result as LerpPairs and LerpRows.

// Per 32-bit lane the bytes 32 - fx, fx, 32 - fx, fx (the horizontal weights of both rows' pairs).
HWY_INLINE __m512i PairWeights(hn::Vec<D32> fx) {
    const __m512i one = _mm512_set1_epi32(kFractionOne);
    const __m512i pair = _mm512_or_si512(_mm512_sub_epi32(one, fx.raw), _mm512_slli_epi32(fx.raw, 8));
    return _mm512_or_si512(pair, _mm512_slli_epi32(pair, 16));
}

// Per 32-bit lane the 16-bit weights 32 - fy (low) and fy (high).
HWY_INLINE __m512i RowWeights(hn::Vec<D32> fy) {
    return _mm512_or_si512(_mm512_sub_epi32(_mm512_set1_epi32(kFractionOne), fy.raw),
                           _mm512_slli_epi32(fy.raw, 16));
}

// A sum in 1/1024 rounded to a code value.
HWY_INLINE hn::Vec<D32> Rounded(__m512i sum) {
    return hn::Vec<D32>{_mm512_srli_epi32(
        _mm512_add_epi32(sum, _mm512_set1_epi32(1 << (2 * kFractionBits - 1))), 2 * kFractionBits)};
}

// The values are code values already (0 to 255): each lane is narrowed to its low byte or bytes by one
// truncating move.
HWY_INLINE void FinishLuma(hn::Vec<D32> upper, hn::Vec<D32> lower, const Positions& e, std::uint8_t* out) {
    // Both rows' pairs in one lane, upper pair first; blended to the two rows' values, then to one.
    const __m512i pairs = _mm512_or_si512(_mm512_and_si512(upper.raw, _mm512_set1_epi32(0xFFFF)),
                                          _mm512_slli_epi32(lower.raw, 16));
    const __m512i rows = _mm512_maddubs_epi16(pairs, PairWeights(e.fx));
    const auto value = Rounded(_mm512_madd_epi16(rows, RowWeights(e.fy)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm512_cvtepi32_epi8(value.raw));
}

HWY_INLINE void FinishChroma(hn::Vec<D32> upper, hn::Vec<D32> lower, const Positions& e, std::uint8_t* out) {
    const __m512i weights = PairWeights(e.fx);
    // Each row's U value in its low 16 bits and V value in its high ones.
    const __m512i top = _mm512_maddubs_epi16(upper.raw, weights);
    const __m512i bottom = _mm512_maddubs_epi16(lower.raw, weights);
    const __m512i low16 = _mm512_set1_epi32(0xFFFF);
    const __m512i uRows = _mm512_or_si512(_mm512_and_si512(top, low16), _mm512_slli_epi32(bottom, 16));
    const __m512i vRows = _mm512_or_si512(_mm512_srli_epi32(top, 16), _mm512_andnot_si512(low16, bottom));
    const __m512i rowWeights = RowWeights(e.fy);
    const auto u = Rounded(_mm512_madd_epi16(uRows, rowWeights));
    const auto v = Rounded(_mm512_madd_epi16(vRows, rowWeights));
    const auto uv = hn::Or(u, hn::ShiftLeft<8>(v));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_cvtepi32_epi16(uv.raw));
}
#else
// Both rows' pairs in one vector: upper pair in the low 16 bits, lower pair in the high ones; then the
// bilinear sum, stored as bytes.
HWY_INLINE void FinishLuma(hn::Vec<D32> upper, hn::Vec<D32> lower, const Positions& e, std::uint8_t* out) {
    const D32 d;
    const typename Lanes<D32>::DU8 du8;
    const auto low16 = hn::Set(d, 0xFFFF);
    const auto pairs = hn::Or(hn::And(upper, low16), hn::ShiftLeft<16>(lower));
    const auto rows = hn::BitCast(d, LerpPairs<D32>(pairs, e.fx));
    const auto value = LerpRows(d, hn::And(rows, low16), hn::ShiftRight<16>(rows), e.fy);
    hn::StoreU(hn::DemoteTo(du8, value), du8, out);
}

// `upper` and `lower` hold U0 U1 V0 V1 per lane.
HWY_INLINE void FinishChroma(hn::Vec<D32> upper, hn::Vec<D32> lower, const Positions& e, std::uint8_t* out) {
    const D32 d;
    const typename Lanes<D32>::DHalf16 dHalf16;
    const auto low16 = hn::Set(d, 0xFFFF);
    // Each result holds the U sum in its low 16 bits and the V sum in its high ones.
    const auto top = hn::BitCast(d, LerpPairs<D32>(upper, e.fx));
    const auto bottom = hn::BitCast(d, LerpPairs<D32>(lower, e.fx));
    const auto u = LerpRows(d, hn::And(top, low16), hn::And(bottom, low16), e.fy);
    const auto v = LerpRows(d, hn::ShiftRight<16>(top), hn::ShiftRight<16>(bottom), e.fy);
    const auto uv = hn::Or(u, hn::ShiftLeft<8>(v));
    hn::StoreU(hn::DemoteTo(dHalf16, uv), dHalf16, reinterpret_cast<std::uint16_t*>(out));
}

#endif

#if HWY_TARGET == HWY_AVX3_DL
// Two neighbouring linear luma blocks of a few rows (kRows) in one vector of 32 16-bit lanes, block a in
// lanes 0 to 15 and block b in lanes 16 to 31: each source row's neighbour pairs of both blocks come out of
// one byte permute over the two blocks' 64-byte windows (VBMI), and both blends run on 32 samples at once,
// with the same integer result as FinishLuma.
constexpr bool kBytePermutes = true;

// The positions of 32 samples along both axes in 1/1024 sample from their blocks' bases, as 16-bit lanes:
// start + i * step of the Line of `held` (one or two Lines, one after the other) that `lineOf` picks for
// each lane, with i from `index`. Every position of a kRows block lies in [0, 63 * 1024): the 16-bit
// sums are exact, whatever they pass through.
struct Positions16 {
    __m512i qx;
    __m512i qy;
};

HWY_INLINE Positions16 LinePositions16(__m512i held, __m512i lineOf, __m512i index) {
    static_assert(sizeof(Line) == 16 && kLineBits == 10, "a Line's fields are 32-bit lanes 0 to 3");
    // The low half of field f of the Line in `lineOf`'s lane (0 or 8) is 16-bit lane lineOf + 2 f.
    const auto along = [&](int field) {
        const __m512i start =
            _mm512_permutexvar_epi16(_mm512_add_epi16(lineOf, _mm512_set1_epi16(2 * field)), held);
        const __m512i step =
            _mm512_permutexvar_epi16(_mm512_add_epi16(lineOf, _mm512_set1_epi16(2 * field + 4)), held);
        return _mm512_add_epi16(start, _mm512_mullo_epi16(index, step));
    };
    return Positions16{along(0), along(1)};
}

// The pairs of 32 samples from their source rows 0 .. span + 1 (`row(r)`): for each sample, the pair of
// row dy (`top`) and of row dy + 1 (`bottom`).
template <class Row>
HWY_INLINE void PickPairs(int span, __m512i dy, Row row, __m512i* top, __m512i* bottom) {
    const __m512i row1 = row(1);
    *top = row(0);
    *bottom = row1;
    if (span >= 1) {
        const __m512i row2 = row(2);
        const __mmask32 at1 = _mm512_cmpeq_epi16_mask(dy, _mm512_set1_epi16(1));
        *top = _mm512_mask_mov_epi16(*top, at1, row1);
        *bottom = _mm512_mask_mov_epi16(*bottom, at1, row2);
        if (span >= 2) {
            const __mmask32 at2 = _mm512_cmpeq_epi16_mask(dy, _mm512_set1_epi16(2));
            *top = _mm512_mask_mov_epi16(*top, at2, row2);
            *bottom = _mm512_mask_mov_epi16(*bottom, at2, row(3));
        }
    }
}

// The bilinear blend of 32 samples' pairs (first byte low) at their positions in 1/1024 sample, stored as
// 32 bytes: the same integer result as remapSample's. Each row's pair gives first * (32 - fx) + second * fx
// (vpmaddubsw); the rows' values upper and lower then give round((upper * (32 - fy) + lower * fy) / 1024),
// which equals (upper + floor((lower - upper) * fy / 32) + 16) / 32 rounded down: what the inner floor
// drops is less than one 32nd of the sum's unit, whose fraction the outer one drops anyway. The inner floor
// is the high half of the 16-bit product of twice the difference and fy * 1024.
HWY_INLINE void BlendPairs(__m512i top, __m512i bottom, __m512i qx, __m512i qy, std::uint8_t* out) {
    const __m512i fractionMask = _mm512_set1_epi16(kFractionOne - 1);
    const __m512i fx = _mm512_and_si512(_mm512_srli_epi16(qx, kLineBits - kFractionBits), fractionMask);
    const __m512i pairWeights =
        _mm512_or_si512(_mm512_sub_epi16(_mm512_set1_epi16(kFractionOne), fx), _mm512_slli_epi16(fx, 8));
    const __m512i upper = _mm512_maddubs_epi16(top, pairWeights);
    const __m512i lower = _mm512_maddubs_epi16(bottom, pairWeights);
    // fy < 32 in a linear block, so fy * 1024 and twice the difference (at most 2 * 255 * 32) fit 16 bits.
    const __m512i fy1024 =
        _mm512_and_si512(_mm512_slli_epi16(qy, 2 * kFractionBits - (kLineBits - kFractionBits)),
                         _mm512_set1_epi16((kFractionOne - 1) << 10));
    const __m512i part = _mm512_mulhi_epi16(_mm512_slli_epi16(_mm512_sub_epi16(lower, upper), 1), fy1024);
    const __m512i value = _mm512_srli_epi16(
        _mm512_add_epi16(_mm512_add_epi16(upper, part), _mm512_set1_epi16(kFractionOne / 2)), kFractionBits);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_cvtepi16_epi8(value));
}

HWY_INLINE void RemapLumaPair(PlaneRef source, std::uint32_t rowBytes, const Line* lines,
                              const std::int32_t* bases, int spanA, int spanB, std::uint8_t* out) {
    // Lanes 0 to 15 take the first Line (16-bit lane 0 of the two), lanes 16 to 31 the second (lane 8).
    const __m512i lineOf = _mm512_maskz_set1_epi16(0xFFFF0000u, 8);
    const __m512i index = _mm512_set_epi16(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13,
                                           12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0);
    const Positions16 q = LinePositions16(
        _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lines))), lineOf, index);
    const __m512i dy = _mm512_srli_epi16(q.qy, kLineBits);

    // Each block's window of its base rows; in the permute, block b's bytes are 64 to 127.
    const WindowStart a = WindowStartOf(source, rowBytes, bases[0], 1);
    const WindowStart b = WindowStartOf(source, rowBytes, bases[1], 1);
    const __m512i first =
        _mm512_add_epi16(_mm512_srli_epi16(q.qx, kLineBits),
                         _mm512_mask_set1_epi16(_mm512_set1_epi16(static_cast<std::int16_t>(a.baseByte)),
                                                0xFFFF0000u, static_cast<std::int16_t>(b.baseByte + 64)));
    // Per 16-bit lane the bytes of the pair: first, first + 1.
    const __m512i pairIndex =
        _mm512_or_si512(first, _mm512_slli_epi16(_mm512_add_epi16(first, _mm512_set1_epi16(1)), 8));
    // A block of fewer rows reads its last row (span + 1) again where the other reads more: never past its
    // rows.
    const auto row = [&](int r) {
        const auto load = [&](const WindowStart& window, int span) {
            return _mm512_loadu_si512(window.start +
                                      static_cast<std::int64_t>(std::min(r, span + 1)) * source.stride);
        };
        return _mm512_permutex2var_epi8(load(a, spanA), pairIndex, load(b, spanB));
    };
    __m512i top;
    __m512i bottom;
    PickPairs(std::max(spanA, spanB), dy, row, &top, &bottom);
    BlendPairs(top, bottom, q.qx, q.qy, out);
}

// One linear chroma block of a few rows (kRows) in 32 16-bit lanes, the U and V value of sample k in lanes
// 2k and 2k + 1: each source row's neighbour pairs (U at bytes p and p + 2, V at p + 1 and p + 3) come out of
// one byte permute of the block's window.
HWY_INLINE void RemapChromaLine(PlaneRef source, std::uint32_t rowBytes, const Line* line, std::int32_t base,
                                int span, std::uint8_t* out) {
    const __m512i index = _mm512_set_epi16(15, 15, 14, 14, 13, 13, 12, 12, 11, 11, 10, 10, 9, 9, 8, 8, 7, 7,
                                           6, 6, 5, 5, 4, 4, 3, 3, 2, 2, 1, 1, 0, 0);
    const Positions16 q =
        LinePositions16(_mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line))),
                        _mm512_setzero_si512(), index);
    const WindowStart w = WindowStartOf(source, rowBytes, base, 2);
    // U lanes at byte baseByte + 2 dx, V lanes one byte on.
    const __m512i first =
        _mm512_add_epi16(_mm512_slli_epi16(_mm512_srli_epi16(q.qx, kLineBits), 1),
                         _mm512_add_epi16(_mm512_set1_epi16(static_cast<std::int16_t>(w.baseByte)),
                                          _mm512_set1_epi32(0x00010000)));
    const __m512i pairIndex =
        _mm512_or_si512(first, _mm512_slli_epi16(_mm512_add_epi16(first, _mm512_set1_epi16(2)), 8));
    const auto row = [&](int r) {
        return _mm512_permutexvar_epi8(
            pairIndex, _mm512_loadu_si512(w.start + static_cast<std::int64_t>(r) * source.stride));
    };
    __m512i top;
    __m512i bottom;
    PickPairs(span, _mm512_srli_epi16(q.qy, kLineBits), row, &top, &bottom);
    BlendPairs(top, bottom, q.qx, q.qy, out);
}
#else
constexpr bool kBytePermutes = false;
#endif

void RemapLumaRows(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination) {
    const D32 d;
    const auto* base = reinterpret_cast<const std::int32_t*>(source.data);
    const auto stride = hn::Set(d, static_cast<std::int32_t>(source.stride));
    [[maybe_unused]] const std::uint32_t rowBytes = table.srcWidth;  // used by the AVX-512 targets only
    RemapRows<1, kBytePermutes ? 2 : 0>(
        table, source, destination, kLumaBlack,
        [&](const Positions& e, std::int32_t baseOffset, std::uint8_t* out) HWY_ATTR {
            const auto offset = OffsetsOf<1>(e, baseOffset, stride);
            FinishLuma(hn::GatherOffset(d, base, offset), hn::GatherOffset(d, base, hn::Add(offset, stride)),
                       e, out);
        },
        [&](const Positions& e, std::int32_t blockBase, int span, std::uint8_t* out) HWY_ATTR {
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
            const Window w = WindowOf(source, rowBytes, blockBase, e.dx, 1);
            // The pair at byte p of the window is 16-bit lane p / 2 of the window (p even) or of the window
            // one byte on (p odd): lanes 32 to 63 of the two-table permute.
            const auto lane =
                hn::Add(hn::ShiftRight<1>(w.byte), hn::ShiftLeft<5>(hn::And(w.byte, hn::Set(d, 1))));
            hn::Vec<D32> upper;
            hn::Vec<D32> lower;
            PickRows(
                span, e.dy,
                [&](int r) HWY_ATTR {
                    const std::uint8_t* row = w.start + static_cast<std::int64_t>(r) * source.stride;
                    return hn::Vec<D32>{_mm512_permutex2var_epi16(_mm512_loadu_si512(row), lane.raw,
                                                                  _mm512_loadu_si512(row + 1))};
                },
                &upper, &lower);
            FinishLuma(upper, lower, e, out);
#else
            (void)e, (void)blockBase, (void)span, (void)out;
#endif
        },
        [&](const Line* lines, const std::int32_t* blockBases, int spanA, int spanB, std::uint8_t* out)
            HWY_ATTR {
#if HWY_TARGET == HWY_AVX3_DL
                RemapLumaPair(source, rowBytes, lines, blockBases, spanA, spanB, out);
#else
                (void)lines, (void)blockBases, (void)spanA, (void)spanB, (void)out;
#endif
            });
}

void RemapChromaRows(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination) {
    const D32 d;
    const hn::Repartition<std::uint8_t, D32> dBytes;
    const auto* base = reinterpret_cast<const std::int32_t*>(source.data);
    const auto stride = hn::Set(d, static_cast<std::int32_t>(source.stride));
    [[maybe_unused]] const std::uint32_t rowBytes = 2 * table.srcWidth;  // used by the AVX-512 targets only
    // A gathered 32-bit lane holds U0 V0 U1 V1; reordered to U0 U1 V0 V1 it is two neighbour pairs.
    alignas(16) static constexpr std::uint8_t kPairOrder[16] = {0, 2,  1, 3,  4,  6,  5,  7,
                                                                8, 10, 9, 11, 12, 14, 13, 15};
    const auto pairOrder = hn::LoadDup128(dBytes, kPairOrder);
    const auto toPairs = [&](hn::Vec<D32> gathered) HWY_ATTR {
        return hn::BitCast(d, hn::TableLookupBytes(hn::BitCast(dBytes, gathered), pairOrder));
    };
    RemapRows<2, kBytePermutes ? 1 : 0>(
        table, source, destination, kChromaNeutral,
        [&](const Positions& e, std::int32_t baseOffset, std::uint8_t* out) HWY_ATTR {
            const auto offset = OffsetsOf<2>(e, baseOffset, stride);
            FinishChroma(toPairs(hn::GatherOffset(d, base, offset)),
                         toPairs(hn::GatherOffset(d, base, hn::Add(offset, stride))), e, out);
        },
        [&](const Positions& e, std::int32_t blockBase, int span, std::uint8_t* out) HWY_ATTR {
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
            const Window w = WindowOf(source, rowBytes, blockBase, e.dx, 2);
            // The sample at (even) byte p and the next one are 16-bit lanes p / 2 and p / 2 + 1: U0 V0 U1 V1.
            const auto first = hn::ShiftRight<1>(w.byte);
            const auto lanes = hn::Or(first, hn::ShiftLeft<16>(hn::Add(first, hn::Set(d, 1))));
            hn::Vec<D32> upper;
            hn::Vec<D32> lower;
            PickRows(
                span, e.dy,
                [&](int r) HWY_ATTR {
                    const std::uint8_t* row = w.start + static_cast<std::int64_t>(r) * source.stride;
                    return hn::Vec<D32>{_mm512_permutexvar_epi16(lanes.raw, _mm512_loadu_si512(row))};
                },
                &upper, &lower);
            FinishChroma(toPairs(upper), toPairs(lower), e, out);
#else
            (void)e, (void)blockBase, (void)span, (void)out;
#endif
        },
        [&](const Line* lines, const std::int32_t* blockBases, int span, int, std::uint8_t* out) HWY_ATTR {
#if HWY_TARGET == HWY_AVX3_DL
            RemapChromaLine(source, rowBytes, lines, blockBases[0], span, out);
#else
            (void)lines, (void)blockBases, (void)span, (void)out;
#endif
        });
}

#endif  // HWY_TARGET == HWY_SCALAR

}  // namespace HWY_NAMESPACE
}  // namespace mpu::internal::remap

namespace mpu::internal::scale {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

HWY_INLINE std::uint8_t Blend(std::uint32_t first, std::uint32_t second, std::uint32_t weight) {
    return static_cast<std::uint8_t>((first * (kWeightOne - weight) + second * weight + (kWeightOne / 2)) >>
                                     kWeightBits);
}

#if HWY_TARGET == HWY_SCALAR

// One lane cannot shuffle bytes: this fallback (old compilers without a usable 128-bit emulation) reads the
// same tables byte by byte.
void BlendRows(const std::uint8_t* top, const std::uint8_t* bottom, std::uint32_t weight, std::uint8_t* out,
               std::uint32_t bytes) {
    for (std::uint32_t x = 0; x < bytes; ++x) {
        out[x] = Blend(top[x], bottom[x], weight);
    }
}

void BlendColumns(const PlanePlan& plan, const std::uint8_t* row, std::uint8_t* out) {
    const std::uint32_t bytes = plan.dstWidth * plan.channels;
    for (std::uint32_t x = 0; x < bytes; ++x) {
        const ColumnBlock& block = plan.columns[x / kBlockBytes];
        const std::uint32_t k = x % kBlockBytes;
        const std::uint8_t* left = row + block.start + block.left[2 * k];
        out[x] = Blend(left[0], left[plan.channels], block.right[k]);
    }
}

#else

// top + round((bottom - top) x weight / 256) in 16-bit lanes: a fixed-point multiply by weight x 128 gives
// ((bottom - top) x weight + 128) >> 8, so the sum is Blend's exactly.
void BlendRows(const std::uint8_t* top, const std::uint8_t* bottom, std::uint32_t weight, std::uint8_t* out,
               std::uint32_t bytes) {
    const hn::ScalableTag<std::int16_t> d16;
    const hn::Rebind<std::uint8_t, decltype(d16)> d8;
    const std::uint32_t lanes = static_cast<std::uint32_t>(hn::Lanes(d16));
    const auto factor = hn::Set(d16, static_cast<std::int16_t>(weight << (15 - kWeightBits)));
    std::uint32_t x = 0;
    for (; x + lanes <= bytes; x += lanes) {
        const auto upper =
            hn::BitCast(d16, hn::PromoteTo(hn::RebindToUnsigned<decltype(d16)>(), hn::LoadU(d8, top + x)));
        const auto lower =
            hn::BitCast(d16, hn::PromoteTo(hn::RebindToUnsigned<decltype(d16)>(), hn::LoadU(d8, bottom + x)));
        const auto blended = hn::Add(upper, hn::MulFixedPoint15(hn::Sub(lower, upper), factor));
        hn::StoreU(hn::DemoteTo(d8, blended), d8, out + x);
    }
    for (; x < bytes; ++x) {
        out[x] = Blend(top[x], bottom[x], weight);
    }
}

void BlendColumns(const PlanePlan& plan, const std::uint8_t* row, std::uint8_t* out) {
    const hn::Full128<std::uint8_t> d8;
    const hn::Full128<std::uint16_t> d16;
    const hn::RebindToSigned<decltype(d16)> di16;
    const hn::Rebind<std::uint8_t, decltype(d16)> dOut;
    const auto step = hn::Set(d16, static_cast<std::uint16_t>(plan.channels));
    const auto one = hn::Set(d16, kWeightOne);
    const auto rounding = hn::Set(d16, kWeightOne / 2);
    const std::uint32_t bytes = plan.dstWidth * plan.channels;
    const auto blendBlock = [&](const ColumnBlock& block) {
        const auto source = hn::LoadU(d8, row + block.start);
        const auto leftIndex = hn::Load(d8, block.left);
        const auto rightIndex = hn::BitCast(d8, hn::Add(hn::BitCast(d16, leftIndex), step));
        const auto left = hn::BitCast(d16, hn::TableLookupBytesOr0(source, leftIndex));
        const auto right = hn::BitCast(d16, hn::TableLookupBytesOr0(source, rightIndex));
        const auto weight = hn::Load(d16, block.right);
        // At most 255 x 256 + 128: the sum never leaves 16 bits.
        const auto sum =
            hn::Add(hn::Add(hn::Mul(left, hn::Sub(one, weight)), hn::Mul(right, weight)), rounding);
        return hn::DemoteTo(dOut, hn::BitCast(di16, hn::ShiftRight<kWeightBits>(sum)));
    };
    const std::uint32_t whole = bytes / kBlockBytes;
    std::uint32_t b = 0;
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL
    // Four blocks a vector: the same shuffles and blends in the four 128-bit blocks of a 512-bit vector.
    const __m512i step512 = _mm512_set1_epi16(static_cast<std::int16_t>(plan.channels));
    const __m512i one512 = _mm512_set1_epi16(kWeightOne);
    const __m512i rounding512 = _mm512_set1_epi16(kWeightOne / 2);
    const auto four = [](const void* first, const void* second, const void* third, const void* fourth) {
        __m512i v = _mm512_castsi128_si512(_mm_loadu_si128(static_cast<const __m128i*>(first)));
        v = _mm512_inserti32x4(v, _mm_loadu_si128(static_cast<const __m128i*>(second)), 1);
        v = _mm512_inserti32x4(v, _mm_loadu_si128(static_cast<const __m128i*>(third)), 2);
        return _mm512_inserti32x4(v, _mm_loadu_si128(static_cast<const __m128i*>(fourth)), 3);
    };
    for (; b + 4 <= whole; b += 4) {
        const ColumnBlock* c = plan.columns + b;
        const __m512i source = four(row + c[0].start, row + c[1].start, row + c[2].start, row + c[3].start);
        const __m512i leftIndex = four(c[0].left, c[1].left, c[2].left, c[3].left);
        const __m512i weight = four(c[0].right, c[1].right, c[2].right, c[3].right);
        const __m512i left = _mm512_shuffle_epi8(source, leftIndex);
        const __m512i right = _mm512_shuffle_epi8(source, _mm512_add_epi16(leftIndex, step512));
        const __m512i sum =
            _mm512_add_epi16(_mm512_add_epi16(_mm512_mullo_epi16(left, _mm512_sub_epi16(one512, weight)),
                                              _mm512_mullo_epi16(right, weight)),
                             rounding512);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + b * kBlockBytes),
                            _mm512_cvtepi16_epi8(_mm512_srli_epi16(sum, kWeightBits)));
    }
#endif
    for (; b < whole; ++b) {
        hn::StoreU(blendBlock(plan.columns[b]), dOut, out + b * kBlockBytes);
    }
    if (whole < plan.columnCount) {
        // The row's last bytes: only they are stored, whatever follows the row stays as it was.
        alignas(16) std::uint8_t tail[kBlockBytes];
        hn::Store(blendBlock(plan.columns[whole]), dOut, tail);
        std::memcpy(out + whole * kBlockBytes, tail, bytes - whole * kBlockBytes);
    }
}

#endif  // HWY_TARGET == HWY_SCALAR

// The source rows a destination row reads are asked for two destination rows ahead: the hardware
// prefetchers follow a row once it is under way, but not the jump to the next pair of rows (without this a
// scale from a source outside the caches took twice as long as from one in them).
void ScalePlaneRows(const PlanePlan& plan, const std::uint8_t* source, std::uint32_t sourceStride,
                    std::uint8_t* destination, std::uint32_t destinationStride, std::uint8_t* row) {
    constexpr std::uint32_t kRowsAhead = 2;
    const std::uint32_t rowBytes = plan.srcWidth * plan.channels;
    for (std::uint32_t y = 0; y < plan.dstHeight; ++y) {
        const RowPosition position = rowPosition(plan, y);
        if (y + kRowsAhead < plan.dstHeight) {
            // Only the rows that will be read: the next row past the window's end has no weight.
            const RowPosition next = rowPosition(plan, y + kRowsAhead);
            const std::uint8_t* ahead = source + std::uint64_t{next.row} * sourceStride;
            const std::uint32_t rows = next.weight == 0 ? 1 : 2;
            for (std::uint32_t x = 0; x < rowBytes; x += kCacheLine) {
                for (std::uint32_t r = 0; r < rows; ++r) {
                    hwy::Prefetch(ahead + r * sourceStride + x);
                }
            }
        }
        const std::uint8_t* top = source + std::uint64_t{position.row} * sourceStride;
        if (position.weight == 0) {
            // The next row may lie past the window's end; it is not read when it has no weight.
            std::memcpy(row, top, rowBytes);
        } else {
            BlendRows(top, top + sourceStride, position.weight, row, rowBytes);
        }
        BlendColumns(plan, row, destination + std::uint64_t{y} * destinationStride);
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace mpu::internal::scale
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace mpu::internal::remap {

HWY_EXPORT(RemapLumaRows);
HWY_EXPORT(RemapChromaRows);

void remapLumaPlane(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination) {
    HWY_DYNAMIC_DISPATCH(RemapLumaRows)(table, source, destination);
}

void remapChromaPlane(const PlaneTable& table, PlaneRef source, MutablePlaneRef destination) {
    HWY_DYNAMIC_DISPATCH(RemapChromaRows)(table, source, destination);
}

}  // namespace mpu::internal::remap

namespace mpu::internal::scale {

HWY_EXPORT(ScalePlaneRows);

void scalePlane(const PlanePlan& plan, const std::uint8_t* source, std::uint32_t sourceStride,
                std::uint8_t* destination, std::uint32_t destinationStride, std::uint8_t* row) {
    HWY_DYNAMIC_DISPATCH(ScalePlaneRows)(plan, source, sourceStride, destination, destinationStride, row);
}

}  // namespace mpu::internal::scale
#endif  // HWY_ONCE
