// Real FFT to Perm: accuracy against a double reference, the Perm layout
// against the complex transform of the same samples, expansion by
// spConjPerm_32fc, large orders, argument checks and buffer sizes.

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <vector>

#include "primitives/sp.h"
#include "tests/primitives/fft_reference.h"

namespace {

using fft_test::ComplexD;
using fft_test::ErrorBound;
using fft_test::LargeFftEnabled;
using fft_test::Untouched;

struct RealSpec {
    FftSpec* spec = nullptr;
    PrimitiveStatus status;
    RealSpec(int order, int flag) : status(spFFTInitAlloc_R_32f(&spec, order, flag, 1)) {}
    ~RealSpec() {
        if (spec != nullptr) spFFTFree_R_32f(spec);
    }
};

// Bins 0 .. N/2 of the DFT of real samples, in double.
std::vector<ComplexD> ReferenceHalfSpectrum(const std::vector<float>& x) {
    std::vector<ComplexD> samples(x.begin(), x.end());
    std::vector<ComplexD> spectrum = fft_test::ReferenceDft(samples, -1);
    spectrum.resize(x.size() / 2 + 1);
    return spectrum;
}

// Perm floats as bins 0 .. N/2 (N >= 2): DC and Nyquist real, pairs between.
std::vector<ComplexD> UnpackPerm(const std::vector<float>& perm) {
    const std::size_t length = perm.size();
    std::vector<ComplexD> bins(length / 2 + 1);
    bins[0] = perm[0];
    bins[length / 2] = perm[1];
    for (std::size_t k = 1; k < length / 2; ++k) bins[k] = ComplexD(perm[2 * k], perm[2 * k + 1]);
    return bins;
}

double RmsRelativeError(const std::vector<ComplexD>& actual, const std::vector<ComplexD>& expected,
                        double scale) {
    double error = 0, norm = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        error += std::norm(actual[i] - scale * expected[i]);
        norm += std::norm(scale * expected[i]);
    }
    return std::sqrt(error / norm);
}

double ForwardScale(int flag, int order) {
    const double length = std::ldexp(1.0, order);
    if (flag == FftScaleForward) return 1.0 / length;
    if (flag == FftScaleSqrt) return 1.0 / std::sqrt(length);
    return 1.0;
}

// ---- Accuracy -------------------------------------------------------------

class RealFftAccuracy : public testing::TestWithParam<int> {};

