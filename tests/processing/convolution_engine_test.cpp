#include "processing/convolution_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

namespace tessaro {
namespace {

constexpr uint32_t FftLength = 8192;
constexpr uint32_t Block = FftLength / 2;
constexpr uint32_t MaxTaps = 524288;

struct EngineDeleter {
    void operator()(ConvolutionEngine* engine) const { DestroyEngine(engine); }
};
using EnginePtr = std::unique_ptr<ConvolutionEngine, EngineDeleter>;

EnginePtr MakeEngine(uint32_t maxTaps = MaxTaps) {
    return EnginePtr(CreateEngine(maxTaps, FftLength, 1));
}

std::vector<float> RandomSignal(std::size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (auto& x : v) x = dist(rng);
    return v;
}

// Taps that decay like a room response, so that long filters stay bounded.
std::vector<Complex32f> RandomTaps(std::size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    std::vector<Complex32f> taps(n);
    for (std::size_t i = 0; i < n; ++i) {
        const float envelope = std::exp(-3.0f * static_cast<float>(i) / static_cast<float>(n));
        taps[i] = Complex32f{dist(rng) * envelope, dist(rng) * envelope};
    }
    return taps;
}

// Runs a whole signal (a multiple of the block length) through an engine.
std::vector<Complex32f> RunSignal(ConvolutionEngine* engine, const std::vector<float>& input) {
    std::vector<Complex32f> output(input.size());
    for (std::size_t start = 0; start < input.size(); start += Block) {
        ProcessBlock(engine, input.data() + start, output.data() + start);
    }
    return output;
}

// Plain double-precision linear convolution output at sample n.
std::complex<double> DirectAt(const std::vector<float>& x, const std::vector<Complex32f>& h,
                              std::size_t n) {
    std::complex<double> sum = 0;
    const std::size_t last = std::min<std::size_t>(n, h.size() - 1);
    for (std::size_t k = 0; k <= last; ++k) {
        sum += static_cast<double>(x[n - k]) * std::complex<double>(h[k].re, h[k].im);
    }
    return sum;
}

// Float round-off of an FFT grows like log2(N)·2^-24 relative to the signal
// energy; forward, inverse and the sum over partitions add up. The error of
// each output is compared with ||h|| · ||x|| over the filter's span, scaled
// by that growth with a margin of 8.
double ErrorBound(const std::vector<Complex32f>& h, double inputRms) {
    double energy = 0;
    for (const auto& t : h) energy += double(t.re) * t.re + double(t.im) * t.im;
    const double span = std::sqrt(static_cast<double>(std::min<std::size_t>(h.size(), Block)));
    return 8.0 * 13 * std::ldexp(1.0, -24) * std::sqrt(energy) * inputRms * span;
}

double Rms(const std::vector<float>& x) {
    double sum = 0;
    for (float v : x) sum += double(v) * v;
    return std::sqrt(sum / x.size());
}

class EngineAgainstDirectConvolution : public ::testing::TestWithParam<uint32_t> {};

TEST_P(EngineAgainstDirectConvolution, TwoByTwoMatrixMatches) {
    const uint32_t tapCount = GetParam();
    auto left = MakeEngine();
    auto right = MakeEngine();
    ASSERT_TRUE(left && right);
    const auto hA = RandomTaps(tapCount, 11);
    const auto hB = RandomTaps(tapCount, 12);
    ASSERT_TRUE(SetFilter(left.get(), hA.data(), tapCount, 0));
    ASSERT_TRUE(SetFilter(right.get(), hB.data(), tapCount, 0));
    ResetEngine(left.get());
    ResetEngine(right.get());

    const std::size_t blocks = tapCount / Block + 3;
    const auto inLeft = RandomSignal(blocks * Block, 21);
    const auto inRight = RandomSignal(blocks * Block, 22);
    const auto outA = RunSignal(left.get(), inLeft);
    const auto outB = RunSignal(right.get(), inRight);

    const double bound = ErrorBound(hA, Rms(inLeft)) + ErrorBound(hB, Rms(inRight));
    // Every sample of short runs; a stride through long ones.
    const std::size_t stride = tapCount > Block ? 13 : 1;
    double worst = 0;
    for (std::size_t n = 0; n < inLeft.size(); n += stride) {
        const auto expected = DirectAt(inLeft, hA, n) + DirectAt(inRight, hB, n);
        const double leftOut = double(outA[n].re) + outB[n].re;
        const double rightOut = double(outA[n].im) + outB[n].im;
        worst = std::max(
            {worst, std::fabs(leftOut - expected.real()), std::fabs(rightOut - expected.imag())});
    }
    EXPECT_LT(worst, bound) << "taps " << tapCount;
}

INSTANTIATE_TEST_SUITE_P(TapCounts, EngineAgainstDirectConvolution,
                         ::testing::Values(1u, 4095u, 4096u, 4097u, 3 * 4096u + 17u));

TEST(ConvolutionEngine, FullLengthFilterReachesItsLastPartition) {
    // 129 blocks so that the oldest partition meets the first block; probe
    // the last two blocks against the direct sum over all 524288 taps.
    auto engine = MakeEngine();
    ASSERT_TRUE(engine);
    const auto h = RandomTaps(MaxTaps, 31);
    ASSERT_TRUE(SetFilter(engine.get(), h.data(), MaxTaps, 0));
    ResetEngine(engine.get());
    const auto input = RandomSignal(129 * Block, 32);
    const auto output = RunSignal(engine.get(), input);
    const double bound = 4 * ErrorBound(h, Rms(input));
    for (std::size_t n = 127 * Block; n < input.size(); n += 331) {
        const auto expected = DirectAt(input, h, n);
        ASSERT_NEAR(output[n].re, expected.real(), bound) << n;
        ASSERT_NEAR(output[n].im, expected.imag(), bound) << n;
    }
}

TEST(ConvolutionEngine, ImpulseReproducesTheTapsWithoutDelay) {
    auto engine = MakeEngine();
    const auto h = RandomTaps(2 * Block + 1, 41);
    ASSERT_TRUE(SetFilter(engine.get(), h.data(), static_cast<uint32_t>(h.size()), 0));
    ResetEngine(engine.get());
    std::vector<float> impulse(4 * Block, 0.0f);
    impulse[0] = 1.0f;
    const auto output = RunSignal(engine.get(), impulse);
    for (std::size_t i = 0; i < output.size(); ++i) {
        const Complex32f expected = i < h.size() ? h[i] : Complex32f{0, 0};
        ASSERT_NEAR(output[i].re, expected.re, 2e-6) << i;
        ASSERT_NEAR(output[i].im, expected.im, 2e-6) << i;
    }
}

TEST(ConvolutionEngine, SingleUnitTapPassesTheInputThrough) {
    auto engine = MakeEngine();
    const Complex32f unit{1.0f, 0.0f};
    ASSERT_TRUE(SetFilter(engine.get(), &unit, 1, 0));
    ResetEngine(engine.get());
    auto input = RandomSignal(2 * Block, 51);
    input[5] = 32767.0f / 32768.0f;
    const auto output = RunSignal(engine.get(), input);
    for (std::size_t i = 0; i < input.size(); ++i) {
        ASSERT_NEAR(output[i].re, input[i], 1e-6) << i;
        ASSERT_NEAR(output[i].im, 0.0f, 1e-6) << i;
    }
    // Full scale must survive the round trip well inside half an LSB.
    EXPECT_LT(std::fabs(output[5].re * 32768.0 - 32767.0), 0.01);
}

TEST(ConvolutionEngine, ResetStartsFromSilence) {
    auto engine = MakeEngine();
    const auto h = RandomTaps(3 * Block, 61);
    ASSERT_TRUE(SetFilter(engine.get(), h.data(), static_cast<uint32_t>(h.size()), 0));
    const auto first = RandomSignal(3 * Block, 62);
    const auto second = RandomSignal(3 * Block, 63);
    ResetEngine(engine.get());
    RunSignal(engine.get(), first);
    ResetEngine(engine.get());
    const auto afterReset = RunSignal(engine.get(), second);

    auto fresh = MakeEngine();
    ASSERT_TRUE(SetFilter(fresh.get(), h.data(), static_cast<uint32_t>(h.size()), 0));
    ResetEngine(fresh.get());
    const auto expected = RunSignal(fresh.get(), second);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(afterReset[i].re, expected[i].re) << i;
        ASSERT_EQ(afterReset[i].im, expected[i].im) << i;
    }
}

TEST(ConvolutionEngine, AFreshEngineStartsFromSilence) {
    // No ResetEngine: the history of a new engine is already clear.
    const auto h = RandomTaps(3 * Block, 65);
    const auto input = RandomSignal(4 * Block, 66);
    auto fresh = MakeEngine();
    ASSERT_TRUE(SetFilter(fresh.get(), h.data(), static_cast<uint32_t>(h.size()), 0));
    const auto withoutReset = RunSignal(fresh.get(), input);
    auto reset = MakeEngine();
    ASSERT_TRUE(SetFilter(reset.get(), h.data(), static_cast<uint32_t>(h.size()), 0));
    ResetEngine(reset.get());
    const auto expected = RunSignal(reset.get(), input);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(withoutReset[i].re, expected[i].re) << i;
        ASSERT_EQ(withoutReset[i].im, expected[i].im) << i;
    }
}

