#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "primitives/sp.h"

namespace {

// Lengths around the vector widths (4, 8, 16 floats) and odd, large sizes.
const int Lengths[] = {1,  2,  3,  4,  5,  7,   8,    9,    15,   16,   17,   31,
                       32, 33, 63, 64, 65, 127, 1000, 4095, 4096, 4097, 8192, 100003};
constexpr int Guard = 16;  // floats after the end that must stay untouched
constexpr float Sentinel = -12345.5f;

std::vector<float> RandomFloats(std::size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-2.0f, 2.0f);
    std::vector<float> v(n);
    for (auto& x : v) x = dist(rng);
    return v;
}

std::vector<Complex32f> RandomComplex(std::size_t n, uint32_t seed) {
    auto f = RandomFloats(2 * n, seed);
    std::vector<Complex32f> v(n);
    std::memcpy(v.data(), f.data(), f.size() * sizeof(float));
    return v;
}

// A complex output with guard elements behind it.
std::vector<Complex32f> GuardedComplex(int len) {
    return std::vector<Complex32f>(static_cast<std::size_t>(len) + Guard,
                                   Complex32f{Sentinel, Sentinel});
}

void ExpectGuardIntact(const std::vector<Complex32f>& v, int len) {
    for (std::size_t i = static_cast<std::size_t>(len); i < v.size(); ++i) {
        ASSERT_EQ(v[i].re, Sentinel);
        ASSERT_EQ(v[i].im, Sentinel);
    }
}

uint32_t Bits(float x) { return std::bit_cast<uint32_t>(x); }

// Three float operations, each rounding once: the error of the float result
// against the exact value is within a few ulps of the largest term.
void ExpectNear(double expected, float actual, double scale) {
    ASSERT_NEAR(expected, actual, 4.0 * scale * std::numeric_limits<float>::epsilon());
}

TEST(VectorPrimitives, ZeroAndCopyMoveExactlyLenElements) {
    for (int len : Lengths) {
        SCOPED_TRACE(len);
        auto src = RandomComplex(static_cast<std::size_t>(len), 1);
        auto dst = GuardedComplex(len);
        ASSERT_EQ(spCopy_32fc(src.data(), dst.data(), len), StatusOk);
        EXPECT_EQ(std::memcmp(src.data(), dst.data(), src.size() * sizeof(Complex32f)), 0);
        ExpectGuardIntact(dst, len);

        ASSERT_EQ(spZero_32fc(dst.data(), len), StatusOk);
        for (int i = 0; i < len; ++i) ASSERT_EQ(Bits(dst[i].re) | Bits(dst[i].im), 0u);
        ExpectGuardIntact(dst, len);

        std::vector<float> floats(static_cast<std::size_t>(len) + Guard, Sentinel);
        auto realSrc = RandomFloats(static_cast<std::size_t>(len), 2);
        realSrc[0] = -0.0f;
        ASSERT_EQ(spCopy_32f(realSrc.data(), floats.data(), len), StatusOk);
        EXPECT_EQ(std::memcmp(realSrc.data(), floats.data(), realSrc.size() * 4), 0);
        ASSERT_EQ(spZero_32f(floats.data(), len), StatusOk);
        for (int i = 0; i < len; ++i) ASSERT_EQ(Bits(floats[i]), 0u);
        for (int i = len; i < len + Guard; ++i) ASSERT_EQ(floats[i], Sentinel);
    }
}

