#pragma once
// FFT passes of orders 3 and up. Every pass works in place on interleaved
// complex floats (re, im), reads the spec's tables and cannot fail. The
// inverse form of a pass conjugates every twiddle and exchanges -i and +i.
// Data pointers need only float alignment.

#include <cstddef>
#include <cstdint>

#include "primitives/internal/fft_spec.h"

namespace sp::internal {

// dst[rev(n)] = src[n] for the 2^order complex elements (order >= 3), driven
// by the spec's swap list. src may equal dst (in-place exchange); otherwise
// they must not overlap.
void BitReversePermute(const float* src, float* dst, int order, const int32_t* table);

// DFT of 2^order bit-reversed complex elements (3 <= order <= 10) into
// natural order. table is the Radix4TwiddleTable for 2^order. When `scaled`,
// every output is then multiplied by factor (one rounding, as a separate
// scaling pass would give), while it is still in registers.
void Radix4Kernel(float* data, int order, const float* table, bool inverse, bool scaled,
                  float factor);

// DFT of 2^11 or 2^12 elements into data: 1024-point kernels, each scaled as
// it runs when `scaled`, then radix-2 combining stages. src is data holding
// the elements bit-reversed, or (2^12 only) a separate, non-overlapping
// array holding them in natural order, permuted as the blocks are gathered.
void BlockCombine(const FftSpec& spec, const float* src, float* data, int order, bool inverse,
                  bool scaled);

// DFT of 2^order elements (order >= 13) into data as rows then columns of
// decomposition level `level`; rows are scaled when `scaled`. src is data
// holding the elements bit-reversed, or a separate, non-overlapping array
// holding them in natural order, permuted as the rows are gathered. work is
// at least 32 * 2^SplitOrderTable[order] bytes, any float alignment.
void RowColumnPass(const FftSpec& spec, const float* src, float* data, int order, int level,
                   bool inverse, bool scaled, float* work);

// Complex transform of 2^order elements (order >= 3) from src into dst:
// permutation (folded into the rows when out of place from order 12), then
// the kernel path of the order. Scales by the spec's factor
// when the direction is scaled. work as for RowColumnPass (null below 13).
void ComplexTransform(const FftSpec& spec, const float* src, float* dst, int order, bool inverse,
                      float* work);

// Turns the half-length spectrum Z of a real signal of 2^order points
// (order >= 4) into the Perm layout, in place on its 2^order floats.
void RealSplitPass(float* data, int order, const float* splitTable);

}  // namespace sp::internal
