// Complex and real forward FFTs (and the complex inverse) beside FFTW single
// precision: ns per transform and "GFLOPS" counted as 5 N log2 N for a
// complex and 2.5 N log2 N for a real transform. Both libraries run out of
// place on 32-byte-aligned buffers from spMalloc, FFTW with FFTW_MEASURE
// plans on one thread.

#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "primitives/sp.h"

namespace {

constexpr int MinOrder = 8;
constexpr int MaxOrder = 20;

void Fill(float* data, std::size_t count) {
    std::mt19937 generator(42);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    for (std::size_t i = 0; i < count; ++i) data[i] = uniform(generator);
}

void SetCounters(benchmark::State& state, double flopsPerTransform) {
    state.counters["GFLOPS"] =
        benchmark::Counter(flopsPerTransform * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
    state.SetLabel("N=" + std::to_string(state.range(0)));
}

double ComplexFlops(std::size_t length) { return 5.0 * length * std::log2(length); }
double RealFlops(std::size_t length) { return 2.5 * length * std::log2(length); }

template <bool Inverse>
void TessaroComplex(benchmark::State& state) {
    const int length = static_cast<int>(state.range(0));
    const int order = static_cast<int>(std::log2(length));
    FftSpec* spec = nullptr;
    if (spFFTInitAlloc_C_32fc(&spec, order, Inverse ? FftScaleInverse : FftScaleNone, 1) !=
        StatusOk) {
        state.SkipWithError("spec");
        return;
    }
    int bufferSize = 0;
    spFFTGetBufSize_C_32fc(spec, &bufferSize);
    uint8_t* buffer = spMalloc_8u(bufferSize);
    Complex32f* src = spMalloc_32fc(length);
    Complex32f* dst = spMalloc_32fc(length);
    Fill(reinterpret_cast<float*>(src), 2 * static_cast<std::size_t>(length));
    for (auto _ : state) {
        if (Inverse) {
            spFFTInv_CToC_32fc(src, dst, spec, buffer);
        } else {
            spFFTFwd_CToC_32fc(src, dst, spec, buffer);
        }
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
    }
    SetCounters(state, ComplexFlops(length));
    spFree(dst);
    spFree(src);
    spFree(buffer);
    spFFTFree_C_32fc(spec);
}

template <bool Inverse>
void FftwComplex(benchmark::State& state) {
    const int length = static_cast<int>(state.range(0));
    Complex32f* src = spMalloc_32fc(length);
    Complex32f* dst = spMalloc_32fc(length);
    fftwf_plan plan = fftwf_plan_dft_1d(length, reinterpret_cast<fftwf_complex*>(src),
                                        reinterpret_cast<fftwf_complex*>(dst),
                                        Inverse ? FFTW_BACKWARD : FFTW_FORWARD, FFTW_MEASURE);
    Fill(reinterpret_cast<float*>(src), 2 * static_cast<std::size_t>(length));
    for (auto _ : state) {
        fftwf_execute(plan);
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
    }
    SetCounters(state, ComplexFlops(length));
    fftwf_destroy_plan(plan);
    spFree(dst);
    spFree(src);
}

void TessaroReal(benchmark::State& state) {
    const int length = static_cast<int>(state.range(0));
    const int order = static_cast<int>(std::log2(length));
    FftSpec* spec = nullptr;
    if (spFFTInitAlloc_R_32f(&spec, order, FftScaleNone, 1) != StatusOk) {
        state.SkipWithError("spec");
        return;
    }
    int bufferSize = 0;
    spFFTGetBufSize_R_32f(spec, &bufferSize);
    uint8_t* buffer = spMalloc_8u(bufferSize);
    float* src = spMalloc_32f(length);
    float* dst = spMalloc_32f(length);
    Fill(src, static_cast<std::size_t>(length));
    for (auto _ : state) {
        spFFTFwd_RToPerm_32f(src, dst, spec, buffer);
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
    }
    SetCounters(state, RealFlops(length));
    spFree(dst);
    spFree(src);
    spFree(buffer);
    spFFTFree_R_32f(spec);
}

void FftwReal(benchmark::State& state) {
    const int length = static_cast<int>(state.range(0));
    float* src = spMalloc_32f(length);
    Complex32f* dst = spMalloc_32fc(length / 2 + 1);
    fftwf_plan plan =
        fftwf_plan_dft_r2c_1d(length, src, reinterpret_cast<fftwf_complex*>(dst), FFTW_MEASURE);
    Fill(src, static_cast<std::size_t>(length));
    for (auto _ : state) {
        fftwf_execute(plan);
        benchmark::DoNotOptimize(dst);
        benchmark::ClobberMemory();
    }
    SetCounters(state, RealFlops(length));
    fftwf_destroy_plan(plan);
    spFree(dst);
    spFree(src);
}

// With --benchmark_repetitions, "min" is the figure to compare on a shared
// machine: other load only ever adds time.
double Minimum(const std::vector<double>& values) {
    return *std::min_element(values.begin(), values.end());
}

void Sizes(benchmark::internal::Benchmark* benchmark) {
    for (int order = MinOrder; order <= MaxOrder; ++order) benchmark->Arg(1 << order);
    benchmark->Unit(benchmark::kNanosecond)->ComputeStatistics("min", Minimum);
}

void Engine(benchmark::internal::Benchmark* benchmark) {
    benchmark->Arg(8192)->Unit(benchmark::kNanosecond)->ComputeStatistics("min", Minimum);
}

BENCHMARK(TessaroComplex<false>)->Name("ComplexForward/Tessaro")->Apply(Sizes);
BENCHMARK(FftwComplex<false>)->Name("ComplexForward/FFTW")->Apply(Sizes);
BENCHMARK(TessaroReal)->Name("RealForward/Tessaro")->Apply(Sizes);
BENCHMARK(FftwReal)->Name("RealForward/FFTW")->Apply(Sizes);
BENCHMARK(TessaroComplex<true>)->Name("ComplexInverse/Tessaro")->Apply(Engine);
BENCHMARK(FftwComplex<true>)->Name("ComplexInverse/FFTW")->Apply(Engine);

}  // namespace

BENCHMARK_MAIN();
