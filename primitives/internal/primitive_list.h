#pragma once
// The one list of the 25 primitives. Each entry:
//   X(name, return type, parameter list, argument list)
// The dispatch entries and their variant tables are generated from it.

#define SP_PRIMITIVE_LIST(X)                                                                       \
    X(spFree, void, (void* ptr), (ptr))                                                            \
    X(spMalloc_32fc, Complex32f*, (int len), (len))                                                \
    X(spMulC_32f_I, PrimitiveStatus, (float val, float* srcDst, int len), (val, srcDst, len))      \
    X(spMalloc_32f, float*, (int len), (len))                                                      \
    X(spMalloc_16s, int16_t*, (int len), (len))                                                    \
    X(spSplitScaled_16s32f_D2L, PrimitiveStatus,                                                   \
      (const int16_t* src, float* const* dst, int numChannels, int len),                           \
      (src, dst, numChannels, len))                                                                \
    X(spCplxToReal_32fc, PrimitiveStatus,                                                          \
      (const Complex32f* src, float* dstRe, float* dstIm, int len), (src, dstRe, dstIm, len))      \
    X(spAdd_32fc_I, PrimitiveStatus, (const Complex32f* src, Complex32f* srcDst, int len),         \
      (src, srcDst, len))                                                                          \
    X(spFFTGetBufSize_C_32fc, PrimitiveStatus, (const FftSpec* spec, int* sizeOut),                \
      (spec, sizeOut))                                                                             \
    X(spMalloc_8u, uint8_t*, (int len), (len))                                                     \
    X(spFFTGetBufSize_R_32f, PrimitiveStatus, (const FftSpec* spec, int* sizeOut),                 \
      (spec, sizeOut))                                                                             \
    X(spFFTInitAlloc_C_32fc, PrimitiveStatus, (FftSpec * *specOut, int order, int flag, int hint), \
      (specOut, order, flag, hint))                                                                \
    X(spFFTInitAlloc_R_32f, PrimitiveStatus, (FftSpec * *specOut, int order, int flag, int hint),  \
      (specOut, order, flag, hint))                                                                \
    X(spZero_32fc, PrimitiveStatus, (Complex32f * dst, int len), (dst, len))                       \
    X(spZero_32f, PrimitiveStatus, (float* dst, int len), (dst, len))                              \
    X(spFFTInv_CToC_32fc, PrimitiveStatus,                                                         \
      (const Complex32f* src, Complex32f* dst, const FftSpec* spec, uint8_t* buffer),              \
      (src, dst, spec, buffer))                                                                    \
    X(spAddProduct_32fc, PrimitiveStatus,                                                          \
      (const Complex32f* src1, const Complex32f* src2, Complex32f* srcDst, int len),               \
      (src1, src2, srcDst, len))                                                                   \
    X(spMul_32fc, PrimitiveStatus,                                                                 \
      (const Complex32f* src1, const Complex32f* src2, Complex32f* dst, int len),                  \
      (src1, src2, dst, len))                                                                      \
    X(spCopy_32fc, PrimitiveStatus, (const Complex32f* src, Complex32f* dst, int len),             \
      (src, dst, len))                                                                             \
    X(spConjPerm_32fc, PrimitiveStatus, (const float* src, Complex32f* dst, int len),              \
      (src, dst, len))                                                                             \
    X(spFFTFwd_RToPerm_32f, PrimitiveStatus,                                                       \
      (const float* src, float* dst, const FftSpec* spec, uint8_t* buffer),                        \
      (src, dst, spec, buffer))                                                                    \
    X(spCopy_32f, PrimitiveStatus, (const float* src, float* dst, int len), (src, dst, len))       \
    X(spFFTFree_C_32fc, PrimitiveStatus, (FftSpec * spec), (spec))                                 \
    X(spFFTFree_R_32f, PrimitiveStatus, (FftSpec * spec), (spec))                                  \
    X(spFFTFwd_CToC_32fc, PrimitiveStatus,                                                         \
      (const Complex32f* src, Complex32f* dst, const FftSpec* spec, uint8_t* buffer),              \
      (src, dst, spec, buffer))