TEST(ConvolutionEngine, ReplacingAFilterLeavesNoTraceOfTheOld) {
    const auto oldTaps = RandomTaps(5 * Block, 71);
    const auto newTaps = RandomTaps(Block / 2, 72);
    const auto input = RandomSignal(4 * Block, 73);

    auto engine = MakeEngine();
    ASSERT_TRUE(SetFilter(engine.get(), oldTaps.data(), static_cast<uint32_t>(oldTaps.size()), 0));
    ASSERT_TRUE(SetFilter(engine.get(), newTaps.data(), static_cast<uint32_t>(newTaps.size()), 0));
    EXPECT_EQ(engine->partitionCounts[0], 1u);
    ResetEngine(engine.get());
    const auto replaced = RunSignal(engine.get(), input);

    auto fresh = MakeEngine();
    ASSERT_TRUE(SetFilter(fresh.get(), newTaps.data(), static_cast<uint32_t>(newTaps.size()), 0));
    ResetEngine(fresh.get());
    const auto expected = RunSignal(fresh.get(), input);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(replaced[i].re, expected[i].re) << i;
        ASSERT_EQ(replaced[i].im, expected[i].im) << i;
    }
}

TEST(ConvolutionEngine, TapsBeyondCapacityAreIgnored) {
    // A small engine (2 partitions) given 3 partitions' worth of taps acts
    // like the first two partitions alone.
    auto engine = MakeEngine(2 * Block);
    ASSERT_TRUE(engine);
    EXPECT_EQ(engine->partitionCapacity, 2u);
    const auto taps = RandomTaps(3 * Block, 81);
    ASSERT_TRUE(SetFilter(engine.get(), taps.data(), static_cast<uint32_t>(taps.size()), 0));
    EXPECT_EQ(engine->partitionCounts[0], 2u);
    ResetEngine(engine.get());
    const auto input = RandomSignal(4 * Block, 82);
    const auto output = RunSignal(engine.get(), input);
    const std::vector<Complex32f> kept(taps.begin(), taps.begin() + 2 * Block);
    const double bound = ErrorBound(kept, Rms(input));
    for (std::size_t n = 0; n < input.size(); n += 37) {
        const auto expected = DirectAt(input, kept, n);
        ASSERT_NEAR(output[n].re, expected.real(), bound) << n;
    }
}

