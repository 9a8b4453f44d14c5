// Loudness and headroom figures of runs that ask for them: EBU reference
// signals through a unit filter, and the filter matrix's gain against a
// direct evaluation of its frequency response.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

#include "app/text_format.h"
#include "tests/app/dialog_harness.h"

namespace tessaro::testing {
namespace {

constexpr double Pi = std::numbers::pi;

DialogOptions LoudnessOptions() {
    return DialogOptions{.useSettings = false, .loudness = true, .loudnessLines = true};
}

// Stereo sines, both channels alike, in segments of (seconds, dBFS).
std::vector<int16_t> Sine(uint32_t rate, double frequency, double phase,
                          const std::vector<std::pair<double, double>>& segments) {
    std::vector<int16_t> samples;
    std::size_t n = 0;
    for (const auto& [seconds, level] : segments) {
        const double amplitude = std::pow(10.0, level / 20.0) * 32768.0;
        for (std::size_t end = n + static_cast<std::size_t>(seconds * rate); n < end; ++n) {
            const auto v = static_cast<int16_t>(
                std::lround(amplitude * std::sin(2 * Pi * frequency * n / rate + phase)));
            samples.insert(samples.end(), {v, v});
        }
    }
    return samples;
}

// Test signals of EBU Tech 3341 and 3342 with their expected values and
// tolerances.
struct ReferenceCase {
    const char* name;
    uint32_t rate;
    double frequency;
    double phase;
    std::vector<std::pair<double, double>> segments;
    double integrated;  // LUFS, within 0.1 LU; NaN: not checked
    double range;       // LU
    double rangeTolerance;
    double truePeak;  // dBTP, within +0.2 / -0.4 dB
};

void PrintTo(const ReferenceCase& c, std::ostream* out) { *out << c.name; }

class EbuReference : public ::testing::TestWithParam<ReferenceCase> {};

TEST_P(EbuReference, InputAndOutputWithinTolerance) {
    const ReferenceCase& c = GetParam();
    DialogHarness h(LoudnessOptions());
    h.Select(h.WriteConfig("unit.mat", UnitFilter(), c.rate),
             h.WriteStereoInput("in.wav", Sine(c.rate, c.frequency, c.phase, c.segments), c.rate),
             h.Path("out.wav"));
    h.Process();
    ASSERT_EQ(h.dialog->LastRunStatus(), RunComplete);
    const LoudnessReport& report = h.dialog->LoudnessFigures();
    for (const auto& figures : {report.input, report.output}) {
        ASSERT_TRUE(figures.has_value());
        if (!std::isnan(c.integrated)) {
            EXPECT_NEAR(figures->integratedLufs, c.integrated, 0.1);
        }
        EXPECT_NEAR(figures->rangeLu, c.range, c.rangeTolerance);
        EXPECT_LE(figures->truePeakDb, c.truePeak + 0.2);
        EXPECT_GE(figures->truePeakDb, c.truePeak - 0.4);
    }
    EXPECT_THAT(h.toolkit.LogText(),
                ::testing::HasSubstr(
                    FormatLevel("Input Loudness:   %.2f LUFS", report.input->integratedLufs)));
}

INSTANTIATE_TEST_SUITE_P(
    Signals, EbuReference,
    ::testing::Values(
        ReferenceCase{"sine_minus23", 48000, 1000, 0, {{20, -23}}, -23, 0, 0.1, -23},
        ReferenceCase{"sine_minus33", 48000, 1000, 0, {{20, -33}}, -33, 0, 0.1, -33},
        ReferenceCase{"sine_44k1", 44100, 1000, 0, {{20, -23}}, -23, 0, 0.1, -23},
        // Two levels 10 dB apart: a loudness range of 10 LU.
        ReferenceCase{"range_10lu", 48000, 1000, 0, {{20, -20}, {20, -30}}, -22.6, 10, 1, -20},
        // A quarter of the rate, sampled 45 degrees off its crests: the
        // samples peak 3 dB below the wave.
        ReferenceCase{"true_peak", 48000, 12000, Pi / 4, {{10, -6}}, NAN, 0, 0.5, -6}));

// The interpolated peak does not depend on how the signal is cut into
// blocks: a crest between two samples at a block boundary is found, the
// same as when the whole signal comes at once.
TEST(TruePeak, BlockBoundariesDoNotMatter) {
    // 11025 Hz at 44.1 kHz, crests 45 degrees off the samples: samples at
    // 0.707 of the wave's 0.5, so the interpolation must see past them.
    std::vector<float> wave(44100);
    for (std::size_t n = 0; n < wave.size(); ++n) {
        wave[n] = static_cast<float>(0.5 * std::sin(Pi / 2 * double(n) + Pi / 4));
    }
    std::vector<float> silence(wave.size(), 0.0f);
    TruePeakMeter whole;
    whole.Add(wave.data(), silence.data(), static_cast<uint32_t>(wave.size()));
    EXPECT_NEAR(20 * std::log10(whole.Peak()), 20 * std::log10(0.5), 0.4);
    for (const uint32_t block : {1u, 7u, 11u, 12u, 4096u}) {
        SCOPED_TRACE(block);
        TruePeakMeter cut;
        for (std::size_t at = 0; at < wave.size(); at += block) {
            const auto n = static_cast<uint32_t>(std::min<std::size_t>(block, wave.size() - at));
            cut.Add(silence.data() + at, wave.data() + at, n);  // the right channel this time
        }
        EXPECT_EQ(cut.Peak(), whole.Peak());
    }
}

// |H(f)| summed into each output by a direct DFT in double on a grid 16
// times as fine as the filter's length.
double PeakGainDb(const FilterMatrix& f) {
    const std::size_t taps = f.Length();
    const std::size_t points = 16 * taps;
    double peak = 0;
    auto magnitude = [&](const std::vector<double>& h, std::size_t bin) {
        double re = 0, im = 0;
        for (std::size_t k = 0; k < taps; ++k) {
            const double w = -2 * Pi * double(bin) * double(k) / double(points);
            const double tap = static_cast<float>(h[k]);
            re += tap * std::cos(w);
            im += tap * std::sin(w);
        }
        return std::hypot(re, im);
    };
    for (std::size_t bin = 0; bin <= points / 2; ++bin) {
        peak = std::max({peak, magnitude(f.h1, bin) + magnitude(f.h3, bin),
                         magnitude(f.h2, bin) + magnitude(f.h4, bin)});
    }
    return 20 * std::log10(peak);
}

// Each output's worst case: every input sample at full scale with the sign
// of the tap it meets, for the output reaching the no-clip bound.
std::vector<int16_t> WorstCaseInput(const FilterMatrix& f) {
    double toLeft = 0, toRight = 0;
    for (std::size_t k = 0; k < f.Length(); ++k) {
        toLeft += std::abs(f.h1[k]) + std::abs(f.h3[k]);
        toRight += std::abs(f.h2[k]) + std::abs(f.h4[k]);
    }
    const bool left = toLeft >= toRight;
    const std::size_t taps = f.Length();
    std::vector<int16_t> samples(2 * 3 * taps, 0);
    // Output frame 2 * taps - 1 sees input frame 2 * taps - 1 - k through tap k.
    for (std::size_t k = 0; k < taps; ++k) {
        const std::size_t n = 2 * taps - 1 - k;
        const double a = left ? f.h1[k] : f.h2[k];
        const double b = left ? f.h3[k] : f.h4[k];
        samples[2 * n] = a < 0 ? -32768 : 32767;
        samples[2 * n + 1] = b < 0 ? -32768 : 32767;
    }
    return samples;
}

TEST(FilterGain, PeakOverFrequencyAndTheGainThatNeverClips) {
    const FilterMatrix filter = RandomFilter(200, 4);
    DialogHarness h(LoudnessOptions());
    const std::string config = h.WriteConfig("f.mat", filter);
    const std::string input = h.WriteStereoInput("worst.wav", WorstCaseInput(filter));
    h.Select(config, input, h.Path("out.wav"));
    h.Process();
    const std::optional<MatrixGain> gain = h.dialog->LoudnessFigures().filter;
    ASSERT_TRUE(gain.has_value());
    // The FFT grid is four times the length, the reference sixteen times:
    // a peak between the coarse bins reads up to ~0.1 dB low.
    EXPECT_NEAR(gain->peakOverFrequencyDb, PeakGainDb(filter), 0.15);
    EXPECT_LE(gain->peakOverFrequencyDb, PeakGainDb(filter) + 0.01);

    // At the gain that never clips the worst input does not clip; 0.05 dB
    // more and it does.
    for (const double step : {0.0, 0.05}) {
        SCOPED_TRACE(step);
        h.toolkit.SetFieldText(control::Gain, FormatLevel("%.2f", gain->noClipGainDb + step));
        ASSERT_TRUE(h.dialog->UpdateGain());
        h.Process();
        ASSERT_EQ(h.dialog->LastRunStatus(), RunComplete);
        EXPECT_EQ(h.dialog->Meters().clipCount > 0, step > 0);
    }
}

TEST(FilterGain, AfterClipsTheSuggestedGainAvoidsThem) {
    DialogHarness h(LoudnessOptions());
    h.Select(h.WriteConfig("unit.mat", UnitFilter()),
             h.WriteStereoInput("in.wav", Sine(44100, 997, 0, {{1, -3}})), h.Path("out.wav"));
    h.toolkit.SetFieldText(control::Gain, "6");
    ASSERT_TRUE(h.dialog->UpdateGain());
    h.Process();
    ASSERT_GT(h.dialog->Meters().clipCount, 0);
    const std::optional<double> suggested = h.dialog->LoudnessFigures().gainWithoutClipsDb;
    ASSERT_TRUE(suggested.has_value());
    EXPECT_NEAR(*suggested, 3.0, 0.02);
    EXPECT_THAT(h.toolkit.LogText(),
                ::testing::HasSubstr(FormatLevel("Gain Without Clipping:   %.2f dB", *suggested)));

    h.toolkit.SetFieldText(control::Gain, FormatLevel("%.2f", *suggested));
    ASSERT_TRUE(h.dialog->UpdateGain());
    h.Process();
    EXPECT_EQ(h.dialog->Meters().clipCount, 0);
    EXPECT_FALSE(h.dialog->LoudnessFigures().gainWithoutClipsDb.has_value());
}

}  // namespace
}  // namespace tessaro::testing
