// Real FFT primitives: a real signal of N points as N/2 complex values,
// a complex FFT of half the length, then the split into the Perm layout.

#include <cstring>

#include "primitives/internal/aligned.h"
#include "primitives/internal/fft_kernels.h"
#include "primitives/internal/fft_spec.h"
#include "primitives/internal/fft_tables.h"
#include "primitives/internal/generic.h"

namespace sp::generic {
namespace {

using internal::RealSpecKind;

// cos(pi/4) rounded to float, 0x3F3504F3.
constexpr float Cos45 = 0.70710677f;

// Direct real DFT of 1, 2, 4 or 8 points into Perm order; the first-level
// sums and differences carry s when scaled. Reads all of x before writing.
void DirectRealKernel(const float* x, float* out, int order, bool scaled, float s) {
    const float scale = scaled ? s : 1.0f;
    switch (order) {
        case 0:
            out[0] = scaled ? s * x[0] : x[0];
            return;
        case 1: {
            float sum = x[0] + x[1], diff = x[0] - x[1];
            if (scaled) sum *= scale, diff *= scale;
            out[0] = sum;
            out[1] = diff;
            return;
        }
        case 2: {
            float level[4] = {x[0] + x[2], x[1] + x[3], x[0] - x[2], x[3] - x[1]};
            if (scaled) {
                for (float& v : level) v *= scale;
            }
            out[0] = level[0] + level[1];
            out[1] = level[0] - level[1];
            out[2] = level[2];
            out[3] = level[3];
            return;
        }
        default: {
            // Sums e of the pairs n, n+4 and differences a, b, p, q.
            float e[4] = {x[0] + x[4], x[2] + x[6], x[1] + x[5], x[3] + x[7]};
            float a = x[0] - x[4], b = x[2] - x[6], p = x[1] - x[5], q = x[3] - x[7];
            if (scaled) {
                for (float& v : e) v *= scale;
                a *= scale, b *= scale, p *= scale, q *= scale;
            }
            const float pMinusQ = Cos45 * (p - q);
            const float pPlusQ = Cos45 * (p + q);
            out[0] = e[0] + e[1] + e[2] + e[3];
            out[1] = e[0] + e[1] - e[2] - e[3];
            out[2] = a + pMinusQ;
            out[3] = -pPlusQ - b;
            out[4] = e[0] - e[1];
            out[5] = e[3] - e[2];
            out[6] = a - pMinusQ;
            out[7] = b - pPlusQ;
            return;
        }
    }
}

}  // namespace

PrimitiveStatus spFFTInitAlloc_R_32f(FftSpec** specOut, int order, int flag, int hint) {
    FftSpec* spec = nullptr;
    const PrimitiveStatus status =
        internal::AllocateSpec(specOut, order, flag, hint, RealSpecKind, &spec);
    if (status != StatusOk) return status;
    if (order >= 4) {
        // The half-length complex tables read the full-length sine table with
        // stride 2, which gives the numbers of a complex spec of order - 1.
        float* sine = internal::BuildFftSineTable(order);
        const bool built = sine != nullptr &&
                           internal::BuildComplexTables(spec, order - 1, sine, order) &&
                           internal::BuildRealSplitTable(spec, order, sine);
        internal::ReleaseAligned(sine);
        if (!built) {
            internal::ReleaseSpec(spec);
            return StatusNoMemory;
        }
    }
    *specOut = spec;
    return StatusOk;
}

PrimitiveStatus spFFTGetBufSize_R_32f(const FftSpec* spec, int* sizeOut) {
    if (spec == nullptr || sizeOut == nullptr) return StatusNullPointer;
    if (spec->kind != RealSpecKind) return StatusBadSpec;
    *sizeOut = spec->bufferSize;
    return StatusOk;
}

PrimitiveStatus spFFTFwd_RToPerm_32f(const float* src, float* dst, const FftSpec* spec,
                                     uint8_t* buffer) {
    if (spec == nullptr) return StatusNullPointer;
    if (spec->kind != RealSpecKind) return StatusBadSpec;
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    const bool scaled = spec->forwardScaled != 0;
    if (spec->order <= 3) {
        float x[8];
        const std::size_t length = std::size_t{1} << spec->order;
        std::memcpy(x, src, length * sizeof(float));
        DirectRealKernel(x, dst, spec->order, scaled, spec->scaleFactor);
        return StatusOk;
    }
    internal::WorkArea work;
    if (!internal::AcquireWorkArea(*spec, buffer, &work)) return StatusNoMemory;
    // x[2n] + i x[2n+1] as M = N/2 complex values, already scaled by 1/N.
    internal::ComplexTransform(*spec, src, dst, spec->order - 1, false, work.data);
    internal::RealSplitPass(dst, spec->order, spec->realSplitTable);
    internal::ReleaseWorkArea(work);
    return StatusOk;
}

PrimitiveStatus spFFTFree_R_32f(FftSpec* spec) {
    if (spec == nullptr) return StatusNullPointer;
    if (spec->kind != RealSpecKind) return StatusBadSpec;
    internal::ReleaseSpec(spec);
    return StatusOk;
}

}  // namespace sp::generic
