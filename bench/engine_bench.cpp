// ProcessBlock throughput at 4096, 65536 and 524288 taps beside the same 2x2
// work through zita-convolver, and the memory bandwidth of the
// multiply-accumulate pass beside a plain triad loop over the same number of
// bytes.

#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#if defined(TESSARO_HAVE_ZITA)
#include <sched.h>
#include <zita-convolver.h>
#endif

#include "primitives/sp.h"
#include "processing/convolution_engine.h"

namespace {

using tessaro::ConvolutionEngine;

constexpr uint32_t FftLength = 8192;
constexpr uint32_t Block = FftLength / 2;
constexpr double SampleRate = 44100.0;

ConvolutionEngine* LoadedEngine(uint32_t taps, uint32_t seed) {
    ConvolutionEngine* engine = tessaro::CreateEngine(524288, FftLength, 1);
    std::mt19937 rng(seed);
    std::normal_distribution<float> dist(0.0f, 0.01f);
    std::vector<Complex32f> h(taps);
    for (auto& t : h) t = {dist(rng), dist(rng)};
    tessaro::SetFilter(engine, h.data(), taps, 0);
    tessaro::ResetEngine(engine);
    return engine;
}

// Both engines of a run, one stereo block each: "x realtime" is the audio
// time of the blocks over the time taken.
void BM_ProcessBlockStereo(benchmark::State& state) {
    const auto taps = static_cast<uint32_t>(state.range(0));
    ConvolutionEngine* left = LoadedEngine(taps, 1);
    ConvolutionEngine* right = LoadedEngine(taps, 2);
    std::vector<float> in(Block, 0.25f);
    std::vector<Complex32f> outLeft(Block), outRight(Block);
    for (auto _ : state) {
        tessaro::ProcessBlock(left, in.data(), outLeft.data());
        tessaro::ProcessBlock(right, in.data(), outRight.data());
        benchmark::ClobberMemory();
    }
    state.counters["blocks/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["x_realtime"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * Block / SampleRate, benchmark::Counter::kIsRate);
    tessaro::DestroyEngine(left);
    tessaro::DestroyEngine(right);
}

// As above, a whole group of blocks per engine call, as runs filter them.
void BM_ProcessBlocksStereo(benchmark::State& state) {
    const auto taps = static_cast<uint32_t>(state.range(0));
    ConvolutionEngine* left = LoadedEngine(taps, 1);
    ConvolutionEngine* right = LoadedEngine(taps, 2);
    const uint32_t group = left->groupCapacity;
    std::vector<float> in(std::size_t{group} * Block, 0.25f);
    std::vector<Complex32f> outLeft(in.size()), outRight(in.size());
    for (auto _ : state) {
        tessaro::ProcessBlocks(left, in.data(), outLeft.data(), group);
        tessaro::ProcessBlocks(right, in.data(), outRight.data(), group);
        benchmark::ClobberMemory();
    }
    const double blocks = static_cast<double>(state.iterations()) * group;
    state.counters["blocks/s"] = benchmark::Counter(blocks, benchmark::Counter::kIsRate);
    state.counters["x_realtime"] =
        benchmark::Counter(blocks * Block / SampleRate, benchmark::Counter::kIsRate);
    tessaro::DestroyEngine(left);
    tessaro::DestroyEngine(right);
}

#if defined(TESSARO_HAVE_ZITA)

// Threads of this process, to show whether zita runs partitions beside the
// calling thread.
int ThreadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return 0;
}

// The same 2x2 work through zita-convolver: one level of uniform 4096-sample
// partitions (FFT length 8192, as ours), two inputs, two outputs, four
// impulse responses of the given length. With the quantum equal to the
// partition size zita computes that level inside process(); process(true)
// would in any case wait for helper threads, and the rates are taken over wall
// time, so each iteration is one finished stereo block.
void BM_ZitaStereo(benchmark::State& state) {
    const auto taps = static_cast<uint32_t>(state.range(0));
    const int threadsBefore = ThreadCount();
    Convproc proc;
    // zita at its best: measured FFTW plans and its SSE multiply-accumulate.
    proc.set_options(Convproc::OPT_FFTW_MEASURE | Convproc::OPT_VECTOR_MODE);
    if (proc.configure(2, 2, taps, Block, Block, Block, 1.0f) != 0) {
        state.SkipWithError("zita-convolver rejected the configuration");
        return;
    }
    std::mt19937 rng(1);
    std::normal_distribution<float> dist(0.0f, 0.01f);
    std::vector<float> h(taps);
    for (uint32_t input = 0; input < 2; ++input) {
        for (uint32_t output = 0; output < 2; ++output) {
            for (auto& t : h) t = dist(rng);
            if (proc.impdata_create(input, output, 1, h.data(), 0, static_cast<int32_t>(taps)) !=
                0) {
                state.SkipWithError("zita-convolver did not take the impulse response");
                proc.cleanup();
                return;
            }
        }
    }
    if (proc.start_process(0, SCHED_OTHER) != 0) {
        state.SkipWithError("zita-convolver did not start");
        proc.cleanup();
        return;
    }
    const int extraThreads = ThreadCount() - threadsBefore;
    std::vector<float> in(Block, 0.25f);
    for (auto _ : state) {
        std::memcpy(proc.inpdata(0), in.data(), Block * sizeof(float));
        std::memcpy(proc.inpdata(1), in.data(), Block * sizeof(float));
        proc.process(true);
        benchmark::DoNotOptimize(proc.outdata(0)[0]);
        benchmark::DoNotOptimize(proc.outdata(1)[0]);
        benchmark::ClobberMemory();
    }
    state.counters["blocks/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["x_realtime"] = benchmark::Counter(
        static_cast<double>(state.iterations()) * Block / SampleRate, benchmark::Counter::kIsRate);
    state.counters["zita_threads"] = extraThreads;
    proc.stop_process();
    proc.cleanup();
}

#endif

// The multiply-accumulate pass alone over both engines' rings and filters:
// per partition 32 KiB of history and 64 KiB of filter are read and the
// 64 KiB accumulator is read and written.
void BM_MultiplyAccumulatePass(benchmark::State& state) {
    const auto taps = static_cast<uint32_t>(state.range(0));
    ConvolutionEngine* engines[2] = {LoadedEngine(taps, 1), LoadedEngine(taps, 2)};
    const uint32_t partitions = engines[0]->partitionCounts[0];
    for (auto _ : state) {
        for (ConvolutionEngine* e : engines) {
            for (uint32_t k = 0; k < partitions; ++k) {
                tessaro::MultiplyHalfSpectrum(e->history[k], e->slotPartitions[0][k], e->spectrum,
                                              Block, true);
            }
        }
        benchmark::ClobberMemory();
    }
    // Half a spectrum of history, a whole one of filter, the accumulator
    // read and written.
    const double bytes = 2.0 * partitions * FftLength * sizeof(Complex32f) * 3.5;
    state.counters["GB/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * bytes,
                           benchmark::Counter::kIsRate, benchmark::Counter::OneK::kIs1000);
    for (ConvolutionEngine* e : engines) tessaro::DestroyEngine(e);
}

// A triad over buffers of the same total size, laid out like the rings.
void BM_TriadSameBytes(benchmark::State& state) {
    const auto taps = static_cast<uint32_t>(state.range(0));
    const uint32_t partitions = (taps + Block - 1) / Block;
    const std::size_t floatsPerSpectrum = 2 * FftLength;
    std::vector<std::vector<float>> x(2 * partitions, std::vector<float>(floatsPerSpectrum, 1.0f));
    std::vector<std::vector<float>> y(2 * partitions, std::vector<float>(floatsPerSpectrum, 2.0f));
    std::vector<float> acc(floatsPerSpectrum, 0.0f);
    for (auto _ : state) {
        for (std::size_t p = 0; p < x.size(); ++p) {
            const float* __restrict xs = x[p].data();
            const float* __restrict ys = y[p].data();
            float* __restrict a = acc.data();
            for (std::size_t i = 0; i < floatsPerSpectrum; ++i) a[i] += xs[i] * ys[i];
        }
        benchmark::ClobberMemory();
    }
    const double bytes = 2.0 * partitions * FftLength * sizeof(Complex32f) * 4;
    state.counters["GB/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * bytes,
                           benchmark::Counter::kIsRate, benchmark::Counter::OneK::kIs1000);
}

// Wall time for both, so that work zita might hand to its own threads counts.
BENCHMARK(BM_ProcessBlockStereo)
    ->Arg(4096)
    ->Arg(65536)
    ->Arg(524288)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
BENCHMARK(BM_ProcessBlocksStereo)
    ->Arg(4096)
    ->Arg(65536)
    ->Arg(524288)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
#if defined(TESSARO_HAVE_ZITA)
BENCHMARK(BM_ZitaStereo)
    ->Arg(4096)
    ->Arg(65536)
    ->Arg(524288)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();
#endif
BENCHMARK(BM_MultiplyAccumulatePass)->Arg(65536)->Arg(524288)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TriadSameBytes)->Arg(65536)->Arg(524288)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