TEST_P(RealFftAccuracy, MatchesReferenceForEachFlagAndPlacement) {
    const int order = GetParam();
    const std::size_t length = std::size_t{1} << order;
    const std::vector<float> x = fft_test::RandomFloats(length, 6000 + order);
    const std::vector<ComplexD> reference = ReferenceHalfSpectrum(x);
    for (int flag : {FftScaleNone, FftScaleForward, FftScaleInverse, FftScaleSqrt}) {
        RealSpec spec(order, flag);
        ASSERT_EQ(spec.status, StatusOk);
        for (bool inPlace : {false, true}) {
            // Above 2^14 one placement per flag keeps the sweep fast.
            if (order > 14 && inPlace != (flag == FftScaleForward || flag == FftScaleSqrt)) {
                continue;
            }
            SCOPED_TRACE(testing::Message() << "flag " << flag << (inPlace ? " in place" : ""));
            std::vector<float> src = x;
            std::vector<float> dst(length);
            if (inPlace) {
                ASSERT_EQ(spFFTFwd_RToPerm_32f(src.data(), src.data(), spec.spec, nullptr),
                          StatusOk);
                dst = src;
            } else {
                ASSERT_EQ(spFFTFwd_RToPerm_32f(src.data(), dst.data(), spec.spec, nullptr),
                          StatusOk);
                EXPECT_EQ(src, x) << "src was written";
            }
            const double scale = ForwardScale(flag, order);
            if (length == 1) {
                EXPECT_FLOAT_EQ(dst[0], static_cast<float>(scale * x[0]));
                continue;
            }
            EXPECT_LE(RmsRelativeError(UnpackPerm(dst), reference, scale), ErrorBound(order));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Orders0To20, RealFftAccuracy, testing::Range(0, 21));

// The Perm output and the complex transform of the same samples (imaginary
// parts zero) agree bin for bin, and spConjPerm_32fc rebuilds from it the
// whole spectrum, upper half included.
class RealFftPerm : public testing::TestWithParam<int> {};

TEST_P(RealFftPerm, ExpandsToTheComplexSpectrumOfTheSamePoints) {
    const int order = GetParam();
    const std::size_t length = std::size_t{1} << order;
    const std::vector<float> x = fft_test::RandomFloats(length, 7000 + order);

    RealSpec realSpec(order, FftScaleNone);
    ASSERT_EQ(realSpec.status, StatusOk);
    std::vector<float> perm(length);
    ASSERT_EQ(spFFTFwd_RToPerm_32f(x.data(), perm.data(), realSpec.spec, nullptr), StatusOk);

    FftSpec* complexSpec = nullptr;
    ASSERT_EQ(spFFTInitAlloc_C_32fc(&complexSpec, order, FftScaleNone, 1), StatusOk);
    std::vector<Complex32f> samples(length, Complex32f{0, 0});
    for (std::size_t i = 0; i < length; ++i) samples[i].re = x[i];
    std::vector<Complex32f> spectrum(length);
    ASSERT_EQ(spFFTFwd_CToC_32fc(samples.data(), spectrum.data(), complexSpec, nullptr), StatusOk);
    EXPECT_EQ(spFFTFree_C_32fc(complexSpec), StatusOk);

    std::vector<Complex32f> expanded(length);
    ASSERT_EQ(spConjPerm_32fc(perm.data(), expanded.data(), static_cast<int>(length)), StatusOk);

    // Both sides are float transforms of the same data, each within the
    // bound of the double reference.
    std::vector<ComplexD> fromComplex(length);
    for (std::size_t k = 0; k < length; ++k) {
        fromComplex[k] = ComplexD(spectrum[k].re, spectrum[k].im);
    }
    EXPECT_LE(fft_test::RmsRelativeError(expanded.data(), fromComplex, 1.0), 2 * ErrorBound(order));
    // The DC and Nyquist bins of a real signal are real: no stray imaginary part.
    EXPECT_EQ(expanded[0].im, 0.0f);
    if (length >= 2) {
        EXPECT_EQ(expanded[length / 2].im, 0.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(Orders1To18, RealFftPerm, testing::Range(1, 19));

// ---- Orders above 20 ------------------------------------------------------

// Probed bins against a direct sum, and a round trip through the full
// spectrum: spConjPerm_32fc, then a scaled inverse complex transform.
void CheckLargeOrder(int order) {
    const std::size_t length = std::size_t{1} << order;
    const std::vector<float> x = fft_test::RandomFloats(length, 8000 + order);
    RealSpec spec(order, FftScaleNone);
    ASSERT_EQ(spec.status, StatusOk);
    std::vector<float> perm(length);
    ASSERT_EQ(spFFTFwd_RToPerm_32f(x.data(), perm.data(), spec.spec, nullptr), StatusOk);
    double energy = 0;
    for (float v : x) energy += static_cast<double>(v) * v;
    const double binBound = 4 * ErrorBound(order) * std::sqrt(energy);
    auto sample = [&](std::size_t j) { return ComplexD(x[j], 0.0); };
    for (std::size_t k : {std::size_t{0}, std::size_t{1}, length / 4 + 3, length / 2 - 1}) {
        SCOPED_TRACE(k);
        const ComplexD expected = fft_test::DftBin(sample, length, k, -1);
        const ComplexD actual =
            k == 0 ? ComplexD(perm[0], 0) : ComplexD(perm[2 * k], perm[2 * k + 1]);
        EXPECT_LE(std::abs(actual - expected), binBound);
    }
    {
        const ComplexD nyquist = fft_test::DftBin(sample, length, length / 2, -1);
        EXPECT_LE(std::abs(ComplexD(perm[1], 0) - nyquist), binBound);
    }

    std::vector<Complex32f> full(length);
    ASSERT_EQ(spConjPerm_32fc(perm.data(), full.data(), static_cast<int>(length)), StatusOk);
    FftSpec* inverseSpec = nullptr;
    ASSERT_EQ(spFFTInitAlloc_C_32fc(&inverseSpec, order, FftScaleInverse, 1), StatusOk);
    ASSERT_EQ(spFFTInv_CToC_32fc(full.data(), full.data(), inverseSpec, nullptr), StatusOk);
    EXPECT_EQ(spFFTFree_C_32fc(inverseSpec), StatusOk);
    double error = 0;
    for (std::size_t j = 0; j < length; ++j) {
        error += std::norm(ComplexD(full[j].re, full[j].im) - ComplexD(x[j], 0));
    }
    EXPECT_LE(std::sqrt(error / energy), 2 * ErrorBound(order));
}

class RealFftLargeOrders : public testing::TestWithParam<int> {};

TEST_P(RealFftLargeOrders, RoundTripAndProbedBins) { CheckLargeOrder(GetParam()); }

INSTANTIATE_TEST_SUITE_P(Orders21To24, RealFftLargeOrders, testing::Range(21, 25));

class RealFftHugeOrders : public testing::TestWithParam<int> {};

TEST_P(RealFftHugeOrders, RoundTripAndProbedBins) {
    if (!LargeFftEnabled()) GTEST_SKIP() << "set TESSARO_LARGE_FFT=1 to run";
    CheckLargeOrder(GetParam());
}

// 2^30 needs 8 GiB for the complex round trip alone; 2^29 is the largest
// that fits beside its tables on a 24 GiB machine.
INSTANTIATE_TEST_SUITE_P(Orders25To29, RealFftHugeOrders, testing::Range(25, 30));

// ---- Arguments and statuses ----------------------------------------------

TEST(RealFftCreation, RejectsBadArgumentsWithoutWritingTheSpec) {
    struct Case {
        int order;
        int flag;
        PrimitiveStatus expected;
    };
    const Case cases[] = {
        {-1, FftScaleNone, StatusBadOrder},
        {31, FftScaleNone, StatusBadOrder},
        {INT_MAX, 0, StatusBadOrder},
        {4, 0, StatusBadFlag},
        {4, 3, StatusBadFlag},
        {13, 16, StatusBadFlag},
        {0, 7, StatusBadFlag},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "order " << c.order << " flag " << c.flag);
        FftSpec* spec = Untouched;
        EXPECT_EQ(spFFTInitAlloc_R_32f(&spec, c.order, c.flag, 1), c.expected);
        EXPECT_EQ(spec, Untouched);
    }
    EXPECT_EQ(spFFTInitAlloc_R_32f(nullptr, 4, FftScaleNone, 1), StatusNullPointer);
}

TEST(RealFftArguments, ChecksSpecBeforeDataPointers) {
    RealSpec realSpec(6, FftScaleNone);
    FftSpec* complexSpec = nullptr;
    ASSERT_EQ(spFFTInitAlloc_C_32fc(&complexSpec, 6, FftScaleNone, 1), StatusOk);
    const std::vector<float> src = fft_test::RandomFloats(64, 9);
    const std::vector<float> before(64, 5.0f);
    std::vector<float> dst = before;
    EXPECT_EQ(spFFTFwd_RToPerm_32f(src.data(), dst.data(), nullptr, nullptr), StatusNullPointer);
    EXPECT_EQ(spFFTFwd_RToPerm_32f(nullptr, nullptr, nullptr, nullptr), StatusNullPointer);
    EXPECT_EQ(spFFTFwd_RToPerm_32f(src.data(), dst.data(), complexSpec, nullptr), StatusBadSpec);
    EXPECT_EQ(spFFTFwd_RToPerm_32f(nullptr, nullptr, complexSpec, nullptr), StatusBadSpec);
    EXPECT_EQ(spFFTFwd_RToPerm_32f(nullptr, dst.data(), realSpec.spec, nullptr), StatusNullPointer);
    EXPECT_EQ(spFFTFwd_RToPerm_32f(src.data(), nullptr, realSpec.spec, nullptr), StatusNullPointer);
    EXPECT_EQ(dst, before);

    int size = -3;
    EXPECT_EQ(spFFTGetBufSize_R_32f(nullptr, &size), StatusNullPointer);
    EXPECT_EQ(spFFTGetBufSize_R_32f(realSpec.spec, nullptr), StatusNullPointer);
    EXPECT_EQ(spFFTGetBufSize_R_32f(complexSpec, &size), StatusBadSpec);
    EXPECT_EQ(size, -3);

    EXPECT_EQ(spFFTFree_R_32f(nullptr), StatusNullPointer);
    EXPECT_EQ(spFFTFree_R_32f(complexSpec), StatusBadSpec);
    std::vector<Complex32f> data(64, Complex32f{1, 0});
    EXPECT_EQ(spFFTFwd_CToC_32fc(data.data(), data.data(), complexSpec, nullptr), StatusOk);
    EXPECT_EQ(spFFTFree_C_32fc(complexSpec), StatusOk);
}

TEST(RealFftBufferSize, FollowsTheOrderTable) {
    const int expected[] = {0,    0,    0,     0,     0,     0,     0,     0,
                            0,    0,    0,     0,     16,    16,    1040,  2064,
                            4112, 8208, 8208,  8208,  32784, 32784, 32784, 32784,
                            8208, 8208, 32784, 32784, 32784, 32784, 32784};
    const int last = LargeFftEnabled() ? 30 : 24;
    for (int order = 0; order <= last; ++order) {
        SCOPED_TRACE(order);
        RealSpec spec(order, FftScaleNone);
        ASSERT_EQ(spec.status, StatusOk);
        int size = -1;
        ASSERT_EQ(spFFTGetBufSize_R_32f(spec.spec, &size), StatusOk);
        EXPECT_EQ(size, expected[order]);
    }
}

TEST(RealFftWorkBuffer, AnyAddressGivesTheSameResult) {
    for (int order : {12, 14, 17}) {
        SCOPED_TRACE(order);
        const std::size_t length = std::size_t{1} << order;
        RealSpec spec(order, FftScaleNone);
        ASSERT_EQ(spec.status, StatusOk);
        int size = 0;
        ASSERT_EQ(spFFTGetBufSize_R_32f(spec.spec, &size), StatusOk);
        const std::vector<float> x = fft_test::RandomFloats(length, 9000 + order);
        std::vector<float> expected(length);
        ASSERT_EQ(spFFTFwd_RToPerm_32f(x.data(), expected.data(), spec.spec, nullptr), StatusOk);
        for (std::size_t offset = 1; offset < 16; offset += 5) {
            SCOPED_TRACE(offset);
            std::vector<uint8_t> storage(offset + static_cast<std::size_t>(size), 0xFF);
            std::vector<float> dst(length);
            ASSERT_EQ(
                spFFTFwd_RToPerm_32f(x.data(), dst.data(), spec.spec, storage.data() + offset),
                StatusOk);
            EXPECT_EQ(std::memcmp(dst.data(), expected.data(), length * sizeof(float)), 0);
        }
    }
}

}  // namespace