TEST(VectorPrimitives, ComplexProductsMatchDoubleReference) {
    for (int len : Lengths) {
        SCOPED_TRACE(len);
        auto a = RandomComplex(static_cast<std::size_t>(len), 3);
        auto b = RandomComplex(static_cast<std::size_t>(len), 4);
        auto d0 = RandomComplex(static_cast<std::size_t>(len), 5);

        auto product = GuardedComplex(len);
        ASSERT_EQ(spMul_32fc(a.data(), b.data(), product.data(), len), StatusOk);
        ExpectGuardIntact(product, len);

        auto acc = GuardedComplex(len);
        std::copy(d0.begin(), d0.end(), acc.begin());
        ASSERT_EQ(spAddProduct_32fc(a.data(), b.data(), acc.data(), len), StatusOk);
        ExpectGuardIntact(acc, len);

        for (int i = 0; i < len; ++i) {
            const double ar = a[i].re, ai = a[i].im, br = b[i].re, bi = b[i].im;
            const double scale =
                std::fabs(ar * br) + std::fabs(ai * bi) + std::fabs(ar * bi) + std::fabs(ai * br);
            ExpectNear(ar * br - ai * bi, product[i].re, scale);
            ExpectNear(ar * bi + ai * br, product[i].im, scale);
            ExpectNear(d0[i].re + ar * br - ai * bi, acc[i].re, scale + std::fabs(d0[i].re));
            ExpectNear(d0[i].im + ar * bi + ai * br, acc[i].im, scale + std::fabs(d0[i].im));
        }
    }
}

TEST(VectorPrimitives, AddProductOfPureRealsIsExactSum) {
    // With zero imaginary parts the product is one exact-enough multiplication:
    // 1.5 * 2 + 0.25 has no rounding at all.
    Complex32f a[3] = {{1.5f, 0}, {-3.0f, 0}, {0.5f, 0}};
    Complex32f b[3] = {{2.0f, 0}, {4.0f, 0}, {8.0f, 0}};
    Complex32f d[3] = {{0.25f, 1}, {12.0f, 2}, {-4.0f, 3}};
    ASSERT_EQ(spAddProduct_32fc(a, b, d, 3), StatusOk);
    EXPECT_EQ(d[0].re, 3.25f);
    EXPECT_EQ(d[1].re, 0.0f);
    EXPECT_EQ(d[2].re, 0.0f);
    EXPECT_EQ(d[0].im, 1.0f);
    EXPECT_EQ(d[2].im, 3.0f);
}

TEST(VectorPrimitives, AddInPlaceAndDoubling) {
    for (int len : Lengths) {
        SCOPED_TRACE(len);
        auto src = RandomComplex(static_cast<std::size_t>(len), 6);
        auto dst = RandomComplex(static_cast<std::size_t>(len), 7);
        auto expected = dst;
        ASSERT_EQ(spAdd_32fc_I(src.data(), dst.data(), len), StatusOk);
        for (int i = 0; i < len; ++i) {
            ASSERT_EQ(dst[i].re, src[i].re + expected[i].re);
            ASSERT_EQ(dst[i].im, src[i].im + expected[i].im);
        }
        auto same = src;
        ASSERT_EQ(spAdd_32fc_I(same.data(), same.data(), len), StatusOk);
        for (int i = 0; i < len; ++i) {
            ASSERT_EQ(same[i].re, 2.0f * src[i].re);
            ASSERT_EQ(same[i].im, 2.0f * src[i].im);
        }
    }
}

TEST(VectorPrimitives, CplxToRealSplitsBitForBit) {
    for (int len : Lengths) {
        SCOPED_TRACE(len);
        auto src = RandomComplex(static_cast<std::size_t>(len), 8);
        src[0].im = std::numeric_limits<float>::quiet_NaN();
        std::vector<float> re(static_cast<std::size_t>(len) + Guard, Sentinel);
        std::vector<float> im(static_cast<std::size_t>(len) + Guard, Sentinel);
        ASSERT_EQ(spCplxToReal_32fc(src.data(), re.data(), im.data(), len), StatusOk);
        for (int i = 0; i < len; ++i) {
            ASSERT_EQ(Bits(re[i]), Bits(src[i].re));
            ASSERT_EQ(Bits(im[i]), Bits(src[i].im));
        }
        EXPECT_EQ(re[len], Sentinel);
        EXPECT_EQ(im[len], Sentinel);
    }
}

