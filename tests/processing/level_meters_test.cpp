#include "processing/level_meters.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace tessaro {
namespace {

struct ClipCase {
    float value;
    int16_t expected;
    int clipped;
};

TEST(ClipToPcm16, RoundsTowardZeroAndCountsOnlyBeyondTheBounds) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const ClipCase cases[] = {
        {1.0f, 32767, 1},      // 32768 is past the top bound
        {-1.0f, -32768, 0},    // exactly the bottom bound
        {0.99999f, 32767, 1},  // 32767.67 > 32767
        {32767.0f / 32768, 32767, 0},
        {-0.00002f, 0, 0},     // -0.66 truncates to 0
        {0.5f / 32768, 0, 0},  // truncation, not rounding
        {-1.5f / 32768, -1, 0},
        {-1.00001f, -32768, 1},
        {inf, 32767, 1},
        {-inf, -32768, 1},
        {nan, 0, 0},
        {-nan, 0, 0},
        {0.0f, 0, 0},
        {-0.0f, 0, 0},
    };
    for (const ClipCase& c : cases) {
        SCOPED_TRACE(c.value);
        LevelMeters meters;
        const float left[1] = {c.value};
        const float right[1] = {0.25f};
        int16_t out[2] = {111, 111};
        meters.ClipToPcm16(left, right, out, 1);
        EXPECT_EQ(out[0], c.expected);
        EXPECT_EQ(out[1], 8192);
        EXPECT_EQ(meters.clipCount, c.clipped);
    }
}

TEST(ClipToPcm16, InterleavesAndCountsBothChannels) {
    LevelMeters meters;
    const float left[3] = {2.0f, 0.5f, -3.0f};
    const float right[3] = {-2.0f, -0.5f, 0.0f};
    int16_t out[6] = {};
    meters.ClipToPcm16(left, right, out, 3);
    const int16_t expected[6] = {32767, -32768, 16384, -16384, -32768, 0};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(out[i], expected[i]) << i;
    EXPECT_EQ(meters.clipCount, 3);
    meters.ClipToPcm16(left, right, out, 0);
    meters.ClipToPcm16(left, right, out, -4);
    EXPECT_EQ(meters.clipCount, 3);
    meters.ClipToPcm16(left, right, out, 1);
    EXPECT_EQ(meters.clipCount, 5);  // cumulative over the run
}

TEST(ClipToPcm16, CountSaturatesInsteadOfWrapping) {
    LevelMeters meters;
    meters.clipCount = std::numeric_limits<int32_t>::max() - 1;
    const float loud[2] = {4.0f, 4.0f};
    int16_t out[4];
    meters.ClipToPcm16(loud, loud, out, 2);
    EXPECT_EQ(meters.clipCount, std::numeric_limits<int32_t>::max());
}

// Clips are counted as with truncation: any value beyond the bounds.
TEST(ClipToPcm16, RoundingToNearestAndClipCounts) {
    const struct {
        double steps;  // the value in 16-bit steps
        int16_t expected;
        int clipped;
    } cases[] = {
        {0.4, 0, 0},           {0.6, 1, 0},
        {-0.6, -1, 0},         {2.5, 2, 0} /* ties to even */,
        {3.5, 4, 0},           {32766.7, 32767, 0},
        {32767.4, 32767, 1},   {32767.6, 32767, 1},
        {-32768.4, -32768, 1},
    };
    for (const auto& c : cases) {
        LevelMeters meters;
        meters.rounding = OutputRounding::Nearest;
        const float x = static_cast<float>(c.steps / 32768.0);
        int16_t out[2];
        meters.ClipToPcm16(&x, &x, out, 1);
        EXPECT_EQ(out[0], c.expected) << c.steps;
        EXPECT_EQ(meters.clipCount, 2 * c.clipped) << c.steps;
    }
}

// TPDF dither of +-1 step before rounding: the error has mean 0 whatever the
// value (rounding alone is off by the value's fraction) and variance 1/6
// (dither) + 1/12 (rounding) = 1/4 step^2. With 200000 samples the standard
// error of the mean is about 0.0011 and of the variance about 0.0006.
TEST(ClipToPcm16, TpdfDitherErrorHasZeroMeanAndAQuarterStepVariance) {
    constexpr int Count = 100000;
    for (const double steps : {0.3, -1234.5, 0.0, 20000.75}) {
        SCOPED_TRACE(steps);
        LevelMeters meters;
        meters.rounding = OutputRounding::TpdfDither;
        meters.Reset(0);
        const std::vector<float> x(Count, static_cast<float>(steps / 32768.0));
        std::vector<int16_t> out(2 * Count);
        meters.ClipToPcm16(x.data(), x.data(), out.data(), Count);
        const double exact = static_cast<double>(x[0]) * 32768.0;
        double sum = 0, squares = 0;
        for (const int16_t sample : out) {
            const double error = sample - exact;
            ASSERT_LE(std::fabs(error), 1.5);
            sum += error;
            squares += error * error;
        }
        const double mean = sum / out.size();
        EXPECT_NEAR(mean, 0.0, 0.006);
        EXPECT_NEAR(squares / out.size() - mean * mean, 0.25, 0.005);
        EXPECT_EQ(meters.clipCount, 0);
    }
}

// The same dither in every run: a dithered run can be made again.
TEST(ClipToPcm16, DitherRestartsWithEveryRun) {
    LevelMeters meters;
    meters.rounding = OutputRounding::TpdfDither;
    const std::vector<float> x(64, 0.001f);
    std::vector<int16_t> first(128), second(128);
    meters.Reset(0);
    meters.ClipToPcm16(x.data(), x.data(), first.data(), 64);
    meters.Reset(0);
    meters.ClipToPcm16(x.data(), x.data(), second.data(), 64);
    EXPECT_EQ(first, second);
    EXPECT_EQ(meters.rounding, OutputRounding::TpdfDither) << "Reset keeps the rounding";
}