TEST(ConvolutionEngine, PartitionCountsFollowTheTapCount) {
    auto engine = MakeEngine();
    const auto taps = RandomTaps(MaxTaps + 100, 91);
    const struct {
        uint32_t taps;
        uint32_t partitions;
    } cases[] = {{1, 1}, {4096, 1}, {4097, 2}, {8192, 2}, {MaxTaps, 128}, {MaxTaps + 100, 128}};
    for (const auto& c : cases) {
        ASSERT_TRUE(SetFilter(engine.get(), taps.data(), c.taps, 0));
        EXPECT_EQ(engine->partitionCounts[0], c.partitions) << c.taps;
    }
}

TEST(ConvolutionEngine, RefusesWhatItCannotHold) {
    EXPECT_EQ(CreateEngine(MaxTaps, 8191, 1), nullptr);
    EXPECT_EQ(CreateEngine(MaxTaps, 0, 1), nullptr);
    EXPECT_EQ(CreateEngine(MaxTaps, 1u << 20, 1), nullptr);
    EXPECT_EQ(CreateEngine(0, FftLength, 1), nullptr);
    EXPECT_EQ(CreateEngine(MaxTaps, FftLength, 0), nullptr);

    auto engine = MakeEngine();
    ASSERT_TRUE(engine);
    const Complex32f tap{1, 0};
    EXPECT_FALSE(SetFilter(engine.get(), &tap, 0, 0));
    EXPECT_FALSE(SetFilter(engine.get(), nullptr, 1, 0));
    EXPECT_FALSE(SetFilter(engine.get(), &tap, 1, 1));  // no such slot
    EXPECT_EQ(engine->partitionCounts[0], 0u);
    EXPECT_EQ(engine->slotPartitions[0], nullptr);
    ClearFilter(engine.get(), 0);  // an empty slot stays empty
    ClearFilter(engine.get(), 5);
    EXPECT_EQ(engine->partitionCounts[0], 0u);

    // Without a filter a block comes out silent instead of crashing.
    const auto input = RandomSignal(Block, 99);
    std::vector<Complex32f> output(Block, Complex32f{7, 7});
    ProcessBlock(engine.get(), input.data(), output.data());
    for (const auto& v : output) ASSERT_TRUE(v.re == 0 && v.im == 0);
}

