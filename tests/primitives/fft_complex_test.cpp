// Complex FFT: accuracy against a double reference at every order up to 20,
// round trips and probed bins above, argument checks, buffer sizes and the
// caller's work buffer.

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "primitives/sp.h"
#include "tests/primitives/fft_reference.h"

namespace {

using fft_test::ComplexD;
using fft_test::ErrorBound;
using fft_test::LargeFftEnabled;
using fft_test::RmsRelativeError;
using fft_test::Untouched;

struct ComplexSpec {
    FftSpec* spec = nullptr;
    PrimitiveStatus status;
    ComplexSpec(int order, int flag) : status(spFFTInitAlloc_C_32fc(&spec, order, flag, 1)) {}
    ~ComplexSpec() {
        if (spec != nullptr) spFFTFree_C_32fc(spec);
    }
};

PrimitiveStatus Transform(bool inverse, const Complex32f* src, Complex32f* dst, const FftSpec* spec,
                          uint8_t* buffer = nullptr) {
    return inverse ? spFFTInv_CToC_32fc(src, dst, spec, buffer)
                   : spFFTFwd_CToC_32fc(src, dst, spec, buffer);
}

std::vector<Complex32f> RandomSignal(std::size_t length, std::uint32_t seed) {
    const std::vector<float> values = fft_test::RandomFloats(2 * length, seed);
    std::vector<Complex32f> signal(length);
    std::memcpy(signal.data(), values.data(), values.size() * sizeof(float));
    return signal;
}

std::vector<ComplexD> ToDouble(const std::vector<Complex32f>& x) {
    std::vector<ComplexD> out(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) out[i] = ComplexD(x[i].re, x[i].im);
    return out;
}

// The factor a transform of this direction applies under the flag.
double ExpectedScale(int flag, int order, bool inverse) {
    const double length = std::ldexp(1.0, order);
    switch (flag) {
        case FftScaleForward:
            return inverse ? 1.0 : 1.0 / length;
        case FftScaleInverse:
            return inverse ? 1.0 / length : 1.0;
        case FftScaleSqrt:
            return 1.0 / std::sqrt(length);
        default:
            return 1.0;
    }
}

const char* FlagName(int flag) {
    switch (flag) {
        case FftScaleForward:
            return "FftScaleForward";
        case FftScaleInverse:
            return "FftScaleInverse";
        case FftScaleSqrt:
            return "FftScaleSqrt";
        default:
            return "FftScaleNone";
    }
}

bool SameBits(const std::vector<Complex32f>& a, const std::vector<Complex32f>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 8) == 0;
}

// ---- Accuracy -------------------------------------------------------------

class ComplexFftAccuracy : public testing::TestWithParam<int> {};