TEST(Gain, DecibelsToLinear) {
    EXPECT_EQ(GainFromDb(0.0f), 1.0f);
    // 6 * 0.05f is 0.30000000447, whose power rounds to the float above 10^0.3.
    EXPECT_EQ(GainFromDb(6.0f), static_cast<float>(std::pow(10.0, 6.0 * 0.05f)));
    EXPECT_FLOAT_EQ(GainFromDb(6.0f), 1.9952623f);
    EXPECT_FLOAT_EQ(GainFromDb(-20.0f), 0.1f);
    EXPECT_EQ(GainFromDb(-1000.0f), 0.0f);
}

TEST(Gain, AppliesToBothChannels) {
    std::vector<float> left = {0.5f, -0.25f}, right = {1.0f, 2.0f};
    ApplyGain(2.0f, left.data(), right.data(), 2);
    EXPECT_EQ(left[0], 1.0f);
    EXPECT_EQ(left[1], -0.5f);
    EXPECT_EQ(right[1], 4.0f);
    // A failing first channel leaves the second unscaled.
    ApplyGain(2.0f, nullptr, right.data(), 2);
    EXPECT_EQ(right[1], 4.0f);
}

std::vector<float> Sine(std::size_t n, double amplitude, double cycles) {
    std::vector<float> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<float>(amplitude * std::sin(2.0 * M_PI * cycles * i / n));
    }
    return v;
}

TEST(LevelMeters, FullScaleSineOverTheWholeFile) {
    const std::size_t frames = 4096 * 10 + 123;
    const auto sine = Sine(frames, 1.0, 441);
    LevelMeters meters;
    meters.Reset(2 * frames);
    // Fed block by block, as a run does.
    for (std::size_t start = 0; start < frames; start += 4096) {
        const auto n = static_cast<uint32_t>(std::min<std::size_t>(4096, frames - start));
        meters.MeterInputRms(sine.data() + start, sine.data() + start, n);
        meters.MeterInputPeak(sine.data() + start, sine.data() + start, n);
    }
    EXPECT_NEAR(meters.inRmsDb, -3.0103, 0.001);
    EXPECT_NEAR(meters.inPeakDb, 0.0, 0.001);
    EXPECT_NEAR(meters.inRms, std::sqrt(0.5), 1e-5);
}

TEST(LevelMeters, PartialRunShowsSumSoFarOverTheFullCount) {
    const std::vector<float> ones(100, 0.5f);
    LevelMeters meters;
    meters.Reset(800);  // 400 frames in the file, 100 seen
    meters.MeterOutputRms(ones.data(), ones.data(), 100);
    EXPECT_FLOAT_EQ(meters.outRms, static_cast<float>(std::sqrt(0.25 * 200 / 800)));
    EXPECT_FLOAT_EQ(meters.outRmsDb, static_cast<float>(20 * std::log10(std::sqrt(0.0625))));
}

TEST(LevelMeters, SilenceGivesMinusInfinityAndNanNeverRaisesThePeak) {
    const std::vector<float> zeros(64, 0.0f);
    LevelMeters meters;
    meters.Reset(128);
    meters.MeterInputRms(zeros.data(), zeros.data(), 64);
    meters.MeterInputPeak(zeros.data(), zeros.data(), 64);
    EXPECT_TRUE(std::isinf(meters.inRmsDb) && meters.inRmsDb < 0);
    EXPECT_TRUE(std::isinf(meters.inPeakDb) && meters.inPeakDb < 0);

    const float withNan[3] = {0.25f, std::numeric_limits<float>::quiet_NaN(), -0.5f};
    meters.MeterOutputPeak(withNan, withNan, 3);
    EXPECT_EQ(meters.outPeak, 0.5f);
    EXPECT_FLOAT_EQ(meters.outPeakDb, static_cast<float>(20 * std::log10(0.5)));
}

TEST(LevelMeters, LongLoudRecordingKeepsItsLevel) {
    // Three hours of a full-scale square wave, stereo: 2 * 476 million
    // squares of 1.0. A float sum would stop at 2^24 and read far too low.
    const std::vector<float> block(4096, 1.0f);
    const uint64_t blocks = 3ull * 3600 * 44100 / 4096;
    LevelMeters meters;
    meters.Reset(2 * blocks * 4096);
    for (uint64_t b = 0; b < blocks; ++b) {
        meters.MeterInputRms(block.data(), block.data(), 4096);
    }
    EXPECT_NEAR(meters.inRmsDb, 0.0, 0.005);
}

TEST(LevelMeters, ResetClearsEverything) {
    LevelMeters meters;
    const float loud[2] = {3.0f, -3.0f};
    int16_t out[4];
    meters.Reset(4);
    meters.MeterOutputPeak(loud, loud, 2);
    meters.MeterOutputRms(loud, loud, 2);
    meters.ClipToPcm16(loud, loud, out, 2);
    meters.Reset(10);
    EXPECT_EQ(meters.outPeak, 0.0f);
    EXPECT_EQ(meters.outPeakDb, 0.0f);
    EXPECT_EQ(meters.outSumLeft, 0.0);
    EXPECT_EQ(meters.clipCount, 0);
    EXPECT_EQ(meters.totalSamples, 10u);
}

}  // namespace
}  // namespace tessaro
