#include "processing/convolution_engine.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <new>

#include "primitives/dispatched.h"
#include "primitives/internal/aligned.h"

namespace tessaro {
namespace {

constexpr int32_t MaxFftOrder = 19;

int32_t OrderOf(uint32_t fftLength) {
    for (int32_t i = 0; i <= MaxFftOrder; ++i) {
        if (fftLength == (1u << i)) return i;
    }
    return -1;
}

// ceil(count / blockLength) as the engine has always counted partitions.
uint32_t PartitionsFor(uint32_t count, uint32_t blockLength) {
    return static_cast<uint32_t>(
        std::ceil(static_cast<double>(count) / static_cast<double>(blockLength)));
}

Complex32f* ClearedSpectrum(uint32_t fftLength) {
    Complex32f* buffer = dispatch::spMalloc_32fc(static_cast<int>(fftLength));
    if (buffer == nullptr) return nullptr;
    dispatch::spZero_32fc(buffer, static_cast<int>(fftLength));
    return buffer;
}

// A work buffer of the size the spec asks for; none is needed for size 0.
bool AllocateWork(int size, uint8_t** work) {
    if (size <= 0) return true;
    *work = dispatch::spMalloc_8u(size);
    return *work != nullptr;
}

// Complex values of a ring entry: bins 0 .. N/2, padded to whole cache lines.
std::size_t RingStride(uint32_t blockLength) { return (blockLength + 1 + 7) & ~std::size_t{7}; }

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define ENGINE_HOT_LOOP __attribute__((target_clones("avx2", "default")))
#else
#define ENGINE_HOT_LOOP
#endif

// d = a * b, or d += a * b, with the operations in the order the vector
// primitives use, so the folded layout gives the same bits as a full one.
template <bool Accumulate>
inline void MultiplyBin(float are, float aim, const float* b, float* d) {
    if constexpr (Accumulate) {
        d[0] = (are * b[0] + d[0]) - aim * b[1];
        d[1] = (are * b[1] + d[1]) + aim * b[0];
    } else {
        d[0] = are * b[0] - aim * b[1];
        d[1] = are * b[1] + aim * b[0];
    }
}

// Bins j of [begin, end) (0 <= begin < end <= half + 1) of the folded
// product: bin j and, through the conjugate of bin j, bin N - j, kept at
// half + j.
template <bool Accumulate>
ENGINE_HOT_LOOP void MultiplyFolded(const float* __restrict x, const float* __restrict h,
                                    float* __restrict acc, std::ptrdiff_t half,
                                    std::ptrdiff_t begin, std::ptrdiff_t end) {
    const float* __restrict hHigh = h + 2 * half;
    float* __restrict accHigh = acc + 2 * half;
    if (begin == 0) MultiplyBin<Accumulate>(x[0], x[1], h, acc);
    const std::ptrdiff_t stop = std::min(end, half);
    for (std::ptrdiff_t j = std::max<std::ptrdiff_t>(begin, 1); j < stop; ++j) {
        const float re = x[2 * j], im = x[2 * j + 1];
        MultiplyBin<Accumulate>(re, im, h + 2 * j, acc + 2 * j);
        MultiplyBin<Accumulate>(re, -im, hHigh + 2 * j, accHigh + 2 * j);
    }
    // Bin N/2 is its own conjugate partner.
    if (end > half) MultiplyBin<Accumulate>(x[2 * half], x[2 * half + 1], hHigh, accHigh);
}

// Bins summed per pass of a group: a partition's share (8 KiB of filter),
// the group's accumulators and its ring entries' shares (4 KiB each) stay
// in the core's caches while every block of the group uses them. 256 to
// 1024 measured within 5 % of each other; 512 was the best.
constexpr std::ptrdiff_t GroupChunkBins = 512;

// A group's spectra and accumulators take at most 2 MiB (256Ki bins) per
// engine: a group of 4 at 65536-point FFTs (partitions of 32768 frames) ran
// 0.33 s -> 0.25 s at 524288 taps for 8 MiB more, where 8 of them gained
// another 0.02 s for 10 MiB more. The sweep over 512-bin chunks keeps what
// a pass touches in the core's cache whatever the group's size.
constexpr uint32_t MaxGroupBlocks = 8;
constexpr uint32_t GroupBins = 262144;

// Swaps a spectrum between its natural order and the folded one, in which
// bin N - j sits at N/2 + j: the same reversal either way.
void FoldUpperHalf(Complex32f* spectrum, uint32_t fftLength) {
    std::reverse(spectrum + fftLength / 2 + 1, spectrum + fftLength);
}

}  // namespace

void MultiplyHalfSpectrum(const Complex32f* input, const Complex32f* filter,
                          Complex32f* accumulator, uint32_t blockLength, bool accumulate) {
    const auto* x = reinterpret_cast<const float*>(input);
    const auto* h = reinterpret_cast<const float*>(filter);
    auto* acc = reinterpret_cast<float*>(accumulator);
    const auto half = static_cast<std::ptrdiff_t>(blockLength);
    if (accumulate) {
        MultiplyFolded<true>(x, h, acc, half, 0, half + 1);
    } else {
        MultiplyFolded<false>(x, h, acc, half, 0, half + 1);
    }
}

ConvolutionEngine* CreateEngine(uint32_t maxTaps, uint32_t fftLength, uint32_t slotCount) {
    const int32_t order = OrderOf(fftLength);
    if (order < 1 || maxTaps == 0 || slotCount == 0) return nullptr;

    auto* engine = new (std::nothrow) ConvolutionEngine;
    if (engine == nullptr) return nullptr;
    engine->fftLength = fftLength;
    engine->blockLength = fftLength >> 1;
    engine->fftOrder = order;
    engine->partitionCapacity = PartitionsFor(maxTaps, engine->blockLength);
    engine->groupCapacity = std::clamp(GroupBins / fftLength, 1u, MaxGroupBlocks);
    engine->ringSize = engine->partitionCapacity + engine->groupCapacity - 1;
    engine->paddedLength = engine->blockLength * engine->partitionCapacity;
    engine->slotCount = slotCount;
    engine->activeSlot = 0;
    engine->historyPos = 0;

    const int n = static_cast<int>(fftLength);
    const int half = static_cast<int>(engine->blockLength);
    bool ok = true;
    engine->previousInput = dispatch::spMalloc_32f(half);
    if (engine->previousInput != nullptr) {
        dispatch::spZero_32f(engine->previousInput, half);
    }
    engine->window = dispatch::spMalloc_32f(n);
    engine->spectrum = dispatch::spMalloc_32fc(n * static_cast<int>(engine->groupCapacity));
    engine->timeBlock = dispatch::spMalloc_32fc(n);
    engine->scratch = dispatch::spMalloc_32fc(n);
    ok = engine->previousInput && engine->window && engine->spectrum && engine->timeBlock &&
         engine->scratch;

    // The ring is one zero-filled block: a fresh engine's history is silence
    // without touching its pages, so the 8 MiB cost no memory until a run
    // uses them (loading a long filter needs the room at the same time).
    const std::size_t stride = RingStride(engine->blockLength);
    std::size_t ringBytes = 0;
    ok = ok && sp::internal::CheckedBytes(static_cast<std::size_t>(engine->ringSize) * stride,
                                          sizeof(Complex32f), &ringBytes);
    if (ok) {
        engine->historyBlock =
            static_cast<Complex32f*>(sp::internal::AllocateAlignedZeroed(ringBytes));
        engine->history = new (std::nothrow) Complex32f*[engine->ringSize]();
        ok = engine->historyBlock != nullptr && engine->history != nullptr;
    }
    for (uint32_t k = 0; ok && k < engine->ringSize; ++k) {
        engine->history[k] = engine->historyBlock + static_cast<std::size_t>(k) * stride;
    }

    if (ok) {
        engine->slotPartitions = new (std::nothrow) Complex32f**[slotCount]();
        engine->partitionCounts = new (std::nothrow) uint32_t[slotCount]();
        ok = engine->slotPartitions != nullptr && engine->partitionCounts != nullptr;
    }

    int realSize = 0, forwardSize = 0, inverseSize = 0;
    if (ok) {
        ok = dispatch::spFFTInitAlloc_R_32f(&engine->realSpec, order, FftScaleNone, 1) >= 0;
    }
    if (ok) {
        ok = dispatch::spFFTInitAlloc_C_32fc(&engine->forwardSpec, order, FftScaleNone, 1) >= 0;
    }
    if (ok) {
        ok = dispatch::spFFTInitAlloc_C_32fc(&engine->inverseSpec, order, FftScaleInverse, 1) >= 0;
    }
    if (ok) {
        ok = dispatch::spFFTGetBufSize_R_32f(engine->realSpec, &realSize) >= 0 &&
             AllocateWork(realSize, &engine->realWork);
    }
    if (ok) {
        ok = dispatch::spFFTGetBufSize_C_32fc(engine->forwardSpec, &forwardSize) >= 0 &&
             AllocateWork(forwardSize, &engine->forwardWork);
    }
    if (ok) {
        ok = dispatch::spFFTGetBufSize_C_32fc(engine->inverseSpec, &inverseSize) >= 0 &&
             AllocateWork(inverseSize, &engine->inverseWork);
    }
    if (!ok) {
        DestroyEngine(engine);
        return nullptr;
    }
    return engine;
}

bool SetFilter(ConvolutionEngine* engine, const Complex32f* taps, uint32_t tapCount,
               uint32_t slot) {
    if (engine == nullptr || slot >= engine->slotCount) return false;
    ClearFilter(engine, slot);
    if (taps == nullptr || tapCount == 0) return false;

    uint32_t count = PartitionsFor(tapCount, engine->blockLength);
    if (count > engine->partitionCapacity) count = engine->partitionCapacity;

    auto** partitions = new (std::nothrow) Complex32f*[count]();
    if (partitions == nullptr) return false;
    engine->slotPartitions[slot] = partitions;
    engine->partitionCounts[slot] = count;
    for (uint32_t k = 0; k < count; ++k) {
        partitions[k] = ClearedSpectrum(engine->fftLength);
        if (partitions[k] == nullptr) {
            ClearFilter(engine, slot);
            return false;
        }
    }

    const int n = static_cast<int>(engine->fftLength);
    const uint64_t block = engine->blockLength;
    for (uint32_t k = 0; k < count; ++k) {
        const uint64_t start = k * block;
        const uint64_t end = start + block;
        dispatch::spZero_32fc(engine->scratch, n);
        const uint64_t copied = end <= tapCount ? block : tapCount - start;
        dispatch::spCopy_32fc(taps + start, engine->scratch, static_cast<int>(copied));
        if (dispatch::spFFTFwd_CToC_32fc(engine->scratch, partitions[k], engine->forwardSpec,
                                         engine->forwardWork) < 0) {
            ClearFilter(engine, slot);
            return false;
        }
        FoldUpperHalf(partitions[k], engine->fftLength);
    }
    return true;
}

void ClearFilter(ConvolutionEngine* engine, uint32_t slot) {
    if (engine == nullptr || engine->slotPartitions == nullptr || slot >= engine->slotCount) {
        return;
    }
    Complex32f** partitions = engine->slotPartitions[slot];
    if (partitions == nullptr) return;
    for (uint32_t k = 0; k < engine->partitionCounts[slot]; ++k) {
        dispatch::spFree(partitions[k]);
    }
    delete[] partitions;
    engine->slotPartitions[slot] = nullptr;
    engine->partitionCounts[slot] = 0;
}

void ResetEngine(ConvolutionEngine* engine) {
    dispatch::spZero_32f(engine->previousInput, static_cast<int>(engine->blockLength));
    const auto entry = static_cast<int>(engine->blockLength + 1);
    for (uint32_t k = 0; k < engine->ringSize; ++k) {
        dispatch::spZero_32fc(engine->history[k], entry);
    }
    engine->historyPos = 0;
}

namespace {

// Transforms the next input block into the ring entry at historyPos and
// returns that entry's index.
uint32_t TakeSpectrum(ConvolutionEngine* engine, const float* input) {
    const int n = static_cast<int>(engine->fftLength);
    const int half = static_cast<int>(engine->blockLength);
    // Overlap-save window: previous block, then the current one.
    dispatch::spCopy_32f(engine->previousInput, engine->window, half);
    dispatch::spCopy_32f(input, engine->window + half, half);
    dispatch::spCopy_32f(input, engine->previousInput, half);

    dispatch::spFFTFwd_RToPerm_32f(engine->window, engine->window, engine->realSpec,
                                   engine->realWork);
    // The spectrum of a real block is conjugate-symmetric: the ring keeps
    // bins 0 .. N/2 only, unpacked from the packed real result.
    const uint32_t newest = engine->historyPos;
    Complex32f* const spectrum = engine->history[newest];
    spectrum[0] = Complex32f{engine->window[0], 0.0f};
    spectrum[half] = Complex32f{engine->window[1], 0.0f};
    if (half > 1) {
        std::memcpy(spectrum + 1, engine->window + 2,
                    static_cast<std::size_t>(n - 2) * sizeof(float));
    }
    engine->historyPos = newest + 1 == engine->ringSize ? 0 : newest + 1;
    return newest;
}

// Up to groupCapacity blocks.
void ProcessGroup(ConvolutionEngine* engine, const float* input, Complex32f* output,
                  uint32_t blockCount) {
    const uint32_t n = engine->fftLength;
    const auto half = static_cast<std::ptrdiff_t>(engine->blockLength);
    const uint32_t ringSize = engine->ringSize;
    const uint32_t count = engine->partitionCounts[engine->activeSlot];
    Complex32f* const* filter = engine->slotPartitions[engine->activeSlot];

    uint32_t newest[MaxGroupBlocks];
    for (uint32_t g = 0; g < blockCount; ++g) {
        newest[g] = TakeSpectrum(engine, input + g * engine->blockLength);
    }
    auto accumulator = [engine, n](uint32_t g) {
        return reinterpret_cast<float*>(engine->spectrum + static_cast<std::size_t>(g) * n);
    };
    if (count == 0) {
        // No filter loaded: silence, never a crash.
        dispatch::spZero_32fc(engine->spectrum, static_cast<int>(n * blockCount));
    }
    // Partition 0 meets each block's own spectrum, partition k the one k
    // blocks back; each bin's sum runs over k in the same order as for a
    // single block, so grouping changes no bit.
    for (std::ptrdiff_t begin = 0; count != 0 && begin <= half; begin += GroupChunkBins) {
        const std::ptrdiff_t end = std::min(begin + GroupChunkBins, half + 1);
        for (uint32_t k = 0; k < count; ++k) {
            const auto* h = reinterpret_cast<const float*>(filter[k]);
            for (uint32_t g = 0; g < blockCount; ++g) {
                const uint32_t entry = newest[g] >= k ? newest[g] - k : newest[g] + ringSize - k;
                const auto* x = reinterpret_cast<const float*>(engine->history[entry]);
                if (k == 0) {
                    MultiplyFolded<false>(x, h, accumulator(g), half, begin, end);
                } else {
                    MultiplyFolded<true>(x, h, accumulator(g), half, begin, end);
                }
            }
        }
    }
    for (uint32_t g = 0; g < blockCount; ++g) {
        Complex32f* const spectrum = engine->spectrum + static_cast<std::size_t>(g) * n;
        FoldUpperHalf(spectrum, n);
        dispatch::spFFTInv_CToC_32fc(spectrum, engine->timeBlock, engine->inverseSpec,
                                     engine->inverseWork);
        // The first half of the circular result is wrapped around: discard it.
        dispatch::spCopy_32fc(engine->timeBlock + half, output + g * engine->blockLength,
                              static_cast<int>(half));
    }
}

}  // namespace

void ProcessBlock(ConvolutionEngine* engine, const float* input, Complex32f* output) {
    ProcessGroup(engine, input, output, 1);
}

void ProcessBlocks(ConvolutionEngine* engine, const float* input, Complex32f* output,
                   uint32_t blockCount) {
    while (blockCount != 0) {
        const uint32_t group = std::min(blockCount, engine->groupCapacity);
        ProcessGroup(engine, input, output, group);
        input += static_cast<std::size_t>(group) * engine->blockLength;
        output += static_cast<std::size_t>(group) * engine->blockLength;
        blockCount -= group;
    }
}

void DestroyEngine(ConvolutionEngine* engine) {
    if (engine == nullptr) return;
    for (void* buffer :
         {static_cast<void*>(engine->previousInput), static_cast<void*>(engine->window),
          static_cast<void*>(engine->spectrum), static_cast<void*>(engine->timeBlock),
          static_cast<void*>(engine->scratch)}) {
        dispatch::spFree(buffer);
    }
    dispatch::spFree(engine->historyBlock);
    delete[] engine->history;
    if (engine->slotPartitions != nullptr && engine->partitionCounts != nullptr) {
        for (uint32_t s = 0; s < engine->slotCount; ++s) ClearFilter(engine, s);
    }
    delete[] engine->slotPartitions;
    delete[] engine->partitionCounts;
    if (engine->realSpec != nullptr) {
        dispatch::spFFTFree_R_32f(engine->realSpec);
    }
    for (FftSpec* spec : {engine->forwardSpec, engine->inverseSpec}) {
        if (spec == nullptr) continue;
        dispatch::spFFTFree_C_32fc(spec);
    }
    for (uint8_t* work : {engine->realWork, engine->forwardWork, engine->inverseWork}) {
        dispatch::spFree(work);
    }
    delete engine;
}

}  // namespace tessaro
