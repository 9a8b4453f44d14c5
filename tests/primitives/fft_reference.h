#pragma once
// Plain double-precision references for the FFT tests: a direct DFT in long
// double for short lengths, a textbook radix-2 FFT in double for long ones,
// and the error measure the bounds are stated in.

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "primitives/sp.h"

namespace fft_test {

using ComplexD = std::complex<double>;

constexpr double FloatEpsilon = 1.0 / 16777216.0;  // 2^-24, half an ulp at 1

// e^(sign 2 pi i j / n) with j reduced mod n first, so the angle is exact to
// double rounding whatever the product j * k was.
inline std::complex<long double> UnitRootLong(std::uint64_t j, std::uint64_t n, int sign) {
    const long double angle = 2.0L * 3.14159265358979323846264338327950288L *
                              static_cast<long double>(j % n) / static_cast<long double>(n);
    return {std::cos(angle), sign * std::sin(angle)};
}

inline ComplexD UnitRoot(std::uint64_t j, std::uint64_t n, int sign) {
    const auto w = UnitRootLong(j, n, sign);
    return {static_cast<double>(w.real()), static_cast<double>(w.imag())};
}

// Unscaled DFT: sign -1 forward, +1 inverse.
inline std::vector<ComplexD> DirectDft(const std::vector<ComplexD>& x, int sign) {
    const std::size_t n = x.size();
    std::vector<ComplexD> out(n);
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<long double> sum = 0;
        for (std::size_t j = 0; j < n; ++j) {
            sum += std::complex<long double>(x[j]) * UnitRootLong(j * k, n, sign);
        }
        out[k] = ComplexD(static_cast<double>(sum.real()), static_cast<double>(sum.imag()));
    }
    return out;
}

// Unscaled DFT of a power-of-two length: direct below 64 points, else an
// iterative radix-2 FFT with every twiddle from its own accurate sine.
inline std::vector<ComplexD> ReferenceDft(const std::vector<ComplexD>& x, int sign) {
    const std::size_t n = x.size();
    if (n <= 64) return DirectDft(x, sign);
    std::vector<ComplexD> a(n);
    int bits = 0;
    while ((std::size_t{1} << bits) < n) ++bits;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t r = 0;
        for (int b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
        a[r] = x[i];
    }
    std::vector<ComplexD> roots(n / 2);
    for (std::size_t j = 0; j < n / 2; ++j) roots[j] = UnitRoot(j, n, sign);
    for (std::size_t len = 2; len <= n; len *= 2) {
        const std::size_t step = n / len;
        for (std::size_t base = 0; base < n; base += len) {
            for (std::size_t j = 0; j < len / 2; ++j) {
                const ComplexD u = a[base + j];
                const ComplexD v = a[base + j + len / 2] * roots[j * step];
                a[base + j] = u + v;
                a[base + j + len / 2] = u - v;
            }
        }
    }
    return a;
}

// Bin k of the unscaled DFT of n samples x(j), summed directly in double.
// The root is advanced by a rotation and reset to an exact value every 4096
// samples, so its drift stays near 2^-40, far below float rounding.
template <typename Sample>
ComplexD DftBin(Sample x, std::size_t n, std::size_t k, int sign) {
    const ComplexD step = UnitRoot(k, n, sign);
    double sumRe = 0, sumIm = 0, rootRe = 1, rootIm = 0;
    for (std::size_t j = 0; j < n; ++j) {
        if (j % 4096 == 0) {
            const ComplexD root = UnitRoot(j * k, n, sign);
            rootRe = root.real();
            rootIm = root.imag();
        }
        const ComplexD v = x(j);
        sumRe += v.real() * rootRe - v.imag() * rootIm;
        sumIm += v.real() * rootIm + v.imag() * rootRe;
        const double nextRe = rootRe * step.real() - rootIm * step.imag();
        rootIm = rootRe * step.imag() + rootIm * step.real();
        rootRe = nextRe;
    }
    return {sumRe, sumIm};
}

// sqrt(sum |actual - scale * expected|^2 / sum |scale * expected|^2).
inline double RmsRelativeError(const Complex32f* actual, const std::vector<ComplexD>& expected,
                               double scale) {
    double error = 0, norm = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const ComplexD e = scale * expected[i];
        error += std::norm(ComplexD(actual[i].re, actual[i].im) - e);
        norm += std::norm(e);
    }
    return std::sqrt(error / norm);
}

// Uniform in [-1, 1) from a fixed seed (SplitMix64, two floats a step: fast
// enough for 2^25 values).
inline std::vector<float> RandomFloats(std::size_t count, std::uint64_t seed) {
    std::vector<float> values(count);
    std::uint64_t state = seed;
    for (std::size_t i = 0; i < count; i += 2) {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        values[i] = static_cast<float>(z >> 40) / 8388608.0f - 1.0f;
        if (i + 1 < count) values[i + 1] = static_cast<float>(z & 0xFFFFFF) / 8388608.0f - 1.0f;
    }
    return values;
}

// The bound the tests hold every transform to: float FFT error grows like
// log2(N) * 2^-24 in the RMS; the measured error stays below 0.4 of that at
// every order, so the bound has a margin of 2.5.
inline double ErrorBound(int order) { return std::max(order, 1) * FloatEpsilon; }

// Orders above 24 need gigabytes and run only on request.
inline bool LargeFftEnabled() {
    const char* value = std::getenv("TESSARO_LARGE_FFT");
    return value != nullptr && std::string(value) == "1";
}

// What a failed creation must leave in spec_out.
inline FftSpec* const Untouched = reinterpret_cast<FftSpec*>(0x1234);

}  // namespace fft_test
