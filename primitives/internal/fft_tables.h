#pragma once
// Twiddle and permutation tables of the FFT, computed once per spec in double
// and rounded once to float. All sizes are in 64 bits: at order 30 a column
// twiddle matrix alone takes 8 GiB.
//
// w_L = e^(-2 pi i / L). A table for length L' is read from a sine table of
// length L = L' * stride with that stride, so every table of one spec, and a
// real spec's half-length tables, hold the same numbers as tables built
// directly for their own lengths.

#include <cstddef>
#include <cstdint>

#include "primitives/internal/fft_spec.h"

namespace sp::internal {

// k with its low `bits` bits (0 to 32) in reverse order.
inline std::uint32_t ReverseBits(std::uint32_t k, int bits) {
    if (bits == 0) return 0;
    k = ((k >> 1) & 0x55555555u) | ((k & 0x55555555u) << 1);
    k = ((k >> 2) & 0x33333333u) | ((k & 0x33333333u) << 2);
    k = ((k >> 4) & 0x0F0F0F0Fu) | ((k & 0x0F0F0F0Fu) << 4);
    k = __builtin_bswap32(k);
    return k >> (32 - bits);
}

// S[j] = sin(2 pi j / L) for j = 0 .. L/4 (L = 2^order, order >= 3): sines up
// to L/8, cosines of the complement above, so each value is one rounding of
// an accurate double. Null when memory is short. Release with ReleaseAligned.
float* BuildFftSineTable(int order);

// Swap list of the bit-reversal permutation of 2^order complex elements
// (order >= 3), Q + 1 entries with Q = 2^(order-2): pairs (4k, 4d) with
// d = rev(k) > k, a 0, the self-reversed 4k in decreasing order, a 0.
int32_t* BuildBitReverseTable(int order);

// Radix-4 kernel table for 2^order points (3 <= order <= 10): 2^order / 4 + 1
// entries of six floats, w^k, w^2k, w^3k with w = w_(2^order).
float* BuildRadix4TwiddleTable(int order, const float* sine, int sineOrder);

// w_L^i for i = 0 .. L/4 - 1, L = 2^order, as (re, im) pairs.
float* BuildQuarterTwiddleTable(int order, const float* sine, int sineOrder);

// The complex-path tables of a spec for complex order `order` (>= 3), read
// from the sine table of order sineOrder; also records the work-buffer size.
// False when an allocation failed; what was built is already in the spec.
bool BuildComplexTables(FftSpec* spec, int order, const float* sine, int sineOrder);

// Pairs (c[k], d[k]) = (0.5 S[N/4 - k], 0.5 - 0.5 S[k]), k < N/4, from the
// sine table of the real length N = 2^order.
bool BuildRealSplitTable(FftSpec* spec, int order, const float* sine);

}  // namespace sp::internal
