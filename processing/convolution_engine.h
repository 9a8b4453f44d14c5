#pragma once
// Uniformly partitioned overlap-save convolution of a real signal with a
// complex-tap FIR filter, block by block and without added delay. The real
// part of the output is the input convolved with the real parts of the taps,
// the imaginary part with the imaginary parts: one engine applies two real
// filters at once.

#include <cstdint>

#include "primitives/sp.h"

namespace tessaro {

struct ConvolutionEngine {
    uint32_t fftLength = 0;          // N
    uint32_t blockLength = 0;        // N/2: input, output and partition length
    uint32_t partitionCapacity = 0;  // P: most partitions
    uint32_t groupCapacity = 0;      // G: most blocks one ProcessBlocks call takes
    uint32_t ringSize = 0;           // P + G - 1 entries of the ring
    uint32_t slotCount = 0;
    uint32_t activeSlot = 0;              // the slot ProcessBlock applies
    uint32_t paddedLength = 0;            // blockLength * P
    int32_t fftOrder = -1;                // log2 N
    uint32_t* partitionCounts = nullptr;  // per slot; 0 for an empty slot
    float* window = nullptr;              // [N] time window, then its Perm spectrum
    Complex32f* spectrum = nullptr;       // [G][N] accumulators, folded until the inverse
    Complex32f* timeBlock = nullptr;      // [N] inverse transform result
    Complex32f* scratch = nullptr;        // [N] zero-padded partition while loading
    float* previousInput = nullptr;       // [N/2] the previous input block
    // Ring of the last input spectra, bins 0 .. N/2 of each (the input is
    // real, so the rest are their conjugates). historyPos is where the next
    // one goes, so partition k is multiplied with the spectrum k blocks back.
    // It holds G - 1 more than P, so that the spectra of a whole group can be
    // taken before any of its blocks is summed.
    Complex32f** history = nullptr;
    Complex32f* historyBlock = nullptr;  // one zero-filled block behind all ring entries
    // Per slot: partitionCounts[s] spectra of N bins, folded: bins 0 .. N/2,
    // then bin N - j at N/2 + j, so that both meet bin j of the ring.
    Complex32f*** slotPartitions = nullptr;
    FftSpec* realSpec = nullptr;     // unscaled real forward
    FftSpec* forwardSpec = nullptr;  // unscaled complex forward (filter load)
    FftSpec* inverseSpec = nullptr;  // complex inverse scaled by 1/N
    uint8_t* realWork = nullptr;
    uint8_t* forwardWork = nullptr;
    uint8_t* inverseWork = nullptr;
    uint32_t historyPos = 0;
};

// Builds an engine for filters of up to maxTaps taps, FFT length fftLength
// (a power of two from 2 to 2^19) and slotCount filter slots, with a clear
// history. Groups hold 65536 / fftLength blocks, from 1 to 8: their
// accumulators fit the core's cache. All or nothing: null when fftLength is not such a power of
// two, maxTaps or slotCount is 0, or any allocation fails.
ConvolutionEngine* CreateEngine(uint32_t maxTaps, uint32_t fftLength, uint32_t slotCount);

// Cuts tapCount taps into partitions of blockLength, transforms each and
// loads them into the slot, replacing its filter. Taps past the capacity are
// ignored. False (slot left empty) for no taps, a bad slot or no memory.
bool SetFilter(ConvolutionEngine* engine, const Complex32f* taps, uint32_t tapCount, uint32_t slot);

// Releases the slot's filter; an empty slot stays empty.
void ClearFilter(ConvolutionEngine* engine, uint32_t slot);

// Clears the input history so that the next block starts from silence.
void ResetEngine(ConvolutionEngine* engine);

// Filters blockLength input samples into blockLength complex output values.
// The active slot must hold a filter.
void ProcessBlock(ConvolutionEngine* engine, const float* input, Complex32f* output);

// Filters blockCount consecutive blocks, one after another in input and in
// output, giving the same bits as blockCount calls of ProcessBlock. Each
// partition's spectrum is read once per group of up to groupCapacity blocks
// rather than once per block, which is what a long filter's time goes to.
void ProcessBlocks(ConvolutionEngine* engine, const float* input, Complex32f* output,
                   uint32_t blockCount);

// One partition's product with a ring entry, in the folded order:
// accumulator bins 0 .. N/2 get input bin j times filter bin j, and
// accumulator bin N/2 + j the conjugate of input bin j times filter bin
// N/2 + j, for j = 1 .. N/2 - 1. Adds to the accumulator when accumulate is
// set, else overwrites it.
void MultiplyHalfSpectrum(const Complex32f* input, const Complex32f* filter,
                          Complex32f* accumulator, uint32_t blockLength, bool accumulate);

// Releases the engine and everything it holds; null is ignored.
void DestroyEngine(ConvolutionEngine* engine);

}  // namespace tessaro