// The ring keeps half of each input spectrum and reads bin j for bins j and
// N - j. Against the product over full spectra (the upper half conjugates
// of the lower) the folded one must give the very same bits, at every FFT
// length down to 2, accumulating or not.
TEST(HalfSpectrumProduct, SameBitsAsTheFullSpectrum) {
    std::mt19937 rng(5);
    std::normal_distribution<float> dist(0.0f, 1.0f);
    for (const uint32_t n : {2u, 4u, 8u, 64u, FftLength}) {
        const uint32_t half = n / 2;
        std::vector<Complex32f> x(n), h(n), full(n), folded(n);
        for (auto& v : h) v = Complex32f{dist(rng), dist(rng)};
        for (auto& v : full) v = Complex32f{dist(rng), dist(rng)};
        for (uint32_t k = 0; k <= half; ++k) x[k] = Complex32f{dist(rng), dist(rng)};
        x[0].im = x[half].im = 0;
        for (uint32_t k = half + 1; k < n; ++k) x[k] = Complex32f{x[n - k].re, -x[n - k].im};
        // The folded filter and accumulator keep bin n - j at half + j.
        std::vector<Complex32f> hFolded(h);
        std::reverse(hFolded.begin() + half + 1, hFolded.end());
        folded = full;
        std::reverse(folded.begin() + half + 1, folded.end());
        for (const bool accumulate : {false, true}) {
            for (uint32_t k = 0; k < n; ++k) {
                const Complex32f a = x[k], b = h[k];
                Complex32f& d = full[k];
                const float re =
                    accumulate ? (a.re * b.re + d.re) - a.im * b.im : a.re * b.re - a.im * b.im;
                d.im = accumulate ? (a.re * b.im + d.im) + a.im * b.re : a.re * b.im + a.im * b.re;
                d.re = re;
            }
            MultiplyHalfSpectrum(x.data(), hFolded.data(), folded.data(), half, accumulate);
            std::vector<Complex32f> unfolded(folded);
            std::reverse(unfolded.begin() + half + 1, unfolded.end());
            for (uint32_t k = 0; k < n; ++k) {
                ASSERT_EQ(unfolded[k].re, full[k].re) << "n " << n << " bin " << k;
                ASSERT_EQ(unfolded[k].im, full[k].im) << "n " << n << " bin " << k;
            }
        }
    }
}

