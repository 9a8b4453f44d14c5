// FFT kernels and passes: bit-reversal permutation, radix-4 kernel, 1024-point
// block combination, row/column decomposition, scaling and the real split.
//
// The loops work on four complex values at a time (GCC vector extensions, so
// they build for any target; the hot entry points are cloned for AVX2 with
// FMA and for AVX-512). Every output is computed with the same operations,
// in the same order, as the scalar butterflies they vectorise: s0 + (-s1) is
// s0 - s1 to the bit, and a sign flip is exact. The FMA clones fuse each
// twiddle product's multiply and add, one rounding fewer.

#include "primitives/internal/fft_kernels.h"

#include <climits>
#include <cstring>

#include "primitives/internal/fft_tables.h"
#include "primitives/internal/simd.h"

// The vector helpers below are always inlined; no vector crosses a real call.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace sp::internal {
namespace {

#define SP_INLINE inline __attribute__((always_inline))

// Four complex values, (re, im) interleaved.
typedef float Vec __attribute__((vector_size(32)));
typedef int32_t VecBits __attribute__((vector_size(32)));
// Four complex values seen as 64-bit lanes, for gathering whole elements.
typedef double Lanes __attribute__((vector_size(32)));
// Two complex values as 64-bit lanes, for the permutation.
typedef double Pair __attribute__((vector_size(16)));
typedef int64_t PairBits __attribute__((vector_size(16)));

constexpr int32_t Sign = INT32_MIN;

SP_INLINE Vec Load(const float* p) {
    Vec v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

SP_INLINE void Store(float* p, Vec v) { std::memcpy(p, &v, sizeof v); }

SP_INLINE double LoadElement(const float* p) {
    double e;
    std::memcpy(&e, p, sizeof e);
    return e;
}

SP_INLINE Vec FlipSigns(Vec v, VecBits signs) { return (Vec)((VecBits)v ^ signs); }

// Sign masks on the real parts, the imaginary parts.
SP_INLINE VecBits ReSigns() { return VecBits{Sign, 0, Sign, 0, Sign, 0, Sign, 0}; }
SP_INLINE VecBits ImSigns() { return VecBits{0, Sign, 0, Sign, 0, Sign, 0, Sign}; }

SP_INLINE Vec SwapParts(Vec v) { return __builtin_shufflevector(v, v, 1, 0, 3, 2, 5, 4, 7, 6); }

// Times -i in the forward form, +i in the inverse: a swap and a sign flip.
template <bool Inverse>
SP_INLINE Vec Rotate(Vec v) {
    return FlipSigns(SwapParts(v), Inverse ? ReSigns() : ImSigns());
}

// Lane by lane v * w, or v * conj(w) in the inverse form:
// re = re*wr - im*wi, im = im*wr + re*wi.
template <bool Inverse>
SP_INLINE Vec Multiply(Vec v, Vec w) {
    const Vec wr = __builtin_shufflevector(w, w, 0, 0, 2, 2, 4, 4, 6, 6);
    const Vec wi = __builtin_shufflevector(w, w, 1, 1, 3, 3, 5, 5, 7, 7);
    return v * wr + SwapParts(v) * FlipSigns(wi, Inverse ? ImSigns() : ReSigns());
}

// One twiddle spread over four lanes, imaginary part already signed for the
// direction, for the column kernel where all four lanes share it.
struct Twiddle {
    Vec re;
    Vec im;
};

template <bool Inverse>
SP_INLINE Twiddle Spread(float re, float im) {
    const Vec imaginary = {im, im, im, im, im, im, im, im};
    return {Vec{re, re, re, re, re, re, re, re},
            FlipSigns(imaginary, Inverse ? ImSigns() : ReSigns())};
}

SP_INLINE Vec Multiply(Vec v, const Twiddle& w) { return v * w.re + SwapParts(v) * w.im; }

// w^k, w^2k, w^3k of four table entries `stride` apart, one vector each.
SP_INLINE void GatherTwiddles(const float* entry, std::size_t stride, Vec* w1, Vec* w2, Vec* w3) {
    const float* e0 = entry;
    const float* e1 = entry + 6 * stride;
    const float* e2 = entry + 12 * stride;
    const float* e3 = entry + 18 * stride;
    *w1 = (Vec)Lanes{LoadElement(e0), LoadElement(e1), LoadElement(e2), LoadElement(e3)};
    *w2 = (Vec)Lanes{LoadElement(e0 + 2), LoadElement(e1 + 2), LoadElement(e2 + 2),
                     LoadElement(e3 + 2)};
    *w3 = (Vec)Lanes{LoadElement(e0 + 4), LoadElement(e1 + 4), LoadElement(e2 + 4),
                     LoadElement(e3 + 4)};
}

// ---- Radix-4 kernel on contiguous data ----------------------------------

// First stage, length 4, on the four elements of one vector:
// t0 = s0 + s1, t1 = s0 - s1, t2 = s2 + s3, t3 = s2 - s3, then
// s0 = t0 + t2, s1 = t1 - i t3, s2 = t0 - t2, s3 = t1 + i t3 (forward).
template <bool Inverse>
SP_INLINE Vec FirstStage(Vec s) {
    const Vec even = __builtin_shufflevector(s, s, 0, 1, 0, 1, 4, 5, 4, 5);
    const Vec odd = __builtin_shufflevector(s, s, 2, 3, 2, 3, 6, 7, 6, 7);
    const Vec t = even + FlipSigns(odd, VecBits{0, 0, Sign, Sign, 0, 0, Sign, Sign});
    const Vec low = __builtin_shufflevector(t, t, 0, 1, 2, 3, 0, 1, 2, 3);
    // (t2, t3 swapped, t2, t3 swapped) signed to (t2, -i t3, -t2, +i t3).
    const Vec high = __builtin_shufflevector(t, t, 4, 5, 7, 6, 4, 5, 7, 6);
    const VecBits signs = Inverse ? VecBits{0, 0, Sign, 0, Sign, Sign, 0, Sign}
                                  : VecBits{0, 0, 0, Sign, Sign, Sign, Sign, 0};
    return low + FlipSigns(high, signs);
}

// ScalePass: output times factor, rounded to float. It runs on the last
// stage's outputs as they are stored, while they are still in registers; the
// products are those of a separate sweep over the result.
template <bool Scaled>
SP_INLINE Vec ScalePass(Vec v, Vec factor) {
    if constexpr (Scaled) {
        return v * factor;
    } else {
        return v;
    }
}

// Outputs k, k+Q, k+2Q, k+3Q of a radix-4 butterfly from a, b', c', d'
// (already multiplied by their twiddles), stored `quarter` floats apart:
// (a + b') + (c' + d'), (a - b') - i (c' - d'), (a + b') - (c' + d'),
// (a - b') + i (c' - d') in the forward form.
template <bool Inverse, bool Scaled = false>
SP_INLINE void Radix4Combine(Vec a, Vec b, Vec c, Vec d, float* out, std::size_t quarter,
                             Vec factor = Vec{}) {
    const Vec abSum = a + b;
    const Vec abDiff = a - b;
    const Vec cdSum = c + d;
    const Vec cdRotated = Rotate<Inverse>(c - d);
    Store(out, ScalePass<Scaled>(abSum + cdSum, factor));
    Store(out + 2 * quarter, ScalePass<Scaled>(abSum - cdSum, factor));
    Store(out + quarter, ScalePass<Scaled>(abDiff + cdRotated, factor));
    Store(out + 3 * quarter, ScalePass<Scaled>(abDiff - cdRotated, factor));
}

// Stage of length P (Q = P/4 >= 4): twiddles of entry k * (L/P), loaded once
// per four k and used by every group. a, b, c, d sit at k, k+Q, k+2Q, k+3Q;
// b takes the square twiddle and c the plain one because the input order is
// bit-reversed.
template <bool Inverse, bool Scaled>
SP_INLINE void Radix4Stage(float* data, std::size_t length, std::size_t stageLength,
                           const float* table, Vec factor) {
    const std::size_t quarter = stageLength / 4;
    const std::size_t stride = length / stageLength;
    const std::size_t q = 2 * quarter;
    for (std::size_t k = 0; k < quarter; k += 4) {
        Vec w1, w2, w3;
        GatherTwiddles(table + 6 * k * stride, stride, &w1, &w2, &w3);
        for (std::size_t base = k; base < length; base += stageLength) {
            float* p = data + 2 * base;
            Radix4Combine<Inverse, Scaled>(Load(p), Multiply<Inverse>(Load(p + q), w2),
                                           Multiply<Inverse>(Load(p + 2 * q), w1),
                                           Multiply<Inverse>(Load(p + 3 * q), w3), p, q, factor);
        }
    }
}

// The first stage (length 4) in registers together with the radix-2 stage of
// length 8 (odd orders): b[j] times w8^j, with w8^1 the first pair of table
// entry L/8 and w8^3 = (-c, -c) formed from it.
template <bool Inverse, bool Scaled>
SP_INLINE void FirstStages4And8(float* data, std::size_t length, const float* table, Vec factor) {
    const float* entry = table + 6 * (length / 8);
    const Vec w = {1.0f, 0.0f, entry[0], entry[1], 0.0f, -1.0f, -entry[0], entry[1]};
    for (std::size_t group = 0; group < length; group += 8) {
        float* p = data + 2 * group;
        const Vec a = FirstStage<Inverse>(Load(p));
        const Vec b = Multiply<Inverse>(FirstStage<Inverse>(Load(p + 8)), w);
        Store(p, ScalePass<Scaled>(a + b, factor));
        Store(p + 8, ScalePass<Scaled>(a - b, factor));
    }
}

// The first stage in registers together with the radix-4 stage of length 16
// (even orders), whose twiddles all come from table entry L/16 onwards.
template <bool Inverse, bool Scaled>
SP_INLINE void FirstStages4And16(float* data, std::size_t length, const float* table, Vec factor) {
    Vec w1, w2, w3;
    GatherTwiddles(table, length / 16, &w1, &w2, &w3);
    for (std::size_t group = 0; group < length; group += 16) {
        float* p = data + 2 * group;
        const Vec a = FirstStage<Inverse>(Load(p));
        const Vec b = Multiply<Inverse>(FirstStage<Inverse>(Load(p + 8)), w2);
        const Vec c = Multiply<Inverse>(FirstStage<Inverse>(Load(p + 16)), w1);
        const Vec d = Multiply<Inverse>(FirstStage<Inverse>(Load(p + 24)), w3);
        Radix4Combine<Inverse, Scaled>(a, b, c, d, p, 8, factor);
    }
}

// Stages 4 and 8 (odd orders) or 4 and 16 (even) run as one pass, so the
// data is stored once for both; then the radix-4 stages, the last of them
// scaling when asked.
template <bool Inverse, bool Scaled>
SP_INLINE void Radix4KernelBody(float* data, int order, const float* table, float scale) {
    const std::size_t length = std::size_t{1} << order;
    const Vec factor = {scale, scale, scale, scale, scale, scale, scale, scale};
    std::size_t stageLength;
    if (order % 2 != 0) {
        if (length == 8) {
            FirstStages4And8<Inverse, Scaled>(data, length, table, factor);
        } else {
            FirstStages4And8<Inverse, false>(data, length, table, factor);
        }
        stageLength = 32;
    } else {
        if (length == 16) {
            FirstStages4And16<Inverse, Scaled>(data, length, table, factor);
        } else {
            FirstStages4And16<Inverse, false>(data, length, table, factor);
        }
        stageLength = 64;
    }
    for (; stageLength < length; stageLength *= 4) {
        Radix4Stage<Inverse, false>(data, length, stageLength, table, factor);
    }
    if (stageLength == length) Radix4Stage<Inverse, Scaled>(data, length, length, table, factor);
}

SP_FFT_HOT_LOOP void Radix4KernelForward(float* data, int order, const float* table) {
    Radix4KernelBody<false, false>(data, order, table, 1.0f);
}

SP_FFT_HOT_LOOP void Radix4KernelInverse(float* data, int order, const float* table) {
    Radix4KernelBody<true, false>(data, order, table, 1.0f);
}

SP_FFT_HOT_LOOP void Radix4KernelForwardScaled(float* data, int order, const float* table,
                                               float factor) {
    Radix4KernelBody<false, true>(data, order, table, factor);
}

SP_FFT_HOT_LOOP void Radix4KernelInverseScaled(float* data, int order, const float* table,
                                               float factor) {
    Radix4KernelBody<true, true>(data, order, table, factor);
}

// ---- Radix-4 kernel on four columns at once -------------------------------
// Element r of the work area holds row r of four adjacent columns, so every
// butterfly runs on all four columns with one twiddle.

// Column groups run one or two at a time (Groups = 1 or 2). With two, the
// work area holds the second group's R elements after the first's, and the
// row data of both (eight columns, one 64-byte line per row) is read and
// written together: rows lie a multiple of 4 KiB apart, so a line that is
// left for a later sweep has been evicted by the other rows before it.

// One radix-4 stage of length P over `rows` elements of each group's work
// area; the last stage (P = rows) writes element r of group h to `out` +
// r * outStride + 8 h instead.
template <bool Inverse, int Groups>
SP_INLINE void ColumnStage(float* work, std::size_t rows, std::size_t stageLength,
                           const float* table, float* out, std::size_t outStride) {
    const std::size_t quarter = stageLength / 4;
    const std::size_t stride = rows / stageLength;
    const std::size_t inQuarter = 8 * quarter;
    const std::size_t outQuarter = outStride * quarter;
    const std::size_t groupOut = out == work ? 8 * rows : 8;
    for (std::size_t base = 0; base < rows; base += stageLength) {
        for (int h = 0; h < Groups; ++h) {
            const float* in = work + 8 * rows * h + 8 * base;
            Radix4Combine<Inverse>(Load(in), Load(in + inQuarter), Load(in + 2 * inQuarter),
                                   Load(in + 3 * inQuarter), out + outStride * base + groupOut * h,
                                   outQuarter);
        }
    }
    for (std::size_t k = 1; k < quarter; ++k) {
        const float* entry = table + 6 * k * stride;
        const Twiddle w1 = Spread<Inverse>(entry[0], entry[1]);
        const Twiddle w2 = Spread<Inverse>(entry[2], entry[3]);
        const Twiddle w3 = Spread<Inverse>(entry[4], entry[5]);
        for (std::size_t base = k; base < rows; base += stageLength) {
            for (int h = 0; h < Groups; ++h) {
                const float* in = work + 8 * rows * h + 8 * base;
                Radix4Combine<Inverse>(Load(in), Multiply(Load(in + inQuarter), w2),
                                       Multiply(Load(in + 2 * inQuarter), w1),
                                       Multiply(Load(in + 3 * inQuarter), w3),
                                       out + outStride * base + groupOut * h, outQuarter);
            }
        }
    }
}

// Groups of four adjacent columns (starting at `columns`) of R =
// 2^columnOrder rows: each element times its matrix entry, then the radix-4
// kernel of length R down the columns with the result written back to the
// rows. Element r of a group's work area holds row r of its four columns.
// The gather runs together with the first stage and the last stage writes
// straight to the rows.
template <bool Inverse, int Groups>
SP_INLINE void ColumnGroup(float* columns, std::size_t rowFloats, int columnOrder,
                           const float* entry, const float* table, float* work) {
    const std::size_t rows = std::size_t{1} << columnOrder;
    for (std::size_t r = 0; r < rows; r += 4, entry += 32) {
        for (int h = 0; h < Groups; ++h) {
            const float* row = columns + r * rowFloats + 8 * h;
            const float* e = entry + 8 * rows * h;
            const Vec a = Multiply<Inverse>(Load(row), Load(e));
            const Vec b = Multiply<Inverse>(Load(row + rowFloats), Load(e + 8));
            const Vec c = Multiply<Inverse>(Load(row + 2 * rowFloats), Load(e + 16));
            const Vec d = Multiply<Inverse>(Load(row + 3 * rowFloats), Load(e + 24));
            Radix4Combine<Inverse>(a, b, c, d, work + 8 * rows * h + 8 * r, 8);
        }
    }
    std::size_t stageLength = 16;
    if (columnOrder % 2 != 0) {
        // Radix-2 stage of length 8; w8^0 = 1 and w8^2 = -i need no product.
        const float* w8 = table + 6 * (rows / 8);
        const Twiddle w1 = Spread<Inverse>(w8[0], w8[1]);
        const Twiddle w3 = Spread<Inverse>(-w8[0], w8[1]);
        for (std::size_t group = 0; group < Groups * rows; group += 8) {
            float* p = work + 8 * group;
            const Vec b[4] = {Load(p + 32), Multiply(Load(p + 40), w1),
                              Rotate<Inverse>(Load(p + 48)), Multiply(Load(p + 56), w3)};
            for (int j = 0; j < 4; ++j) {
                const Vec a = Load(p + 8 * j);
                Store(p + 8 * j, a + b[j]);
                Store(p + 32 + 8 * j, a - b[j]);
            }
        }
        stageLength = 32;
    }
    for (; stageLength < rows; stageLength *= 4) {
        ColumnStage<Inverse, Groups>(work, rows, stageLength, table, work, 8);
    }
    ColumnStage<Inverse, Groups>(work, rows, rows, table, columns, rowFloats);
}

// Up to this column order a two-group work area (64 R bytes) is kept on the
// stack; larger orders run one group at a time through the caller's buffer.
constexpr int MaxPairedColumnOrder = 7;

// Columns of one decomposition level, reading the matrix in storage order.
template <bool Inverse>
SP_INLINE void ColumnPassBody(float* data, int order, int columnOrder, const float* matrix,
                              const float* table, float* work) {
    const std::size_t rows = std::size_t{1} << columnOrder;
    const std::size_t rowFloats = std::size_t{2} << (order - columnOrder);
    const float* entry = matrix;
    if (columnOrder <= MaxPairedColumnOrder) {
        alignas(32) float pairWork[16 << MaxPairedColumnOrder];
        for (std::size_t group = 0; group < rowFloats; group += 16, entry += 16 * rows) {
            ColumnGroup<Inverse, 2>(data + group, rowFloats, columnOrder, entry, table, pairWork);
        }
        return;
    }
    for (std::size_t group = 0; group < rowFloats; group += 8, entry += 8 * rows) {
        ColumnGroup<Inverse, 1>(data + group, rowFloats, columnOrder, entry, table, work);
    }
}

SP_FFT_HOT_LOOP void ColumnPassForward(float* data, int order, int columnOrder, const float* matrix,
                                       const float* table, float* work) {
    ColumnPassBody<false>(data, order, columnOrder, matrix, table, work);
}

SP_FFT_HOT_LOOP void ColumnPassInverse(float* data, int order, int columnOrder, const float* matrix,
                                       const float* table, float* work) {
    ColumnPassBody<true>(data, order, columnOrder, matrix, table, work);
}

// ---- Radix-2 combination of 1024-point blocks -----------------------------

// Quarter-table twiddles T[k*stride .. (k+3)*stride], stride 1 or 2.
template <int Stride>
SP_INLINE Vec QuarterTwiddles(const float* quarter, std::size_t k) {
    if constexpr (Stride == 1) {
        return Load(quarter + 2 * k);
    } else {
        const Vec low = Load(quarter + 4 * k);
        const Vec high = Load(quarter + 4 * k + 8);
        return __builtin_shufflevector(low, high, 0, 1, 4, 5, 8, 9, 12, 13);
    }
}

// Stage with sub-length h: W(k) = T[k * stride] below h/2 and -i times
// T[(k - h/2) * stride] above, walked in strips of 128 k (k and k + h/2
// together), every pair of sub-transforms per strip.
template <bool Inverse, int Stride>
SP_INLINE void CombineStage(float* data, std::size_t length, std::size_t half,
                            const float* quarter) {
    constexpr std::size_t StripLength = 128;
    const std::size_t halfHalf = half / 2;
    for (std::size_t strip = 0; strip < halfHalf; strip += StripLength) {
        for (std::size_t base = 0; base < length; base += 2 * half) {
            float* a = data + 2 * base;
            float* b = a + 2 * half;
            for (std::size_t k = strip; k < strip + StripLength; k += 4) {
                const Vec w = QuarterTwiddles<Stride>(quarter, k);
                const Vec lowA = Load(a + 2 * k);
                const Vec lowY = Multiply<Inverse>(Load(b + 2 * k), w);
                Store(a + 2 * k, lowA + lowY);
                Store(b + 2 * k, lowA - lowY);
                const std::size_t upper = 2 * (k + halfHalf);
                const Vec highA = Load(a + upper);
                const Vec highY = Rotate<Inverse>(Multiply<Inverse>(Load(b + upper), w));
                Store(a + upper, highA + highY);
                Store(b + upper, highA - highY);
            }
        }
    }
}

template <bool Inverse>
SP_INLINE void CombineStagesBody(float* data, int order, const float* quarter) {
    const std::size_t length = std::size_t{1} << order;
    for (std::size_t half = std::size_t{1} << BlockOrder; half < length; half *= 2) {
        if (length / (2 * half) == 1) {
            CombineStage<Inverse, 1>(data, length, half, quarter);
        } else {
            CombineStage<Inverse, 2>(data, length, half, quarter);
        }
    }
}

SP_FFT_HOT_LOOP void CombineStagesForward(float* data, int order, const float* quarter) {
    CombineStagesBody<false>(data, order, quarter);
}

SP_FFT_HOT_LOOP void CombineStagesInverse(float* data, int order, const float* quarter) {
    CombineStagesBody<true>(data, order, quarter);
}

// ---- Real split ----------------------------------------------------------

SP_INLINE Vec ReverseElements(Vec v) {
    return __builtin_shufflevector(v, v, 6, 7, 4, 5, 2, 3, 0, 1);
}

// One pair (A = Z[k], B = Z[M-k]) of the split, scalar.
SP_INLINE void SplitPair(float* a, float* b, const float* cd) {
    const float ar = a[0], ai = a[1], br = b[0], bi = b[1];
    const float diff = ar - br;
    const float sum = ai + bi;
    const float l = diff * cd[1] + sum * cd[0];
    const float h = sum * cd[1] - diff * cd[0];
    a[0] = br + l;
    a[1] = h - bi;
    b[0] = ar - l;
    b[1] = h - ai;
}

// ---- Permutation folded into the rows --------------------------------------

SP_INLINE Lanes LoadLanes(const float* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// With R = 2^d rows of C = 2^e elements (d = order - rowOrder >= 2), the
// bit-reversed vector's row r holds src[rev_d(r) + R q] at position rev_e(q).
// This writes the four rows with rev_d(r) = first .. first + 3 (first a
// multiple of 4) from src in natural order: the four share every 32-byte
// load of src, and position p = 4g + i reads q = rev_2(i) C/4 + rev_(e-2)(g),
// so a 4 x 4 transpose of four loads gives four elements in a row of each.
SP_HOT_LOOP void GatherRows(const float* src, float* dst, int order, int rowOrder,
                            std::size_t first) {
    const int columnOrder = order - rowOrder;
    const std::size_t rows = std::size_t{1} << columnOrder;
    const std::size_t quarter = (std::size_t{1} << rowOrder) / 4;
    auto rowStart = [&](std::size_t j) {
        const std::size_t r = ReverseBits(static_cast<std::uint32_t>(first + j), columnOrder);
        return dst + (r << (rowOrder + 1));
    };
    float* const out0 = rowStart(0);
    float* const out1 = rowStart(1);
    float* const out2 = rowStart(2);
    float* const out3 = rowStart(3);
    const std::size_t slice = 2 * rows * quarter;  // floats between q and q + C/4
    for (std::size_t q = 0; q < quarter; ++q) {
        const float* in = src + 2 * (first + rows * q);
        const Lanes v0 = LoadLanes(in), v1 = LoadLanes(in + 2 * slice);
        const Lanes v2 = LoadLanes(in + slice), v3 = LoadLanes(in + 3 * slice);
        // The 4 x 4 transpose of (v0, v1, v2, v3).
        const Lanes t0 = __builtin_shufflevector(v0, v1, 0, 4, 2, 6);
        const Lanes t1 = __builtin_shufflevector(v0, v1, 1, 5, 3, 7);
        const Lanes t2 = __builtin_shufflevector(v2, v3, 0, 4, 2, 6);
        const Lanes t3 = __builtin_shufflevector(v2, v3, 1, 5, 3, 7);
        const std::size_t p = 8 * ReverseBits(static_cast<std::uint32_t>(q), rowOrder - 2);
        Store(out0 + p, (Vec)__builtin_shufflevector(t0, t2, 0, 1, 4, 5));
        Store(out1 + p, (Vec)__builtin_shufflevector(t1, t3, 0, 1, 4, 5));
        Store(out2 + p, (Vec)__builtin_shufflevector(t0, t2, 2, 3, 6, 7));
        Store(out3 + p, (Vec)__builtin_shufflevector(t1, t3, 2, 3, 6, 7));
    }
}

}  // namespace

SP_HOT_LOOP void BitReversePermute(const float* src, float* dst, int order, const int32_t* table) {
    const std::size_t halfFloats = std::size_t{1} << order;  // L/2 complex elements
    auto load = [](const float* p) {
        Pair v;
        std::memcpy(&v, p, sizeof v);
        return v;
    };
    auto store = [](float* p, Pair v) { std::memcpy(p, &v, sizeof v); };
    // Elements 2k, 2k+1 and L/2+2k, L/2+2k+1 at float offsets 4k and
    // L + 4k; entries hold 4k, so an entry is the float offset itself.
    auto exchange = [&](std::size_t k4, std::size_t d4) {
        const Pair x = load(src + k4), y = load(src + halfFloats + k4);
        const Pair u = load(src + d4), v = load(src + halfFloats + d4);
        store(dst + d4, __builtin_shufflevector(x, y, 0, 2));
        store(dst + halfFloats + d4, __builtin_shufflevector(x, y, 1, 3));
        store(dst + k4, __builtin_shufflevector(u, v, 0, 2));
        store(dst + halfFloats + k4, __builtin_shufflevector(u, v, 1, 3));
    };
    auto exchangeSelf = [&](std::size_t k4) {
        const Pair x = load(src + k4), y = load(src + halfFloats + k4);
        store(dst + k4, __builtin_shufflevector(x, y, 0, 2));
        store(dst + halfFloats + k4, __builtin_shufflevector(x, y, 1, 3));
    };
    const int32_t* entry = table;
    for (; *entry != 0; entry += 2) {
        exchange(static_cast<std::size_t>(entry[0]), static_cast<std::size_t>(entry[1]));
    }
    exchangeSelf(0);
    for (++entry; *entry != 0; ++entry) exchangeSelf(static_cast<std::size_t>(*entry));
}

void Radix4Kernel(float* data, int order, const float* table, bool inverse, bool scaled,
                  float factor) {
    if (scaled) {
        if (inverse) {
            Radix4KernelInverseScaled(data, order, table, factor);
        } else {
            Radix4KernelForwardScaled(data, order, table, factor);
        }
    } else if (inverse) {
        Radix4KernelInverse(data, order, table);
    } else {
        Radix4KernelForward(data, order, table);
    }
}

namespace {

// One row of a decomposition, already in bit-reversed order, transformed in
// place by the path of its order.
void TransformRow(const FftSpec& spec, float* row, int rowOrder, int level, bool inverse,
                  bool scaled, float* work) {
    if (rowOrder <= MaxKernelOrder) {
        Radix4Kernel(row, rowOrder, spec.radix4TwiddleTable, inverse, scaled, spec.scaleFactor);
    } else if (SplitOrderTable[rowOrder] != 0) {
        RowColumnPass(spec, row, row, rowOrder, level + 1, inverse, scaled, work);
    } else {
        BlockCombine(spec, row, row, rowOrder, inverse, scaled);
    }
}

// The 2^(order - rowOrder) rows of 2^rowOrder elements: in place when src
// is data (already permuted), else gathered from src four at a time and
// transformed while they are still in cache. Rows are independent, so their
// order changes no result.
void TransformRows(const FftSpec& spec, const float* src, float* data, int order, int rowOrder,
                   int level, bool inverse, bool scaled, float* work) {
    const int columnOrder = order - rowOrder;
    const std::size_t rows = std::size_t{1} << columnOrder;
    const std::size_t rowFloats = std::size_t{2} << rowOrder;
    if (src == data) {
        for (std::size_t r = 0; r < rows; ++r) {
            TransformRow(spec, data + r * rowFloats, rowOrder, level, inverse, scaled, work);
        }
        return;
    }
    for (std::size_t first = 0; first < rows; first += 4) {
        GatherRows(src, data, order, rowOrder, first);
        for (std::size_t j = 0; j < 4; ++j) {
            const std::size_t r = ReverseBits(static_cast<std::uint32_t>(first + j), columnOrder);
            TransformRow(spec, data + r * rowFloats, rowOrder, level, inverse, scaled, work);
        }
    }
}

}  // namespace

void BlockCombine(const FftSpec& spec, const float* src, float* data, int order, bool inverse,
                  bool scaled) {
    TransformRows(spec, src, data, order, BlockOrder, 0, inverse, scaled, nullptr);
    if (inverse) {
        CombineStagesInverse(data, order, spec.quarterTwiddleTable);
    } else {
        CombineStagesForward(data, order, spec.quarterTwiddleTable);
    }
}

void RowColumnPass(const FftSpec& spec, const float* src, float* data, int order, int level,
                   bool inverse, bool scaled, float* work) {
    const int columnOrder = SplitOrderTable[order];
    TransformRows(spec, src, data, order, order - columnOrder, level, inverse, scaled, work);
    const float* matrix = spec.columnTwiddleMatrices[level];
    const float* table = spec.columnRadix4Tables[level];
    if (inverse) {
        ColumnPassInverse(data, order, columnOrder, matrix, table, work);
    } else {
        ColumnPassForward(data, order, columnOrder, matrix, table, work);
    }
}

void ComplexTransform(const FftSpec& spec, const float* src, float* dst, int order, bool inverse,
                      float* work) {
    const bool scaled = (inverse ? spec.inverseScaled : spec.forwardScaled) != 0;
    if (order <= MaxKernelOrder) {
        BitReversePermute(src, dst, order, spec.bitReverseTable);
        Radix4Kernel(dst, order, spec.radix4TwiddleTable, inverse, scaled, spec.scaleFactor);
        return;
    }
    // Out of place, with four top-level rows or more, the permutation is
    // folded into the gathering of the rows; otherwise it is a sweep of its own.
    const int columnOrder =
        order <= MaxBlockCombineOrder ? order - BlockOrder : SplitOrderTable[order];
    const float* rowSource = dst;
    if (src != dst && columnOrder >= 2) {
        rowSource = src;
    } else {
        BitReversePermute(src, dst, order, spec.bitReverseTable);
    }
    if (order <= MaxBlockCombineOrder) {
        BlockCombine(spec, rowSource, dst, order, inverse, scaled);
    } else {
        RowColumnPass(spec, rowSource, dst, order, 0, inverse, scaled, work);
    }
}

SP_FFT_HOT_LOOP void RealSplitPass(float* data, int order, const float* splitTable) {
    const std::size_t half = std::size_t{1} << (order - 1);  // M complex values
    const std::size_t quarter = half / 2;
    const float r = data[0], i = data[1];
    data[0] = r + i;
    data[1] = r - i;
    std::size_t k = 1;
    // Four pairs at once while k .. k+3 stay below the middle, so the mirrored
    // block M-k-3 .. M-k lies wholly above it.
    for (; k + 4 <= quarter; k += 4) {
        float* low = data + 2 * k;
        float* high = data + 2 * (half - k - 3);
        const Vec a = Load(low);
        const Vec b = ReverseElements(Load(high));
        const Vec cd = Load(splitTable + 2 * k);
        const Vec c = __builtin_shufflevector(cd, cd, 0, 0, 2, 2, 4, 4, 6, 6);
        const Vec d = __builtin_shufflevector(cd, cd, 1, 1, 3, 3, 5, 5, 7, 7);
        // (D, G) = (Re A - Re B, Im A + Im B); (L, H) = (D d + G c, G d - D c).
        const Vec dg = a + FlipSigns(b, ReSigns());
        const Vec lh = dg * d + SwapParts(dg) * FlipSigns(c, ImSigns());
        // X[k] = (Re B + L, H - Im B); X[M-k] = (Re A - L, H - Im A).
        Store(low, lh + FlipSigns(b, ImSigns()));
        Store(high, ReverseElements(FlipSigns(lh, ReSigns()) + FlipSigns(a, ImSigns())));
    }
    for (; k < quarter; ++k) SplitPair(data + 2 * k, data + 2 * (half - k), splitTable + 2 * k);
    // X[N/4] is the conjugate of Z[N/4].
    data[2 * quarter + 1] = -data[2 * quarter + 1];
}

}  // namespace sp::internal
