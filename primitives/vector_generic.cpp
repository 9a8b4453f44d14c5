// Element-wise vector primitives. The loops are plain and branch-free so the
// compiler vectorises them; every argument test precedes the first write.

#include <cmath>
#include <cstddef>
#include <cstring>

#include "primitives/internal/generic.h"
#include "primitives/internal/simd.h"

namespace sp::generic {
namespace {

SP_HOT_LOOP void MultiplyComplex(const float* __restrict a, const float* __restrict b,
                                 float* __restrict d, int len) {
    for (std::ptrdiff_t i = 0; i < len; ++i) {
        const float are = a[2 * i], aim = a[2 * i + 1];
        const float bre = b[2 * i], bim = b[2 * i + 1];
        d[2 * i] = are * bre - aim * bim;
        d[2 * i + 1] = are * bim + aim * bre;
    }
}

SP_HOT_LOOP void MultiplyAccumulate(const float* __restrict a, const float* __restrict b,
                                    float* __restrict d, int len) {
    for (std::ptrdiff_t i = 0; i < len; ++i) {
        const float are = a[2 * i], aim = a[2 * i + 1];
        const float bre = b[2 * i], bim = b[2 * i + 1];
        d[2 * i] = (are * bre + d[2 * i]) - aim * bim;
        d[2 * i + 1] = (are * bim + d[2 * i + 1]) + aim * bre;
    }
}

SP_HOT_LOOP void ScaleInPlace(float val, float* __restrict x, int len) {
    for (std::ptrdiff_t i = 0; i < len; ++i) x[i] *= val;
}

SP_HOT_LOOP void AddInPlace(const float* src, float* srcDst, std::ptrdiff_t count) {
    // src may equal srcDst, so no restrict here; the loop is still vectorised
    // behind a run-time overlap check.
    for (std::ptrdiff_t i = 0; i < count; ++i) srcDst[i] = src[i] + srcDst[i];
}

SP_HOT_LOOP void SplitComplex(const float* __restrict src, float* __restrict re,
                              float* __restrict im, int len) {
    for (std::ptrdiff_t i = 0; i < len; ++i) {
        re[i] = src[2 * i];
        im[i] = src[2 * i + 1];
    }
}

// Upper half of a spectrum: dst[n - k] = conj(bin k) for k = 1 .. count,
// where bins points at bin 1 of `count` consecutive (re, im) pairs.
SP_HOT_LOOP void MirrorConjugate(const float* __restrict bins, float* __restrict dst,
                                 std::ptrdiff_t n, std::ptrdiff_t count) {
    for (std::ptrdiff_t k = 1; k <= count; ++k) {
        dst[2 * (n - k)] = bins[2 * (k - 1)];
        dst[2 * (n - k) + 1] = -bins[2 * (k - 1) + 1];
    }
}

// x * 65537/2^31 + 65537/2^32 is exact in double, so one rounding to float
// gives the nearest value and a mapping symmetric about zero.
constexpr double SampleScale = 65537.0 / 2147483648.0;
constexpr double SampleOffset = 65537.0 / 4294967296.0;

SP_HOT_LOOP void SplitScaledStereo(const int16_t* __restrict src, float* __restrict left,
                                   float* __restrict right, int len) {
    for (std::ptrdiff_t i = 0; i < len; ++i) {
        left[i] = static_cast<float>(src[2 * i] * SampleScale + SampleOffset);
        right[i] = static_cast<float>(src[2 * i + 1] * SampleScale + SampleOffset);
    }
}

void SplitScaledChannel(const int16_t* src, float* dst, int stride, int len) {
    for (std::ptrdiff_t i = 0; i < len; ++i) {
        dst[i] = static_cast<float>(src[static_cast<std::ptrdiff_t>(i) * stride] * SampleScale +
                                    SampleOffset);
    }
}

inline float* Floats(Complex32f* p) { return reinterpret_cast<float*>(p); }
inline const float* Floats(const Complex32f* p) { return reinterpret_cast<const float*>(p); }

}  // namespace

PrimitiveStatus spZero_32f(float* dst, int len) {
    if (dst == nullptr) return StatusNullPointer;
    if (len <= 0) return StatusBadLength;
    std::memset(dst, 0, static_cast<std::size_t>(len) * sizeof(float));
    return StatusOk;
}

PrimitiveStatus spZero_32fc(Complex32f* dst, int len) {
    if (dst == nullptr) return StatusNullPointer;
    if (len <= 0) return StatusBadLength;
    std::memset(dst, 0, static_cast<std::size_t>(len) * sizeof(Complex32f));
    return StatusOk;
}

PrimitiveStatus spCopy_32f(const float* src, float* dst, int len) {
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    if (len <= 0) return StatusBadLength;
    std::memcpy(dst, src, static_cast<std::size_t>(len) * sizeof(float));
    return StatusOk;
}

PrimitiveStatus spCopy_32fc(const Complex32f* src, Complex32f* dst, int len) {
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    if (len <= 0) return StatusBadLength;
    std::memcpy(dst, src, static_cast<std::size_t>(len) * sizeof(Complex32f));
    return StatusOk;
}

PrimitiveStatus spMul_32fc(const Complex32f* src1, const Complex32f* src2, Complex32f* dst,
                           int len) {
    if (src1 == nullptr || src2 == nullptr || dst == nullptr) return StatusNullPointer;
    if (len <= 0) return StatusBadLength;
    MultiplyComplex(Floats(src1), Floats(src2), Floats(dst), len);
    return StatusOk;
}

PrimitiveStatus spAddProduct_32fc(const Complex32f* src1, const Complex32f* src2,
                                  Complex32f* srcDst, int len) {
    if (src1 == nullptr || src2 == nullptr || srcDst == nullptr) return StatusNullPointer;
    if (len <= 0) return StatusBadLength;
    MultiplyAccumulate(Floats(src1), Floats(src2), Floats(srcDst), len);
    return StatusOk;
}

PrimitiveStatus spConjPerm_32fc(const float* src, Complex32f* dst, int len) {
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    if (len <= 0) return StatusBadLength;
    float* out = Floats(dst);
    out[1] = 0.0f;
    out[0] = src[0];
    if (len == 1) return StatusOk;
    if (len % 2 == 0) {
        const int half = len / 2;
        // Bins 1 .. half-1 are stored as pairs from float 2 on: one block copy.
        std::memcpy(out + 2, src + 2, static_cast<std::size_t>(len - 2) * sizeof(float));
        MirrorConjugate(src + 2, out, len, half - 1);
        out[2 * static_cast<std::ptrdiff_t>(half)] = src[1];
        out[2 * static_cast<std::ptrdiff_t>(half) + 1] = 0.0f;
    } else {
        // Odd length: bin k sits at floats 2k-1, 2k.
        const int half = (len - 1) / 2;
        std::memcpy(out + 2, src + 1, static_cast<std::size_t>(len - 1) * sizeof(float));
        MirrorConjugate(src + 1, out, len, half);
    }
    return StatusOk;
}

PrimitiveStatus spCplxToReal_32fc(const Complex32f* src, float* dstRe, float* dstIm, int len) {
    if (src == nullptr || dstRe == nullptr || dstIm == nullptr) return StatusNullPointer;
    if (len <= 0) return StatusBadLength;
    SplitComplex(Floats(src), dstRe, dstIm, len);
    return StatusOk;
}

PrimitiveStatus spSplitScaled_16s32f_D2L(const int16_t* src, float* const* dst, int numChannels,
                                         int len) {
    if (src == nullptr) return StatusNullPointer;
    if (numChannels <= 0 || len <= 0) return StatusBadLength;
    if (dst == nullptr) return StatusNullPointer;
    for (int c = 0; c < numChannels; ++c) {
        if (dst[c] == nullptr) return StatusNullPointer;
    }
    if (numChannels == 2) {
        SplitScaledStereo(src, dst[0], dst[1], len);
    } else {
        for (int c = 0; c < numChannels; ++c) SplitScaledChannel(src + c, dst[c], numChannels, len);
    }
    return StatusOk;
}

PrimitiveStatus spMulC_32f_I(float val, float* srcDst, int len) {
    if (srcDst == nullptr) return StatusNullPointer;
    if (len <= 0) return StatusBadLength;
    if (val == 1.0f || std::isnan(val)) return StatusOk;
    if (val == 0.0f) return spZero_32f(srcDst, len);
    ScaleInPlace(val, srcDst, len);
    return StatusOk;
}

PrimitiveStatus spAdd_32fc_I(const Complex32f* src, Complex32f* srcDst, int len) {
    if (len <= 0) return StatusBadLength;
    if (src == nullptr || srcDst == nullptr) return StatusNullPointer;
    AddInPlace(Floats(src), Floats(srcDst), 2 * static_cast<std::ptrdiff_t>(len));
    return StatusOk;
}

}  // namespace sp::generic