// Every partition count a ring can hold, on engines of small FFT lengths,
// where the packed real spectrum and the fold have the fewest bins.
class SmallEngineAgainstDirectConvolution : public ::testing::TestWithParam<uint32_t> {};

TEST_P(SmallEngineAgainstDirectConvolution, EveryPartitionCount) {
    const uint32_t n = GetParam();
    const uint32_t block = n / 2;
    EnginePtr engine(CreateEngine(128 * block, n, 1));
    ASSERT_TRUE(engine);
    for (uint32_t count = 1; count <= 128; ++count) {
        const uint32_t tapCount = count * block - (block > 1 ? 1 : 0);
        const auto h = RandomTaps(tapCount, count);
        ASSERT_TRUE(SetFilter(engine.get(), h.data(), tapCount, 0));
        ASSERT_EQ(engine->partitionCounts[0], count);
        ResetEngine(engine.get());
        const auto x = RandomSignal((count + 2) * block, 100 + count);
        std::vector<Complex32f> y(x.size());
        for (std::size_t start = 0; start < x.size(); start += block) {
            ProcessBlock(engine.get(), x.data() + start, y.data() + start);
        }
        double energy = 0;
        for (const auto& t : h) energy += double(t.re) * t.re + double(t.im) * t.im;
        // As ErrorBound, with this engine's FFT length and block.
        const double bound = 8.0 * (std::log2(n) + 1) * std::ldexp(1.0, -24) * std::sqrt(energy) *
                             Rms(x) * std::sqrt(static_cast<double>(std::min(tapCount, block)));
        // The blocks that meet the oldest partitions.
        for (std::size_t i = x.size() - 2 * block; i < x.size(); ++i) {
            const auto expected = DirectAt(x, h, i);
            ASSERT_NEAR(y[i].re, expected.real(), bound) << "count " << count << " sample " << i;
            ASSERT_NEAR(y[i].im, expected.imag(), bound) << "count " << count << " sample " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FftLengths, SmallEngineAgainstDirectConvolution,
                         ::testing::Values(2u, 4u, 16u, 256u));

// Grouped blocks against one block at a time, bit for bit: with a full
// ring (the group's newest spectra must not overwrite what its first block
// still needs), with fewer partitions, and across several bin chunks.
TEST(GroupedBlocks, SameBitsAsOneBlockAtATime) {
    for (const uint32_t n : {16u, 8192u}) {
        const uint32_t block = n / 2;
        const uint32_t capacity = 6;
        for (const uint32_t partitions : {capacity, 2u, 1u}) {
            SCOPED_TRACE(::testing::Message() << "n " << n << ", partitions " << partitions);
            EnginePtr single(CreateEngine(capacity * block, n, 1));
            EnginePtr grouped(CreateEngine(capacity * block, n, 1));
            ASSERT_TRUE(single && grouped);
            const uint32_t most = grouped->groupCapacity;
            ASSERT_GT(most, 1u);
            const auto h = RandomTaps(partitions * block, partitions);
            ASSERT_TRUE(SetFilter(single.get(), h.data(), partitions * block, 0));
            ASSERT_TRUE(SetFilter(grouped.get(), h.data(), partitions * block, 0));
            const auto x = RandomSignal(53 * block, n + partitions);
            std::vector<Complex32f> expected(x.size());
            for (std::size_t at = 0; at < x.size(); at += block) {
                ProcessBlock(single.get(), x.data() + at, expected.data() + at);
            }
            // Groups of every size, and one more than a group holds.
            std::vector<Complex32f> y(x.size());
            std::size_t start = 0;
            for (uint32_t count = 1; start < x.size(); count = count % (most + 1) + 1) {
                const auto blocks = std::min<std::size_t>(count, (x.size() - start) / block);
                ProcessBlocks(grouped.get(), x.data() + start, y.data() + start,
                              static_cast<uint32_t>(blocks));
                start += blocks * block;
            }
            for (std::size_t i = 0; i < x.size(); ++i) {
                ASSERT_EQ(y[i].re, expected[i].re) << "sample " << i;
                ASSERT_EQ(y[i].im, expected[i].im) << "sample " << i;
            }
        }
    }
}

}  // namespace
}  // namespace tessaro
