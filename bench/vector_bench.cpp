// Vector primitives beside a plain scalar loop and std::transform over the
// same buffers, in elements per second.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <complex>
#include <random>
#include <vector>

#include "primitives/sp.h"

namespace {

struct Buffers {
    explicit Buffers(int n) : len(n) {
        a = spMalloc_32fc(n);
        b = spMalloc_32fc(n);
        d = spMalloc_32fc(n);
        f = spMalloc_32f(n);
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> dist(-1, 1);
        for (int i = 0; i < n; ++i) {
            a[i] = {dist(rng), dist(rng)};
            b[i] = {dist(rng), dist(rng)};
            d[i] = {dist(rng), dist(rng)};
            f[i] = dist(rng);
        }
    }
    ~Buffers() {
        spFree(a);
        spFree(b);
        spFree(d);
        spFree(f);
    }
    int len;
    Complex32f* a;
    Complex32f* b;
    Complex32f* d;
    float* f;
};

void SetRate(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// --- complex multiply-accumulate: the engine's hot loop ----------------------

void BM_AddProduct_sp(benchmark::State& state) {
    Buffers buf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        InitPrimitiveDispatch();
        spAddProduct_32fc(buf.a, buf.b, buf.d, buf.len);
        benchmark::ClobberMemory();
    }
    SetRate(state);
}

void BM_AddProduct_scalarLoop(benchmark::State& state) {
    Buffers buf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        for (int i = 0; i < buf.len; ++i) {
            const Complex32f x = buf.a[i], y = buf.b[i];
            buf.d[i].re = (x.re * y.re + buf.d[i].re) - x.im * y.im;
            buf.d[i].im = (x.re * y.im + buf.d[i].im) + x.im * y.re;
        }
        benchmark::ClobberMemory();
    }
    SetRate(state);
}

void BM_AddProduct_stdTransform(benchmark::State& state) {
    Buffers buf(static_cast<int>(state.range(0)));
    auto* a = reinterpret_cast<std::complex<float>*>(buf.a);
    auto* b = reinterpret_cast<std::complex<float>*>(buf.b);
    auto* d = reinterpret_cast<std::complex<float>*>(buf.d);
    for (auto _ : state) {
        // std::transform has at most two inputs: the third comes by index.
        std::transform(d, d + buf.len, a, d,
                       [&](std::complex<float> acc, const auto& x) { return acc + x * b[&x - a]; });
        benchmark::ClobberMemory();
    }
    SetRate(state);
}

// --- complex product ---------------------------------------------------------

void BM_Mul_sp(benchmark::State& state) {
    Buffers buf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        InitPrimitiveDispatch();
        spMul_32fc(buf.a, buf.b, buf.d, buf.len);
        benchmark::ClobberMemory();
    }
    SetRate(state);
}

void BM_Mul_stdTransform(benchmark::State& state) {
    Buffers buf(static_cast<int>(state.range(0)));
    auto* a = reinterpret_cast<std::complex<float>*>(buf.a);
    auto* b = reinterpret_cast<std::complex<float>*>(buf.b);
    auto* d = reinterpret_cast<std::complex<float>*>(buf.d);
    for (auto _ : state) {
        std::transform(a, a + buf.len, b, d, [](auto x, auto y) {
            return std::complex<float>(x.real() * y.real() - x.imag() * y.imag(),
                                       x.real() * y.imag() + x.imag() * y.real());
        });
        benchmark::ClobberMemory();
    }
    SetRate(state);
}

// --- scaling -------------------------------------------------------------------

void BM_MulC_sp(benchmark::State& state) {
    Buffers buf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        InitPrimitiveDispatch();
        spMulC_32f_I(0.999f, buf.f, buf.len);
        benchmark::ClobberMemory();
    }
    SetRate(state);
}

void BM_MulC_scalarLoop(benchmark::State& state) {
    Buffers buf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        for (int i = 0; i < buf.len; ++i) buf.f[i] *= 0.999f;
        benchmark::ClobberMemory();
    }
    SetRate(state);
}

void BM_MulC_stdTransform(benchmark::State& state) {
    Buffers buf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::transform(buf.f, buf.f + buf.len, buf.f, [](float x) { return x * 0.999f; });
        benchmark::ClobberMemory();
    }
    SetRate(state);
}

// --- Perm expansion and de-interleaving ----------------------------------------

void BM_ConjPerm_sp(benchmark::State& state) {
    Buffers buf(static_cast<int>(state.range(0)));
    std::vector<float> perm(static_cast<std::size_t>(buf.len), 0.5f);
    for (auto _ : state) {
        InitPrimitiveDispatch();
        spConjPerm_32fc(perm.data(), buf.d, buf.len);
        benchmark::ClobberMemory();
    }
    SetRate(state);
}

void BM_ConjPerm_scalarLoop(benchmark::State& state) {
    Buffers buf(static_cast<int>(state.range(0)));
    std::vector<float> perm(static_cast<std::size_t>(buf.len), 0.5f);
    for (auto _ : state) {
        const int n = buf.len;
        buf.d[0] = {perm[0], 0};
        buf.d[n / 2] = {perm[1], 0};
        for (int k = n / 2 - 1; k >= 1; --k) {
            buf.d[k] = {perm[2 * k], perm[2 * k + 1]};
            buf.d[n - k] = {perm[2 * k], -perm[2 * k + 1]};
        }
        benchmark::ClobberMemory();
    }
    SetRate(state);
}

void BM_SplitScaled_sp(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<int16_t> pcm(2 * static_cast<std::size_t>(n), 1234);
    std::vector<float> left(n), right(n);
    float* channels[2] = {left.data(), right.data()};
    for (auto _ : state) {
        InitPrimitiveDispatch();
        spSplitScaled_16s32f_D2L(pcm.data(), channels, 2, n);
        benchmark::ClobberMemory();
    }
    SetRate(state);
}

void BM_SplitScaled_scalarLoop(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    std::vector<int16_t> pcm(2 * static_cast<std::size_t>(n), 1234);
    std::vector<float> left(n), right(n);
    for (auto _ : state) {
        for (int i = 0; i < n; ++i) {
            left[i] =
                static_cast<float>(pcm[2 * i] * (65537.0 / 2147483648.0) + 65537.0 / 4294967296.0);
            right[i] = static_cast<float>(pcm[2 * i + 1] * (65537.0 / 2147483648.0) +
                                          65537.0 / 4294967296.0);
        }
        benchmark::ClobberMemory();
    }
    SetRate(state);
}

// 8192: one spectrum of the engine (L1/L2); 1 Mi: far beyond the caches.
#define SIZES Arg(8192)->Arg(1 << 20)
BENCHMARK(BM_AddProduct_sp)->SIZES;
BENCHMARK(BM_AddProduct_scalarLoop)->SIZES;
BENCHMARK(BM_AddProduct_stdTransform)->SIZES;
BENCHMARK(BM_Mul_sp)->SIZES;
BENCHMARK(BM_Mul_stdTransform)->SIZES;
BENCHMARK(BM_MulC_sp)->SIZES;
BENCHMARK(BM_MulC_scalarLoop)->SIZES;
BENCHMARK(BM_MulC_stdTransform)->SIZES;
BENCHMARK(BM_ConjPerm_sp)->SIZES;
BENCHMARK(BM_ConjPerm_scalarLoop)->SIZES;
BENCHMARK(BM_SplitScaled_sp)->Arg(4096);
BENCHMARK(BM_SplitScaled_scalarLoop)->Arg(4096);

}  // namespace

BENCHMARK_MAIN();
