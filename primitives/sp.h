#pragma once
// Signal primitives: aligned buffers, element-wise vector operations and
// power-of-two complex and real FFTs on single-precision data.
//
// Every primitive except the memory functions returns a PrimitiveStatus:
// 0 success, negative failure with nothing written, positive a warning.
// Lengths count elements, never bytes. Callers call InitPrimitiveDispatch()
// right before each primitive call.

#include <cstdint>

extern "C" {

typedef struct Complex32f {
    float re;
    float im;
} Complex32f;

typedef int32_t PrimitiveStatus;

enum {
    StatusOk = 0,
    StatusBadLength = -6,
    StatusNullPointer = -8,
    StatusNoMemory = -9,
    StatusBadOrder = -15,
    StatusBadFlag = -16,
    StatusBadSpec = -17,
    StatusUnidentifiedCpu = 20,
};

// FFT normalisation flags.
enum {
    FftScaleForward = 1,  // forward result times 1/N
    FftScaleInverse = 2,  // inverse result times 1/N
    FftScaleSqrt = 4,     // both directions times 1/sqrt(N)
    FftScaleNone = 8,
};

// Opaque FFT set-up record, read-only once built.
typedef struct FftSpec FftSpec;

// ---- Dispatch ------------------------------------------------------------

// Chooses the processor variant of every primitive. Returns StatusOk when the
// processor was identified, StatusUnidentifiedCpu (generic variants) otherwise.
PrimitiveStatus InitPrimitiveDispatch(void);

// Processor classification code (0 when unidentified).
int32_t DetectProcessorType(void);

// The variant index (1 generic, 2 SSE, 3 SSE2, 4 SSE3) the primitives run now.
int32_t ActiveVariantIndex(void);

// ---- Memory --------------------------------------------------------------
// Uninitialised 32-byte-aligned buffers of len elements, or null for len <= 0
// or when memory is exhausted. Release only with spFree (null is ignored).

uint8_t* spMalloc_8u(int len);
int16_t* spMalloc_16s(int len);
float* spMalloc_32f(int len);
Complex32f* spMalloc_32fc(int len);
void spFree(void* ptr);

// ---- Vector primitives ---------------------------------------------------
// Null pointers give StatusNullPointer, len <= 0 StatusBadLength, tested in
// argument order unless noted. Outputs must not overlap inputs unless noted.

// dst[i] = +0.0
PrimitiveStatus spZero_32f(float* dst, int len);
PrimitiveStatus spZero_32fc(Complex32f* dst, int len);

// dst[i] = src[i], bit for bit.
PrimitiveStatus spCopy_32f(const float* src, float* dst, int len);
PrimitiveStatus spCopy_32fc(const Complex32f* src, Complex32f* dst, int len);

// dst[i] = src1[i] * src2[i] (complex product).
PrimitiveStatus spMul_32fc(const Complex32f* src1, const Complex32f* src2, Complex32f* dst,
                           int len);

// srcDst[i] += src1[i] * src2[i]; real part (a.re*b.re + d.re) - a.im*b.im,
// imaginary part (a.re*b.im + d.im) + a.im*b.re.
PrimitiveStatus spAddProduct_32fc(const Complex32f* src1, const Complex32f* src2,
                                  Complex32f* srcDst, int len);

// Expands len floats of a Perm-packed real spectrum into the full complex
// spectrum of len points; the upper half is the mirrored conjugate.
PrimitiveStatus spConjPerm_32fc(const float* src, Complex32f* dst, int len);

// dstRe[i] = src[i].re, dstIm[i] = src[i].im.
PrimitiveStatus spCplxToReal_32fc(const Complex32f* src, float* dstRe, float* dstIm, int len);

// De-interleaves len frames of numChannels 16-bit samples into dst[c][i] =
// x * (65537 / 2^31) + 65537 / 2^32, mapping -32768..32767 onto -1..+1.
// Test order: src; numChannels; len; dst; dst[0..numChannels-1].
PrimitiveStatus spSplitScaled_16s32f_D2L(const int16_t* src, float* const* dst, int numChannels,
                                         int len);

// srcDst[i] *= val. val == 1 or NaN leaves the buffer untouched; val == +-0
// clears it to +0.0 (infinities and NaNs included).
PrimitiveStatus spMulC_32f_I(float val, float* srcDst, int len);

// srcDst[i] += src[i], part by part; src may equal srcDst.
// Test order: len; src; srcDst.
PrimitiveStatus spAdd_32fc_I(const Complex32f* src, Complex32f* srcDst, int len);

// ---- Complex FFT, N = 2^order, order 0..30 --------------------------------
// X[k] = s * sum x[n] e^(-2 pi i k n / N) forward, e^(+...) inverse, natural
// order; s is the spec's factor where its direction is scaled, else 1.
// src may equal dst. buffer is optional scratch of spFFTGetBufSize_* bytes.

PrimitiveStatus spFFTInitAlloc_C_32fc(FftSpec** specOut, int order, int flag, int hint);
PrimitiveStatus spFFTGetBufSize_C_32fc(const FftSpec* spec, int* sizeOut);
PrimitiveStatus spFFTFwd_CToC_32fc(const Complex32f* src, Complex32f* dst, const FftSpec* spec,
                                   uint8_t* buffer);
PrimitiveStatus spFFTInv_CToC_32fc(const Complex32f* src, Complex32f* dst, const FftSpec* spec,
                                   uint8_t* buffer);
PrimitiveStatus spFFTFree_C_32fc(FftSpec* spec);

// ---- Real FFT to Perm format, N = 2^order, order 0..30 ---------------------
// Perm (N >= 2): X[0], X[N/2], then Re X[k], Im X[k] for k = 1 .. N/2-1.

PrimitiveStatus spFFTInitAlloc_R_32f(FftSpec** specOut, int order, int flag, int hint);
PrimitiveStatus spFFTGetBufSize_R_32f(const FftSpec* spec, int* sizeOut);
PrimitiveStatus spFFTFwd_RToPerm_32f(const float* src, float* dst, const FftSpec* spec,
                                     uint8_t* buffer);
PrimitiveStatus spFFTFree_R_32f(FftSpec* spec);

}  // extern "C"
