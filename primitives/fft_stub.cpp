// Placeholder FFT entry points until the transforms land.
#include "primitives/internal/generic.h"

namespace sp::generic {
PrimitiveStatus spFFTInitAlloc_C_32fc(FftSpec**, int, int, int) { return StatusNoMemory; }
PrimitiveStatus spFFTGetBufSize_C_32fc(const FftSpec*, int*) { return StatusNullPointer; }
PrimitiveStatus spFFTFwd_CToC_32fc(const Complex32f*, Complex32f*, const FftSpec*, uint8_t*) {
    return StatusNullPointer;
}
PrimitiveStatus spFFTInv_CToC_32fc(const Complex32f*, Complex32f*, const FftSpec*, uint8_t*) {
    return StatusNullPointer;
}
PrimitiveStatus spFFTFree_C_32fc(FftSpec*) { return StatusNullPointer; }
PrimitiveStatus spFFTInitAlloc_R_32f(FftSpec**, int, int, int) { return StatusNoMemory; }
PrimitiveStatus spFFTGetBufSize_R_32f(const FftSpec*, int*) { return StatusNullPointer; }
PrimitiveStatus spFFTFwd_RToPerm_32f(const float*, float*, const FftSpec*, uint8_t*) {
    return StatusNullPointer;
}
PrimitiveStatus spFFTFree_R_32f(FftSpec*) { return StatusNullPointer; }
}  // namespace sp::generic