TEST_P(ComplexFftAccuracy, MatchesReferenceForEachFlagDirectionAndPlacement) {
    const int order = GetParam();
    const std::size_t length = std::size_t{1} << order;
    const std::vector<Complex32f> x = RandomSignal(length, 1000 + order);
    const std::vector<ComplexD> forwardRef = fft_test::ReferenceDft(ToDouble(x), -1);
    const std::vector<ComplexD> inverseRef = fft_test::ReferenceDft(ToDouble(x), +1);

    struct Case {
        int flag;
        bool inPlace;
    };
    // Every combination up to 2^14; above, each flag once and each placement
    // twice, to keep the sweep fast.
    std::vector<Case> cases;
    if (order <= 14) {
        for (int flag : {FftScaleNone, FftScaleForward, FftScaleInverse, FftScaleSqrt}) {
            cases.push_back({flag, false});
            cases.push_back({flag, true});
        }
    } else {
        cases = {{FftScaleNone, false},
                 {FftScaleInverse, true},
                 {FftScaleSqrt, false},
                 {FftScaleForward, true}};
    }
    for (const Case& c : cases) {
        ComplexSpec spec(order, c.flag);
        ASSERT_EQ(spec.status, StatusOk);
        for (bool inverse : {false, true}) {
            SCOPED_TRACE(std::string(FlagName(c.flag)) + (inverse ? " inverse" : " forward") +
                         (c.inPlace ? " in place" : " out of place"));
            std::vector<Complex32f> src = x;
            std::vector<Complex32f> dst(length);
            if (c.inPlace) {
                ASSERT_EQ(Transform(inverse, src.data(), src.data(), spec.spec), StatusOk);
                dst = src;
            } else {
                ASSERT_EQ(Transform(inverse, src.data(), dst.data(), spec.spec), StatusOk);
                EXPECT_TRUE(SameBits(src, x)) << "src was written";
            }
            const double error = RmsRelativeError(dst.data(), inverse ? inverseRef : forwardRef,
                                                  ExpectedScale(c.flag, order, inverse));
            EXPECT_LE(error, ErrorBound(order));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Orders0To20, ComplexFftAccuracy, testing::Range(0, 21));

class ComplexFftRoundTrip : public testing::TestWithParam<int> {};

// Forward then inverse with one spec: the input again under FftScaleInverse,
// N times the input under FftScaleNone.
TEST_P(ComplexFftRoundTrip, InverseRestoresInput) {
    const int order = GetParam();
    const std::size_t length = std::size_t{1} << order;
    const std::vector<Complex32f> x = RandomSignal(length, 2000 + order);
    for (int flag : {FftScaleInverse, FftScaleNone}) {
        SCOPED_TRACE(FlagName(flag));
        ComplexSpec spec(order, flag);
        ASSERT_EQ(spec.status, StatusOk);
        std::vector<Complex32f> data = x;
        ASSERT_EQ(spFFTFwd_CToC_32fc(data.data(), data.data(), spec.spec, nullptr), StatusOk);
        ASSERT_EQ(spFFTInv_CToC_32fc(data.data(), data.data(), spec.spec, nullptr), StatusOk);
        const double scale = flag == FftScaleNone ? static_cast<double>(length) : 1.0;
        // Two transforms, each within the bound.
        EXPECT_LE(RmsRelativeError(data.data(), ToDouble(x), scale), 2 * ErrorBound(order));
    }
}

INSTANTIATE_TEST_SUITE_P(Orders0To20, ComplexFftRoundTrip, testing::Range(0, 21));

// ---- Orders above 20 ------------------------------------------------------

// Forward transform probed at a few bins against a direct sum, then the
// inverse in place against the input. x(j) regenerates the input.
template <typename Signal>
void CheckLargeOrder(int order, Signal x, Complex32f* data) {
    const std::size_t length = std::size_t{1} << order;
    ComplexSpec spec(order, FftScaleInverse);
    ASSERT_EQ(spec.status, StatusOk);
    double energy = 0;
    for (std::size_t j = 0; j < length; ++j) {
        const ComplexD v = x(j);
        data[j] = {static_cast<float>(v.real()), static_cast<float>(v.imag())};
        energy += std::norm(v);
    }
    ASSERT_EQ(spFFTFwd_CToC_32fc(data, data, spec.spec, nullptr), StatusOk);
    // A bin's error is about the relative RMS error times the RMS bin
    // magnitude sqrt(energy); 4x margin for a single bin.
    const double binBound = 4 * ErrorBound(order) * std::sqrt(energy);
    for (std::size_t k : {std::size_t{0}, std::size_t{1}, length / 2 + 7, length - 1}) {
        SCOPED_TRACE(k);
        const ComplexD expected = fft_test::DftBin(x, length, k, -1);
        EXPECT_LE(std::abs(ComplexD(data[k].re, data[k].im) - expected), binBound);
    }
    ASSERT_EQ(spFFTInv_CToC_32fc(data, data, spec.spec, nullptr), StatusOk);
    double error = 0;
    for (std::size_t j = 0; j < length; ++j) {
        error += std::norm(ComplexD(data[j].re, data[j].im) - x(j));
    }
    EXPECT_LE(std::sqrt(error / energy), 2 * ErrorBound(order));
}

// A cheap reproducible signal in [-1, 1) from the sample index.
ComplexD HashedSample(std::size_t j) {
    auto mix = [](std::uint64_t z) {
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    };
    const std::uint64_t bits = mix(j + 0x9E3779B97F4A7C15ull);
    const double re = static_cast<double>(static_cast<std::uint32_t>(bits) >> 8) / 8388608.0 - 1;
    const double im = static_cast<double>(bits >> 40) / 8388608.0 - 1;
    return {re, im};
}

class ComplexFftLargeOrders : public testing::TestWithParam<int> {};

TEST_P(ComplexFftLargeOrders, RoundTripAndProbedBins) {
    const int order = GetParam();
    std::vector<Complex32f> data(std::size_t{1} << order);
    CheckLargeOrder(order, HashedSample, data.data());
}

INSTANTIATE_TEST_SUITE_P(Orders21To24, ComplexFftLargeOrders, testing::Range(21, 25));

class ComplexFftHugeOrders : public testing::TestWithParam<int> {};

// Up to 2^30 points: 8 GiB of data and as much again of tables.
TEST_P(ComplexFftHugeOrders, RoundTripAndProbedBins) {
    if (!LargeFftEnabled()) GTEST_SKIP() << "set TESSARO_LARGE_FFT=1 to run";
    const int order = GetParam();
    std::vector<Complex32f> data(std::size_t{1} << order);
    CheckLargeOrder(order, HashedSample, data.data());
}

INSTANTIATE_TEST_SUITE_P(Orders25To30, ComplexFftHugeOrders, testing::Range(25, 31));

// ---- Arguments and statuses ----------------------------------------------

TEST(ComplexFftCreation, RejectsBadArgumentsWithoutWritingTheSpec) {
    struct Case {
        int order;
        int flag;
        PrimitiveStatus expected;
    };
    const Case cases[] = {
        {-1, FftScaleNone, StatusBadOrder},
        {31, FftScaleNone, StatusBadOrder},
        {INT_MIN, 0, StatusBadOrder},
        {31, 3, StatusBadOrder},
        {4, 0, StatusBadFlag},
        {4, 3, StatusBadFlag},
        {4, 16, StatusBadFlag},
        {0, -1, StatusBadFlag},
        {13, FftScaleNone | FftScaleSqrt, StatusBadFlag},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "order " << c.order << " flag " << c.flag);
        FftSpec* spec = Untouched;
        EXPECT_EQ(spFFTInitAlloc_C_32fc(&spec, c.order, c.flag, 1), c.expected);
        EXPECT_EQ(spec, Untouched);
    }
    EXPECT_EQ(spFFTInitAlloc_C_32fc(nullptr, 4, FftScaleNone, 1), StatusNullPointer);
    EXPECT_EQ(spFFTInitAlloc_C_32fc(nullptr, 31, 0, 1), StatusNullPointer);
}

TEST(ComplexFftCreation, AcceptsAnyHint) {
    for (int hint : {0, 1, -7, INT_MIN, INT_MAX}) {
        FftSpec* spec = nullptr;
        ASSERT_EQ(spFFTInitAlloc_C_32fc(&spec, 5, FftScaleNone, hint), StatusOk) << hint;
        EXPECT_EQ(spFFTFree_C_32fc(spec), StatusOk);
    }
}

TEST(ComplexFftArguments, ChecksSpecBeforeDataPointers) {
    ComplexSpec complexSpec(6, FftScaleNone);
    FftSpec* realSpec = nullptr;
    ASSERT_EQ(spFFTInitAlloc_R_32f(&realSpec, 6, FftScaleNone, 1), StatusOk);
    std::vector<Complex32f> src = RandomSignal(64, 7);
    const std::vector<Complex32f> before(64, Complex32f{5, 5});
    for (bool inverse : {false, true}) {
        SCOPED_TRACE(inverse ? "inverse" : "forward");
        std::vector<Complex32f> dst = before;
        EXPECT_EQ(Transform(inverse, src.data(), dst.data(), nullptr), StatusNullPointer);
        EXPECT_EQ(Transform(inverse, nullptr, nullptr, nullptr), StatusNullPointer);
        EXPECT_EQ(Transform(inverse, src.data(), dst.data(), realSpec), StatusBadSpec);
        EXPECT_EQ(Transform(inverse, nullptr, nullptr, realSpec), StatusBadSpec);
        EXPECT_EQ(Transform(inverse, nullptr, dst.data(), complexSpec.spec), StatusNullPointer);
        EXPECT_EQ(Transform(inverse, src.data(), nullptr, complexSpec.spec), StatusNullPointer);
        EXPECT_TRUE(SameBits(dst, before));
    }

    int size = -3;
    EXPECT_EQ(spFFTGetBufSize_C_32fc(nullptr, &size), StatusNullPointer);
    EXPECT_EQ(spFFTGetBufSize_C_32fc(complexSpec.spec, nullptr), StatusNullPointer);
    EXPECT_EQ(spFFTGetBufSize_C_32fc(realSpec, &size), StatusBadSpec);
    EXPECT_EQ(size, -3);

    EXPECT_EQ(spFFTFree_C_32fc(nullptr), StatusNullPointer);
    EXPECT_EQ(spFFTFree_C_32fc(realSpec), StatusBadSpec);
    // The rejected real spec is still intact.
    std::vector<float> perm(64);
    EXPECT_EQ(spFFTFwd_RToPerm_32f(reinterpret_cast<const float*>(src.data()), perm.data(),
                                   realSpec, nullptr),
              StatusOk);
    EXPECT_EQ(spFFTFree_R_32f(realSpec), StatusOk);
}

TEST(ComplexFftBufferSize, FollowsTheOrderTable) {
    const int expected[] = {0,    0,     0,     0,     0,     0,     0,     0,
                            0,    0,     0,     16,    16,    1040,  2064,  4112,
                            8208, 8208,  8208,  32784, 32784, 32784, 32784, 8208,
                            8208, 32784, 32784, 32784, 32784, 32784, 32784};
    // Orders above 24 build gigabytes of tables.
    const int last = LargeFftEnabled() ? 30 : 24;
    for (int order = 0; order <= last; ++order) {
        SCOPED_TRACE(order);
        ComplexSpec spec(order, FftScaleNone);
        ASSERT_EQ(spec.status, StatusOk);
        int size = -1;
        ASSERT_EQ(spFFTGetBufSize_C_32fc(spec.spec, &size), StatusOk);
        EXPECT_EQ(size, expected[order]);
    }
}

// The caller's buffer is used from its first 16-byte boundary, so a buffer
// of exactly the reported size works at any address (the sanitizer build
// catches a byte read past its end), whatever it holds.
TEST(ComplexFftWorkBuffer, AnyAddressGivesTheSameResult) {
    for (int order : {11, 13, 14, 19}) {
        SCOPED_TRACE(order);
        const std::size_t length = std::size_t{1} << order;
        ComplexSpec spec(order, FftScaleSqrt);
        ASSERT_EQ(spec.status, StatusOk);
        int size = 0;
        ASSERT_EQ(spFFTGetBufSize_C_32fc(spec.spec, &size), StatusOk);
        const std::vector<Complex32f> x = RandomSignal(length, 3000 + order);
        for (bool inverse : {false, true}) {
            std::vector<Complex32f> expected(length);
            ASSERT_EQ(Transform(inverse, x.data(), expected.data(), spec.spec), StatusOk);
            for (std::size_t offset = 0; offset < 16; offset += 3) {
                SCOPED_TRACE(offset);
                std::vector<uint8_t> storage(offset + static_cast<std::size_t>(size), 0xFF);
                std::vector<Complex32f> dst(length);
                ASSERT_EQ(
                    Transform(inverse, x.data(), dst.data(), spec.spec, storage.data() + offset),
                    StatusOk);
                EXPECT_TRUE(SameBits(dst, expected));
            }
        }
    }
}

// Data pointers need only float alignment.
TEST(ComplexFftPlacement, OddlyAlignedDataGivesTheSameResult) {
    for (int order : {5, 10, 12, 13}) {
        SCOPED_TRACE(order);
        const std::size_t length = std::size_t{1} << order;
        ComplexSpec spec(order, FftScaleNone);
        ASSERT_EQ(spec.status, StatusOk);
        const std::vector<Complex32f> x = RandomSignal(length, 4000 + order);
        std::vector<Complex32f> expected(length);
        ASSERT_EQ(spFFTFwd_CToC_32fc(x.data(), expected.data(), spec.spec, nullptr), StatusOk);
        std::vector<float> storage(2 * length + 1);
        auto* shifted = reinterpret_cast<Complex32f*>(storage.data() + 1);
        std::memcpy(shifted, x.data(), length * sizeof(Complex32f));
        ASSERT_EQ(spFFTFwd_CToC_32fc(shifted, shifted, spec.spec, nullptr), StatusOk);
        EXPECT_EQ(std::memcmp(shifted, expected.data(), length * sizeof(Complex32f)), 0);
    }
}

// Out of place from order 12 the permutation happens as the rows or blocks
// are gathered, in place it is a sweep of its own; the butterflies after it
// are the same, so the two must agree to the bit, for every decomposition
// (blocks, rows of 2^8 .. 2^10, column sweeps of eight and of four columns)
// and with scaled rows.
class ComplexFftPlacementBits : public testing::TestWithParam<int> {};

TEST_P(ComplexFftPlacementBits, InPlaceEqualsOutOfPlace) {
    const int order = GetParam();
    const std::size_t length = std::size_t{1} << order;
    const std::vector<Complex32f> x = RandomSignal(length, 5000 + order);
    for (int flag : {FftScaleNone, FftScaleSqrt}) {
        ComplexSpec spec(order, flag);
        ASSERT_EQ(spec.status, StatusOk);
        for (bool inverse : {false, true}) {
            SCOPED_TRACE(std::string(FlagName(flag)) + (inverse ? " inverse" : " forward"));
            std::vector<Complex32f> outOfPlace(length);
            ASSERT_EQ(Transform(inverse, x.data(), outOfPlace.data(), spec.spec), StatusOk);
            std::vector<Complex32f> inPlace = x;
            ASSERT_EQ(Transform(inverse, inPlace.data(), inPlace.data(), spec.spec), StatusOk);
            EXPECT_TRUE(SameBits(inPlace, outOfPlace));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Orders11To20, ComplexFftPlacementBits, testing::Range(11, 21));

// ---- Memory exhaustion ----------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
constexpr bool UnderSanitizer = true;
#else
constexpr bool UnderSanitizer = false;
#endif

std::size_t HeapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// In a child process whose address space is capped a little above its current
// size, so that creation fails part-way through its tables: StatusNoMemory,
// spec_out untouched, and every byte allocated on the way given back. Freed
// small blocks stay counted while the allocator caches them, so the heap is
// compared across repeated failures after a first one.
void ExpectCleanFailure(PrimitiveStatus (*create)(FftSpec**, int, int, int), int order,
                        std::size_t headroom) {
    EXPECT_EXIT(
        {
            rlimit limit{};
            long pages = 0;
            FILE* statm = std::fopen("/proc/self/statm", "r");
            if (statm == nullptr || std::fscanf(statm, "%ld", &pages) != 1) std::_Exit(3);
            std::fclose(statm);
            limit.rlim_cur = limit.rlim_max =
                static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + headroom;
            if (setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(4);
            FftSpec* spec = Untouched;
            if (create(&spec, order, FftScaleNone, 1) != StatusNoMemory) std::_Exit(5);
            const std::size_t before = HeapInUse();
            for (int repeat = 0; repeat < 4; ++repeat) {
                if (create(&spec, order, FftScaleNone, 1) != StatusNoMemory) std::_Exit(5);
            }
            if (spec != Untouched) std::_Exit(6);
            std::_Exit(HeapInUse() == before ? 0 : 7);
        },
        testing::ExitedWithCode(0), "");
}

TEST(ComplexFftCreation, OutOfMemoryReleasesEverything) {
    if (UnderSanitizer) GTEST_SKIP() << "the sanitizer runtime needs an unlimited address space";
    // Order 20 needs 1 MiB of sines, 1 MiB of bit table and an 8 MiB matrix;
    // real order 21 2 MiB of sines and 2 MiB of split pairs besides. The caps
    // stop creation at each of them in turn.
    for (std::size_t headroomKiB : {0, 1536, 2560, 3584, 6144}) {
        SCOPED_TRACE(headroomKiB);
        ExpectCleanFailure(spFFTInitAlloc_C_32fc, 20, headroomKiB << 10);
        ExpectCleanFailure(spFFTInitAlloc_R_32f, 21, headroomKiB << 10);
    }
}

}  // namespace
