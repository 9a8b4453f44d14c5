#include "processing/convolution_engine.h"

#include <cmath>
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

}  // namespace

ConvolutionEngine* CreateEngine(uint32_t maxTaps, uint32_t fftLength, uint32_t slotCount) {
    const int32_t order = OrderOf(fftLength);
    if (order < 1 || maxTaps == 0 || slotCount == 0) return nullptr;

    auto* engine = new (std::nothrow) ConvolutionEngine;
    if (engine == nullptr) return nullptr;
    engine->fftLength = fftLength;
    engine->blockLength = fftLength >> 1;
    engine->fftOrder = order;
    engine->partitionCapacity = PartitionsFor(maxTaps, engine->blockLength);
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
    engine->spectrum = dispatch::spMalloc_32fc(n);
    engine->timeBlock = dispatch::spMalloc_32fc(n);
    engine->scratch = dispatch::spMalloc_32fc(n);
    ok = engine->previousInput && engine->window && engine->spectrum && engine->timeBlock &&
         engine->scratch;

    // The ring is one zero-filled block: a fresh engine's history is silence
    // without touching its pages, so the 8 MiB cost no memory until a run
    // uses them (loading a long filter needs the room at the same time).
    std::size_t ringBytes = 0;
    ok = ok &&
         sp::internal::CheckedBytes(static_cast<std::size_t>(engine->partitionCapacity) * fftLength,
                                    sizeof(Complex32f), &ringBytes);
    if (ok) {
        engine->historyBlock =
            static_cast<Complex32f*>(sp::internal::AllocateAlignedZeroed(ringBytes));
        engine->history = new (std::nothrow) Complex32f*[engine->partitionCapacity]();
        ok = engine->historyBlock != nullptr && engine->history != nullptr;
    }
    for (uint32_t k = 0; ok && k < engine->partitionCapacity; ++k) {
        engine->history[k] = engine->historyBlock + static_cast<std::size_t>(k) * fftLength;
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
    for (uint32_t k = 0; k < engine->partitionCapacity; ++k) {
        dispatch::spZero_32fc(engine->history[k], static_cast<int>(engine->fftLength));
    }
    engine->historyPos = 0;
}

void ProcessBlock(ConvolutionEngine* engine, const float* input, Complex32f* output) {
    const int n = static_cast<int>(engine->fftLength);
    const int half = static_cast<int>(engine->blockLength);
    const uint32_t ringSize = engine->partitionCapacity;
    const uint32_t count = engine->partitionCounts[engine->activeSlot];
    Complex32f* const* filter = engine->slotPartitions[engine->activeSlot];
    const uint32_t newest = engine->historyPos;

    // Overlap-save window: previous block, then the current one.
    dispatch::spCopy_32f(engine->previousInput, engine->window, half);
    dispatch::spCopy_32f(input, engine->window + half, half);
    dispatch::spCopy_32f(input, engine->previousInput, half);

    dispatch::spFFTFwd_RToPerm_32f(engine->window, engine->window, engine->realSpec,
                                   engine->realWork);
    dispatch::spConjPerm_32fc(engine->window, engine->spectrum, n);
    dispatch::spCopy_32fc(engine->spectrum, engine->history[newest], n);

    // Partition 0 meets the current block, partition k the block k steps back.
    if (count == 0) {
        dispatch::spZero_32fc(engine->spectrum, n);  // no filter loaded: silence, never a crash
    } else {
        dispatch::spMul_32fc(engine->history[newest], filter[0], engine->spectrum, n);
    }
    uint32_t older = newest == 0 ? ringSize - 1 : newest - 1;
    for (uint32_t k = 1; k < count; ++k) {
        dispatch::spAddProduct_32fc(engine->history[older], filter[k], engine->spectrum, n);
        older = older == 0 ? ringSize - 1 : older - 1;
    }
    engine->historyPos = newest + 1 == ringSize ? 0 : newest + 1;

    dispatch::spFFTInv_CToC_32fc(engine->spectrum, engine->timeBlock, engine->inverseSpec,
                                 engine->inverseWork);
    // The first half of the circular result is wrapped around: discard it.
    dispatch::spCopy_32fc(engine->timeBlock + half, output, half);
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
