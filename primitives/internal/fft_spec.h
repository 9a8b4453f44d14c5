#pragma once
// The FFT set-up record shared by the complex and the real transforms, and
// the constants that shape its tables.

#include <cstdint>

#include "primitives/sp.h"

// Built once by spFFTInitAlloc_C_32fc / spFFTInitAlloc_R_32f, then only read.
// Every table is an AllocateAligned block owned by the record; a null pointer
// means the spec's path has no such table.
struct FftSpec {
    int32_t kind;           // ComplexSpecKind, RealSpecKind, or 0 once released
    int32_t order;          // N = 2^order (the real length for a real spec)
    int32_t forwardScaled;  // 0 or 1
    int32_t inverseScaled;  // 0 or 1
    float scaleFactor;      // 1/N or 1/sqrt(N) when a direction is scaled, else 0
    int32_t hint;           // stored, never read
    int32_t bufferSize;     // work-buffer bytes, 16 of them slack for alignment
    // Swap list of the bit-reversal permutation (int32 entries, see fft_tables.h).
    int32_t* bitReverseTable;
    // Entries of six floats (w^k, w^2k, w^3k) for the kernel length the path runs.
    float* radix4TwiddleTable;
    // w_L^i for i < L/4, complex, for the 2048- and 4096-point block combination.
    float* quarterTwiddleTable;
    // Pairs (0.5 cos, 0.5 (1 - sin)) of the real split step; real specs only.
    float* realSplitTable;
    // Column kernel tables and twiddle matrices of decomposition levels 0, 1, 2.
    float* columnRadix4Tables[3];
    float* columnTwiddleMatrices[3];
};

namespace sp::internal {

constexpr int32_t ComplexSpecKind = 4;
constexpr int32_t RealSpecKind = 6;
constexpr int MaxFftOrder = 30;
// Up to this order a complex transform is one radix-4 kernel run.
constexpr int MaxKernelOrder = 10;
// 2^11 and 2^12 are 1024-point blocks combined by radix-2 stages.
constexpr int BlockOrder = 10;
constexpr int MaxBlockCombineOrder = 12;
// Bytes of slack in a work buffer for moving a caller's buffer to 16 bytes.
constexpr int32_t WorkBufferSlack = 16;
constexpr std::uintptr_t WorkBufferAlignment = 16;

// Column order d of the row/column decomposition of a complex order (2^d
// rows of 2^(order-d) elements), read for orders 11 to 30; 0 means the
// order is not decomposed.
inline constexpr int SplitOrderTable[MaxFftOrder + 1] = {
    0, 0, 0,  0,  0,  0,  0,  0,  0,  0,  0,  // 0 .. 10: one radix-4 kernel
    0, 0,                                     // 11, 12: 1024-point blocks
    5, 6, 7,  8,  8,  8,  10, 10, 10, 10,     // 13 .. 22
    8, 8, 10, 10, 10, 10, 10, 10};            // 23 .. 30

// First steps of creation for either kind: spec_out null gives
// StatusNullPointer, an order outside 0..30 StatusBadOrder, a failed record
// allocation StatusNoMemory, a bad flag StatusBadFlag (record released). On
// success *created is a zero-filled record with kind, order, hint, flags and
// factor set (N = 2^order), not yet stored through specOut.
PrimitiveStatus AllocateSpec(FftSpec** specOut, int order, int flag, int hint, int32_t kind,
                             FftSpec** created);

// The scratch a transform runs with: none when the spec records size 0, else
// the caller's buffer from its first 16-byte boundary, else a block of the
// recorded size that Release returns.
struct WorkArea {
    float* data = nullptr;
    void* owned = nullptr;
};

// False when the block could not be allocated.
bool AcquireWorkArea(const FftSpec& spec, uint8_t* buffer, WorkArea* area);
void ReleaseWorkArea(const WorkArea& area);

// Releases every table, clears the kind tag, then releases the record.
// Accepts a partly built spec and null.
void ReleaseSpec(FftSpec* spec);

}  // namespace sp::internal