TEST(VectorPrimitives, MulCScalesAndHandlesSpecialFactors) {
    for (int len : Lengths) {
        SCOPED_TRACE(len);
        auto x = RandomFloats(static_cast<std::size_t>(len), 9);
        auto scaled = x;
        ASSERT_EQ(spMulC_32f_I(-0.7f, scaled.data(), len), StatusOk);
        for (int i = 0; i < len; ++i) ASSERT_EQ(scaled[i], x[i] * -0.7f);
    }
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float original[4] = {inf, nan, -3.0f, std::numeric_limits<float>::max()};
    for (float factor : {1.0f, nan}) {
        float v[4];
        std::memcpy(v, original, sizeof v);
        ASSERT_EQ(spMulC_32f_I(factor, v, 4), StatusOk);
        EXPECT_EQ(std::memcmp(v, original, sizeof v), 0) << factor;
    }
    for (float zero : {0.0f, -0.0f}) {
        float v[4];
        std::memcpy(v, original, sizeof v);
        ASSERT_EQ(spMulC_32f_I(zero, v, 4), StatusOk);
        for (float y : v) EXPECT_EQ(Bits(y), 0u);
    }
    float big[1] = {std::numeric_limits<float>::max()};
    ASSERT_EQ(spMulC_32f_I(2.0f, big, 1), StatusOk);
    EXPECT_EQ(big[0], inf);
}

// The packed spectrum layout: for even N, X0, X(N/2), then (re, im) pairs.
TEST(VectorPrimitives, ConjPermExpandsSmallSpectra) {
    struct Case {
        std::vector<float> src;
        std::vector<Complex32f> expected;
    };
    const float a = 1.5f, b = -2.0f, c = 3.25f, d = 4.0f, e = -5.5f;
    const Case cases[] = {
        {{a}, {{a, 0}}},
        {{a, b}, {{a, 0}, {b, 0}}},
        {{a, b, c, d}, {{a, 0}, {c, d}, {b, 0}, {c, -d}}},
        {{a, b, c, d, e}, {{a, 0}, {b, c}, {d, e}, {d, -e}, {b, -c}}},
    };
    for (const Case& test : cases) {
        const int n = static_cast<int>(test.src.size());
        SCOPED_TRACE(n);
        auto dst = GuardedComplex(n);
        ASSERT_EQ(spConjPerm_32fc(test.src.data(), dst.data(), n), StatusOk);
        for (int i = 0; i < n; ++i) {
            EXPECT_EQ(dst[i].re, test.expected[i].re) << i;
            EXPECT_EQ(dst[i].im, test.expected[i].im) << i;
        }
        ExpectGuardIntact(dst, n);
    }
}

TEST(VectorPrimitives, ConjPermMirrorsEveryBinForAnyLength) {
    for (int len : Lengths) {
        SCOPED_TRACE(len);
        auto src = RandomFloats(static_cast<std::size_t>(len), 10);
        auto dst = GuardedComplex(len);
        ASSERT_EQ(spConjPerm_32fc(src.data(), dst.data(), len), StatusOk);
        ExpectGuardIntact(dst, len);
        EXPECT_EQ(dst[0].re, src[0]);
        EXPECT_EQ(Bits(dst[0].im), 0u);
        const int half = len / 2;
        for (int k = 1; k < (len + 1) / 2; ++k) {
            const int at = len % 2 == 0 ? 2 * k : 2 * k - 1;
            ASSERT_EQ(dst[k].re, src[at]);
            ASSERT_EQ(dst[k].im, src[at + 1]);
            ASSERT_EQ(dst[len - k].re, src[at]);
            ASSERT_EQ(Bits(dst[len - k].im), Bits(-src[at + 1]));
        }
        if (len % 2 == 0 && len >= 2) {
            EXPECT_EQ(dst[half].re, src[1]);
            EXPECT_EQ(Bits(dst[half].im), 0u);
        }
    }
    // A zero imaginary part mirrors to -0.0.
    const float src[4] = {1, 2, 3, 0};
    Complex32f dst[4];
    ASSERT_EQ(spConjPerm_32fc(src, dst, 4), StatusOk);
    EXPECT_EQ(Bits(dst[3].im), Bits(-0.0f));
}

