#pragma once
// The rule that InitPrimitiveDispatch() runs right before every primitive,
// so that each call uses the variant chosen for this processor, kept in one
// place: dispatch::spX(...) makes the call and then calls spX. The wrappers
// are generated from the list below, one per primitive.

#include "primitives/sp.h"

#define TESSARO_PRIMITIVES(X)   \
    X(spAddProduct_32fc)        \
    X(spAdd_32fc_I)             \
    X(spConjPerm_32fc)          \
    X(spCopy_32f)               \
    X(spCopy_32fc)              \
    X(spCplxToReal_32fc)        \
    X(spFFTFree_C_32fc)         \
    X(spFFTFree_R_32f)          \
    X(spFFTFwd_CToC_32fc)       \
    X(spFFTFwd_RToPerm_32f)     \
    X(spFFTGetBufSize_C_32fc)   \
    X(spFFTGetBufSize_R_32f)    \
    X(spFFTInitAlloc_C_32fc)    \
    X(spFFTInitAlloc_R_32f)     \
    X(spFFTInv_CToC_32fc)       \
    X(spFree)                   \
    X(spMalloc_16s)             \
    X(spMalloc_32f)             \
    X(spMalloc_32fc)            \
    X(spMalloc_8u)              \
    X(spMulC_32f_I)             \
    X(spMul_32fc)               \
    X(spSplitScaled_16s32f_D2L) \
    X(spZero_32f)               \
    X(spZero_32fc)

namespace tessaro::dispatch {

#define TESSARO_DISPATCHED(name)     \
    template <typename... Args>      \
    inline auto name(Args... args) { \
        InitPrimitiveDispatch();     \
        return ::name(args...);      \
    }
TESSARO_PRIMITIVES(TESSARO_DISPATCHED)
#undef TESSARO_DISPATCHED

}  // namespace tessaro::dispatch