TEST(VectorPrimitives, SplitScaledMapsFullScaleSymmetrically) {
    const int16_t src[4] = {-32768, 32767, 0, -1};
    std::vector<float> left(2), right(2);
    float* channels[2] = {left.data(), right.data()};
    ASSERT_EQ(spSplitScaled_16s32f_D2L(src, channels, 2, 2), StatusOk);
    EXPECT_EQ(left[0], -1.0f);
    EXPECT_EQ(right[0], 1.0f);
    EXPECT_FLOAT_EQ(left[1], 1.5259022e-05f);
    EXPECT_FLOAT_EQ(right[1], -1.5259022e-05f);
    EXPECT_EQ(left[1], -right[1]);
}

TEST(VectorPrimitives, SplitScaledAllSampleValuesAreNearestFloats) {
    // Every 16-bit value, through one channel of a stereo pair, against the
    // exact value x * 65537/2^31 + 65537/2^32 rounded once.
    std::vector<int16_t> src(2 * 65536);
    for (int x = -32768; x < 32768; ++x) {
        src[2 * static_cast<std::size_t>(x + 32768)] = static_cast<int16_t>(x);
        src[2 * static_cast<std::size_t>(x + 32768) + 1] = static_cast<int16_t>(-1 - x);
    }
    std::vector<float> first(65536), second(65536);
    float* channels[2] = {first.data(), second.data()};
    ASSERT_EQ(spSplitScaled_16s32f_D2L(src.data(), channels, 2, 65536), StatusOk);
    for (int x = -32768; x < 32768; ++x) {
        const std::size_t i = static_cast<std::size_t>(x + 32768);
        const double exact = x * (65537.0 / 2147483648.0) + 65537.0 / 4294967296.0;
        ASSERT_EQ(first[i], static_cast<float>(exact)) << x;
        ASSERT_EQ(second[i], -first[i]) << x;  // symmetric about zero
        ASSERT_NE(first[i], 0.0f);
    }
}

TEST(VectorPrimitives, SplitScaledDeinterleavesAnyChannelCount) {
    for (int channels : {1, 2, 3, 6}) {
        for (int len : {1, 7, 33, 4096}) {
            SCOPED_TRACE(channels * 10000 + len);
            std::vector<int16_t> src(static_cast<std::size_t>(channels * len));
            for (std::size_t i = 0; i < src.size(); ++i) {
                src[i] = static_cast<int16_t>(i * 7919 % 65536 - 32768);
            }
            std::vector<std::vector<float>> out(static_cast<std::size_t>(channels),
                                                std::vector<float>(len));
            std::vector<float*> pointers;
            for (auto& v : out) pointers.push_back(v.data());
            ASSERT_EQ(spSplitScaled_16s32f_D2L(src.data(), pointers.data(), channels, len),
                      StatusOk);
            for (int c = 0; c < channels; ++c) {
                for (int i = 0; i < len; ++i) {
                    const double x = src[static_cast<std::size_t>(i * channels + c)];
                    ASSERT_EQ(out[c][i], static_cast<float>(x * (65537.0 / 2147483648.0) +
                                                            65537.0 / 4294967296.0));
                }
            }
        }
    }
}

// Statuses for bad arguments, in each primitive's test order, and nothing
// written on failure.
TEST(VectorPrimitiveStatuses, NullPointersAndBadLengths) {
    float f[4] = {1, 2, 3, 4};
    Complex32f c[4] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}};
    Complex32f out[4] = {{9, 9}, {9, 9}, {9, 9}, {9, 9}};
    const Complex32f untouched[4] = {{9, 9}, {9, 9}, {9, 9}, {9, 9}};

    for (int bad : {0, -1, std::numeric_limits<int>::min()}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(spZero_32f(f, bad), StatusBadLength);
        EXPECT_EQ(spZero_32fc(out, bad), StatusBadLength);
        EXPECT_EQ(spCopy_32f(f, f + 2, bad), StatusBadLength);
        EXPECT_EQ(spCopy_32fc(c, out, bad), StatusBadLength);
        EXPECT_EQ(spMul_32fc(c, c, out, bad), StatusBadLength);
        EXPECT_EQ(spAddProduct_32fc(c, c, out, bad), StatusBadLength);
        EXPECT_EQ(spConjPerm_32fc(f, out, bad), StatusBadLength);
        EXPECT_EQ(spCplxToReal_32fc(c, f, f + 2, bad), StatusBadLength);
        EXPECT_EQ(spMulC_32f_I(2.0f, f, bad), StatusBadLength);
        EXPECT_EQ(spAdd_32fc_I(c, out, bad), StatusBadLength);
    }
    EXPECT_EQ(std::memcmp(out, untouched, sizeof out), 0);
    EXPECT_EQ(f[0], 1.0f);

    EXPECT_EQ(spZero_32f(nullptr, 4), StatusNullPointer);
    EXPECT_EQ(spZero_32fc(nullptr, 0), StatusNullPointer);
    EXPECT_EQ(spCopy_32f(f, nullptr, 0), StatusNullPointer);
    EXPECT_EQ(spCopy_32f(nullptr, f, 4), StatusNullPointer);
    EXPECT_EQ(spCopy_32fc(c, nullptr, -1), StatusNullPointer);
    EXPECT_EQ(spMul_32fc(nullptr, c, out, 4), StatusNullPointer);
    EXPECT_EQ(spMul_32fc(c, nullptr, out, 4), StatusNullPointer);
    EXPECT_EQ(spMul_32fc(c, c, nullptr, 0), StatusNullPointer);
    EXPECT_EQ(spAddProduct_32fc(c, nullptr, out, 4), StatusNullPointer);
    EXPECT_EQ(spAddProduct_32fc(c, c, nullptr, 4), StatusNullPointer);
    EXPECT_EQ(spConjPerm_32fc(nullptr, out, 4), StatusNullPointer);
    EXPECT_EQ(spConjPerm_32fc(f, nullptr, 0), StatusNullPointer);
    EXPECT_EQ(spCplxToReal_32fc(c, f, nullptr, 0), StatusNullPointer);
    EXPECT_EQ(spCplxToReal_32fc(nullptr, f, f, 4), StatusNullPointer);
    EXPECT_EQ(spMulC_32f_I(2.0f, nullptr, 0), StatusNullPointer);
    // The accumulating add checks its length before its pointers.
    EXPECT_EQ(spAdd_32fc_I(nullptr, out, 0), StatusBadLength);
    EXPECT_EQ(spAdd_32fc_I(nullptr, out, 4), StatusNullPointer);
    EXPECT_EQ(spAdd_32fc_I(c, nullptr, 4), StatusNullPointer);
    EXPECT_EQ(std::memcmp(out, untouched, sizeof out), 0);
}

TEST(VectorPrimitiveStatuses, SplitScaledChecksLengthsBeforeChannelPointers) {
    const int16_t src[4] = {1, 2, 3, 4};
    float left[2] = {7, 7};
    float* missingRight[2] = {left, nullptr};
    EXPECT_EQ(spSplitScaled_16s32f_D2L(nullptr, nullptr, 0, 0), StatusNullPointer);
    EXPECT_EQ(spSplitScaled_16s32f_D2L(src, nullptr, 0, 2), StatusBadLength);
    EXPECT_EQ(spSplitScaled_16s32f_D2L(src, nullptr, 2, 0), StatusBadLength);
    EXPECT_EQ(spSplitScaled_16s32f_D2L(src, nullptr, 2, 2), StatusNullPointer);
    EXPECT_EQ(spSplitScaled_16s32f_D2L(src, missingRight, 2, 2), StatusNullPointer);
    EXPECT_EQ(left[0], 7.0f);  // the channel before the null entry is unchanged
    EXPECT_EQ(left[1], 7.0f);
}

}  // namespace
