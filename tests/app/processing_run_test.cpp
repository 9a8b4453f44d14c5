#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/messages.h"
#include "app/text_format.h"
#include "tests/app/dialog_harness.h"

namespace tessaro::testing {
namespace {

using ::testing::ElementsAre;

constexpr int BlockFrames = 4096;

std::vector<int16_t> Noise(std::size_t frames, uint32_t seed, int amplitude = 12000) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(-amplitude, amplitude);
    std::vector<int16_t> samples(2 * frames);
    for (auto& s : samples) s = static_cast<int16_t>(dist(rng));
    return samples;
}

// The whole job in double precision: each 16-bit sample as the job converts
// it (x / 32768 in full blocks, the split mapping in the final partial
// block, both exact in float), the 2x2 convolution with the taps rounded to
// float, the gain, then clipping and truncation.
std::vector<int16_t> Model(const std::vector<int16_t>& in, const FilterMatrix& f, float gain,
                           std::size_t blockFrames = BlockFrames) {
    const std::size_t samples = in.size();
    const std::size_t frames = samples / 2;
    const std::size_t fullFrames = samples / (2 * blockFrames) * blockFrames;
    std::vector<double> left(frames), right(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        for (int c = 0; c < 2; ++c) {
            const double x = in[2 * i + c];
            const double v =
                i < fullFrames
                    ? x / 32768.0
                    : static_cast<float>(x * (65537.0 / 2147483648.0) + 65537.0 / 4294967296.0);
            (c == 0 ? left : right)[i] = v;
        }
    }
    auto tap = [](const std::vector<double>& h, std::size_t k) {
        return static_cast<double>(static_cast<float>(h[k]));
    };
    std::vector<int16_t> out(in);  // an odd last sample passes through
    for (std::size_t n = 0; n < frames; ++n) {
        double l = 0, r = 0;
        for (std::size_t k = 0; k < f.Length() && k <= n; ++k) {
            l += left[n - k] * tap(f.h1, k) + right[n - k] * tap(f.h3, k);
            r += left[n - k] * tap(f.h2, k) + right[n - k] * tap(f.h4, k);
        }
        for (int c = 0; c < 2; ++c) {
            double v = (c == 0 ? l : r) * gain * 32768.0;
            v = std::min(32767.0, std::max(-32768.0, v));
            out[2 * n + c] = static_cast<int16_t>(v);
        }
    }
    return out;
}

class WholeFileAgainstModel : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WholeFileAgainstModel, WithinOneStep) {
    const std::size_t samples = GetParam();
    DialogHarness h;
    const FilterMatrix filter = RandomFilter(300, 5);
    std::vector<int16_t> input = Noise((samples + 1) / 2, 9);
    input.resize(samples);
    // A WAV image with an odd sample count needs whole bytes only.
    h.Select(h.WriteConfig("f.mat", filter), h.WriteStereoInput("in.wav", input),
             h.Path("out.wav"));
    h.toolkit.SetFieldText(control::Gain, "-1.5");
    ASSERT_TRUE(h.dialog->UpdateGain());
    h.Process();
    ASSERT_EQ(h.dialog->LastRunStatus(), RunComplete)
        << ::testing::PrintToString(h.toolkit.MessageTexts());

    const auto expected = Model(input, filter, GainFromDb(-1.5f));
    const auto actual = ReadStereoSamples(h.Path("out.wav"));
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        ASSERT_LE(std::abs(actual[i] - expected[i]), 1) << "sample " << i;
    }
}

// 1 frame, a partial block only, exactly one and three full blocks, full
// blocks plus a partial one, and odd sample counts (the last one unprocessed).
INSTANTIATE_TEST_SUITE_P(SampleCounts, WholeFileAgainstModel,
                         ::testing::Values(2u, 3u, 2 * 1000u + 1, 8192u, 3 * 8192u,
                                           2 * 8192u + 2 * 777u, 8192u + 5u));

// Longer blocks and partitions, as the command line may ask for: one filter
// of two partitions, one block longer than the input, one picked by the
// filter's length. The model's cost grows with taps times frames.
struct PartitionCase {
    uint32_t partition;
    std::size_t taps;
    std::size_t frames;
};

void PrintTo(const PartitionCase& c, std::ostream* out) {
    *out << "partition " << c.partition << ", " << c.taps << " taps, " << c.frames << " frames";
}

class PartitionAgainstModel : public ::testing::TestWithParam<PartitionCase> {};

TEST_P(PartitionAgainstModel, WithinOneStep) {
    const PartitionCase c = GetParam();
    ScratchFolder folder;
    ScriptedToolkit toolkit;
    CTessaroDlg dialog(toolkit, DialogOptions{.useSettings = false, .partition = c.partition});
    ASSERT_TRUE(dialog.OnInitDialog());
    const FilterMatrix filter = RandomFilter(c.taps, 3);
    const std::vector<int16_t> input = Noise(c.frames, 12);
    DialogHarness files;
    toolkit.QueueChoice(files.WriteConfig("f.mat", filter));
    dialog.OnLoad();
    toolkit.QueueChoice(files.WriteStereoInput("in.wav", input));
    dialog.OnOpen();
    toolkit.QueueChoice(files.Path("out.wav"));
    dialog.OnSaveAs();
    const std::size_t progressBefore = toolkit.ProgressHistory().size();
    dialog.StartRun();
    ASSERT_TRUE(toolkit.RunUntil([&] { return !dialog.Running(); }, 120000));
    ASSERT_EQ(dialog.LastRunStatus(), RunComplete)
        << ::testing::PrintToString(toolkit.MessageTexts());

    // Progress moves once per block of the chosen length, and ends full.
    const uint32_t blockFrames = c.partition == AutoPartition
                                     ? PartitionForTaps(static_cast<uint32_t>(c.taps))
                                     : c.partition;
    EXPECT_EQ(toolkit.ProgressHistory().size() - progressBefore, 2 + c.frames / blockFrames);
    EXPECT_EQ(toolkit.ProgressHistory().back(), 100);
    const auto expected = Model(input, filter, 1.0f, blockFrames);
    const auto actual = ReadStereoSamples(files.Path("out.wav"));
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        ASSERT_LE(std::abs(actual[i] - expected[i]), 1) << "sample " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, PartitionAgainstModel,
                         ::testing::Values(PartitionCase{8192, 9000, 3 * 8192 + 100},
                                           PartitionCase{65536, 300, 2 * 65536 + 777},
                                           PartitionCase{MaxPartition, 300, 150000},
                                           PartitionCase{AutoPartition, 300, 40000}));

// 24-bit and float files, written back in their own format. The model
// takes the samples exactly (x / 2^23, or the float itself), the taps
// rounded to float and the gain in double; 24-bit outputs are then clipped
// and truncated like 16-bit ones, float ones kept as they are. Loud cases
// push the output past full scale. Single-precision filtering is off the
// model by about 2^-23 of the output's peak, which a 24-bit step resolves:
// the bound is the truncation's step plus three such steps per unit of peak
// (measured: 1 step at a peak of 0.71, 11 at 6.4).
struct WideCase {
    const char* name;
    SampleFormat format;
    double amplitude;
    float gainDb;
};

void PrintTo(const WideCase& c, std::ostream* out) { *out << c.name; }

class WideFormatAgainstModel : public ::testing::TestWithParam<WideCase> {};

TEST_P(WideFormatAgainstModel, WithinRoundingOfThePeak) {
    const WideCase c = GetParam();
    const bool isFloat = c.format == SampleFormat::Float32;
    const std::size_t frames = 2 * BlockFrames + 1234;
    std::mt19937 rng(21);
    std::uniform_real_distribution<double> dist(-c.amplitude, c.amplitude);
    std::vector<double> samples(2 * frames);
    ByteImage data;
    for (double& x : samples) {
        if (isFloat) {
            const auto f = static_cast<float>(dist(rng));
            uint32_t bits = 0;
            std::memcpy(&bits, &f, 4);
            data.U32(bits);
            x = f;
        } else {
            const auto v = static_cast<int32_t>(std::lround(dist(rng) * 8388607.0));
            const auto raw = static_cast<uint32_t>(v);
            data.Bytes({static_cast<uint8_t>(raw), static_cast<uint8_t>(raw >> 8),
                        static_cast<uint8_t>(raw >> 16)});
            x = v / 8388608.0;
        }
    }
    const uint16_t blockAlign = isFloat ? 8 : 6;
    const ChunkImage format = Chunk("fmt ", ByteImage()
                                                .U16(isFloat ? WaveFormatFloat : WaveFormatPcm)
                                                .U16(2)
                                                .U32(48000)
                                                .U32(48000u * blockAlign)
                                                .U16(blockAlign)
                                                .U16(isFloat ? 32 : 24)
                                                .Data());
    DialogHarness h(DialogOptions{.useSettings = false, .wideFormats = true});
    const FilterMatrix filter = RandomFilter(300, 8);
    h.Select(h.WriteConfig("f.mat", filter, 48000),
             h.WriteBytes("in.wav", RiffImage({format, Chunk("data", data.Data())})),
             h.Path("out.wav"));
    h.toolkit.SetFieldText(control::Gain, FormatLevel("%.2f", c.gainDb));
    ASSERT_TRUE(h.dialog->UpdateGain());
    h.Process();
    ASSERT_EQ(h.dialog->LastRunStatus(), RunComplete)
        << ::testing::PrintToString(h.toolkit.MessageTexts());

    const std::vector<uint8_t> out = ReadFileBytes(h.Path("out.wav"));
    ASSERT_GE(out.size(), 40u);
    EXPECT_EQ(LoadU16(out, 20), isFloat ? WaveFormatFloat : WaveFormatPcm);
    EXPECT_EQ(LoadU16(out, 32), blockAlign);
    const std::size_t start = DataStart(out);
    ASSERT_EQ(out.size() - start, data.Size());

    const double gain = GainFromDb(c.gainDb);
    auto tap = [](const std::vector<double>& t, std::size_t k) {
        return static_cast<double>(static_cast<float>(t[k]));
    };
    double peak = 0;
    std::vector<double> model(2 * frames);
    for (std::size_t n = 0; n < frames; ++n) {
        double l = 0, r = 0;
        for (std::size_t k = 0; k < filter.Length() && k <= n; ++k) {
            const double x0 = samples[2 * (n - k)], x1 = samples[2 * (n - k) + 1];
            l += x0 * tap(filter.h1, k) + x1 * tap(filter.h3, k);
            r += x0 * tap(filter.h2, k) + x1 * tap(filter.h4, k);
        }
        model[2 * n] = l * gain;
        model[2 * n + 1] = r * gain;
        peak = std::max({peak, std::abs(l * gain), std::abs(r * gain)});
    }
    int beyond = 0;
    for (std::size_t i = 0; i < model.size(); ++i) {
        const uint8_t* b = out.data() + start + i * (isFloat ? 4 : 3);
        if (isFloat) {
            float y = 0;
            std::memcpy(&y, b, 4);
            ASSERT_LE(std::abs(y - model[i]), 1e-6 * peak) << "sample " << i;
            beyond += std::abs(model[i]) > 1.0;
        } else {
            const auto raw = static_cast<uint32_t>(b[0] | (b[1] << 8) | (b[2] << 16));
            const int32_t y = static_cast<int32_t>(raw << 8) >> 8;
            const double v = model[i] * 8388608.0;
            beyond += v > 8388607.0 || v < -8388608.0;
            const double expected = std::trunc(std::clamp(v, -8388608.0, 8388607.0));
            ASSERT_LE(std::abs(y - expected), 1.0 + 3.0 * peak) << "sample " << i;
        }
    }
    // Samples within rounding of full scale may fall either way.
    EXPECT_NEAR(h.dialog->Meters().clipCount, beyond, 2);
    EXPECT_EQ(beyond > 0, c.gainDb > 0);
}

INSTANTIATE_TEST_SUITE_P(Formats, WideFormatAgainstModel,
                         ::testing::Values(WideCase{"pcm24", SampleFormat::Pcm24, 0.5, -1.0f},
                                           WideCase{"pcm24_loud", SampleFormat::Pcm24, 1.0, 12.0f},

                                           WideCase{"float", SampleFormat::Float32, 0.5, -1.0f},
                                           WideCase{"float_loud", SampleFormat::Float32, 1.0,
                                                    12.0f}));

// Float WAV files of impulse responses, channels interleaved.
std::vector<uint8_t> ImpulseWav(uint32_t rate,
                                const std::vector<const std::vector<double>*>& columns) {
    const auto channels = static_cast<uint16_t>(columns.size());
    ByteImage data;
    for (std::size_t k = 0; k < columns[0]->size(); ++k) {
        for (const auto* column : columns) {
            const auto tap = static_cast<float>((*column)[k]);
            uint32_t bits = 0;
            std::memcpy(&bits, &tap, 4);
            data.U32(bits);
        }
    }
    const ChunkImage format = Chunk("fmt ", ByteImage()
                                                .U16(WaveFormatFloat)
                                                .U16(channels)
                                                .U32(rate)
                                                .U32(rate * 4u * channels)
                                                .U16(static_cast<uint16_t>(4 * channels))
                                                .U16(32)
                                                .U16(0)
                                                .Data());
    return RiffImage({format, Chunk("data", data.Data())});
}

// The same filter as a MAT file, as one 4-channel WAV file and as two
// stereo ones writes the same bytes; files that cannot be a filter matrix
// are refused.
TEST(ProcessingRun, ImpulseWavConfigurationsFilterAsTheirMatFile) {
    const FilterMatrix filter = RandomFilter(5000, 6);
    const std::vector<int16_t> input = Noise(3 * BlockFrames + 77, 4);
    std::vector<uint8_t> expected;
    {
        DialogHarness h;
        h.Select(h.WriteConfig("f.mat", filter), h.WriteStereoInput("in.wav", input),
                 h.Path("out.wav"));
        h.Process();
        ASSERT_EQ(h.dialog->LastRunStatus(), RunComplete);
        expected = ReadFileBytes(h.Path("out.wav"));
    }
    const std::vector<double> none;
    struct Case {
        const char* name;
        std::vector<uint8_t> config;
        std::vector<uint8_t> right;  // empty: none
        bool loads;
    };
    const Case cases[] = {
        {"four channels",
         ImpulseWav(44100, {&filter.h1, &filter.h2, &filter.h3, &filter.h4}),
         {},
         true},
        {"two stereo files", ImpulseWav(44100, {&filter.h1, &filter.h2}),
         ImpulseWav(44100, {&filter.h3, &filter.h4}), true},
        {"three channels", ImpulseWav(44100, {&filter.h1, &filter.h2, &filter.h3}), {}, false},
        {"stereo alone", ImpulseWav(44100, {&filter.h1, &filter.h2}), {}, false},
        {"rates differ", ImpulseWav(44100, {&filter.h1, &filter.h2}),
         ImpulseWav(48000, {&filter.h3, &filter.h4}), false},
        {"right file no WAV",
         ImpulseWav(44100, {&filter.h1, &filter.h2}),
         {'R', 'I', 'F', 'F'},
         false},
        {"no taps", ImpulseWav(44100, {&none, &none, &none, &none}), {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DialogOptions options{.useSettings = false, .impulseConfigs = true};
        ScratchFolder folder;
        if (!c.right.empty()) {
            options.rightImpulse = folder.File("right.wav");
            ASSERT_TRUE(WriteFileBytes(options.rightImpulse, c.right));
        }
        DialogHarness h(options);
        h.Select(h.WriteBytes("left.wav", c.config), h.WriteStereoInput("in.wav", input),
                 h.Path("out.wav"));
        EXPECT_EQ(h.dialog->ConfigReady(), c.loads);
        if (!c.loads) {
            EXPECT_EQ(h.toolkit.FieldText(control::ConfigFileName), message::InvalidConfiguration);
            continue;
        }
        h.Process();
        ASSERT_EQ(h.dialog->LastRunStatus(), RunComplete);
        EXPECT_EQ(ReadFileBytes(h.Path("out.wav")), expected);
    }
}

TEST(ProcessingRun, ReportOfACompleteRun) {
    DialogHarness h;
    std::vector<int16_t> input(2 * 5000);
    for (std::size_t i = 0; i < 5000; ++i) {
        input[2 * i] = static_cast<int16_t>(16384 * std::sin(i * 0.05));
        input[2 * i + 1] = static_cast<int16_t>(8192 * std::sin(i * 0.07));
    }
    h.Select(h.WriteConfig("room.mat", UnitFilter()), h.WriteStereoInput("take.wav", input),
             h.Path("out.wav"));
    h.Process();
    const LevelMeters& m = h.dialog->Meters();
    const std::string report =
        "Input File:   take.wav\r\n"
        "Sample Rate:   44100 Hz\r\n"
        "Output File:   out.wav\r\n"
        "Config File:   room.mat\r\n"
        "Gain Setting:   0.00 dB\r\n"
        "RMS Input value:   " +
        FormatFixed2(m.inRmsDb) +
        " dB\r\n"
        "Peak Input value:   " +
        FormatFixed2(m.inPeakDb) +
        " dB\r\n"
        "\r\n\r\n"
        "RMS Output value:   " +
        FormatFixed2(m.outRmsDb) +
        " dB\r\n"
        "Peak Output value:" +
        FormatFixed2Blank(m.outPeakDb) +
        " dB\r\n"
        "Value Clipped:   0\r\n"
        "Complete\r\n"
        "====================================\r\n"
        "\r\n";
    EXPECT_EQ(h.toolkit.LogText(), report);
    // Half-scale left, quarter-scale right sines: about -6.02 dB peak.
    EXPECT_EQ(FormatFixed2(m.inPeakDb), "-6.02");
    EXPECT_NEAR(m.inRmsDb, 20 * std::log10(std::sqrt((0.25 + 0.0625) / 4)), 0.05);
    EXPECT_EQ(h.toolkit.ProgressPosition(), 100);
    EXPECT_EQ(h.toolkit.Field(control::Clipped), "Value Clipped: 0");
    EXPECT_EQ(h.toolkit.Field(control::InputPeak), "Peak Input Level: -6.02 dB");
    // Back to idle; Process stays available for the same files.
    EXPECT_TRUE(h.toolkit.Enabled(control::Process));
    EXPECT_FALSE(h.toolkit.Enabled(control::Abort));
    EXPECT_TRUE(h.toolkit.Enabled(control::Open));
}

TEST(ProcessingRun, TwoReportsThenClear) {
    DialogHarness h;
    h.Select(h.WriteConfig("room.mat", UnitFilter()), h.WriteStereoInput("in.wav", Noise(100, 1)),
             h.Path("out.wav"));
    h.Process();
    const std::string first = h.toolkit.LogText();
    h.Process();
    EXPECT_EQ(h.toolkit.LogText(), first + "\r\n" + first);
    EXPECT_TRUE(first.ends_with("====================================\r\n\r\n"));

    h.dialog->ClearLog();
    EXPECT_EQ(h.toolkit.LogText(), "");
    EXPECT_TRUE(h.toolkit.LogReadOnly());
    h.Process();
    EXPECT_EQ(h.toolkit.LogText(), first);
}

TEST(ProcessingRun, ClippingIsCountedAndReported) {
    DialogHarness h;
    std::vector<int16_t> input(2 * 3000, 30000);
    h.Select(h.WriteConfig("room.mat", UnitFilter()), h.WriteStereoInput("in.wav", input),
             h.Path("out.wav"));
    h.toolkit.SetFieldText(control::Gain, "6");
    ASSERT_TRUE(h.dialog->UpdateGain());
    h.Process();
    EXPECT_EQ(h.dialog->Meters().clipCount, 6000);
    EXPECT_NE(h.toolkit.LogText().find("Value Clipped:   6000\r\n"), std::string::npos);
    EXPECT_NE(h.toolkit.LogText().find("Gain Setting:   6.00 dB\r\n"), std::string::npos);
    const auto out = ReadStereoSamples(h.Path("out.wav"));
    EXPECT_EQ(out[0], 32767);
}

TEST(ProcessingRun, RateMismatchWritesNoReport) {
    DialogHarness h;
    h.Select(h.WriteConfig("room.mat", UnitFilter(), 48000),
             h.WriteStereoInput("in.wav", Noise(100, 1), 44100), h.Path("out.wav"));
    h.Process();
    EXPECT_THAT(h.toolkit.MessageTexts(), ElementsAre(message::RateMismatch));
    EXPECT_EQ(h.toolkit.LogText(), "");
    const auto bytes = ReadFileBytes(h.Path("out.wav"));
    ASSERT_EQ(bytes.size(), 56u);  // created before the check, left empty
    EXPECT_EQ(LoadU32(bytes, 4), 48u);
    EXPECT_EQ(LoadU32(bytes, 52), 0u);
    EXPECT_FALSE(h.toolkit.Enabled(control::Process));
}

TEST(ProcessingRun, RateWithinOnePercentIsAccepted) {
    // 0.99f is a little above 0.99 and 1.01f a little below 1.01: the bounds
    // for 44100 Hz truncate to 43659 and 44540.
    for (const auto& [rate, fits] : std::vector<std::pair<double, bool>>{
             {43659, true}, {43658, false}, {44540, true}, {44541, false}}) {
        DialogHarness h;
        h.Select(h.WriteConfig("room.mat", UnitFilter(), rate),
                 h.WriteStereoInput("in.wav", Noise(10, 1), 44100), h.Path("out.wav"));
        h.Process();
        EXPECT_EQ(h.toolkit.LogText().empty(), !fits) << rate;
    }
}

TEST(ProcessingRun, InputThatCannotBeOpenedIsShownInItsField) {
    DialogHarness h;
    h.Select(h.WriteConfig("room.mat", UnitFilter()), h.WriteBytes("in.wav", {1, 2, 3, 4}),
             h.Path("out.wav"));
    h.Process();
    EXPECT_EQ(h.toolkit.Field(control::InputPath), message::InputOpenFailed);
    EXPECT_FALSE(h.dialog->InputReady());
    EXPECT_FALSE(h.toolkit.Enabled(control::Process));
    EXPECT_EQ(h.toolkit.LogText(), "");
    EXPECT_FALSE(std::filesystem::exists(h.Path("out.wav")));  // nothing created
}

TEST(ProcessingRun, OnlySixteenBitStereoPcmIsProcessed) {
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> inputs = {
        {"mono", PcmWavImage(44100, 1, 16, RandomBytes(100, 1))},
        {"8-bit", PcmWavImage(44100, 2, 8, RandomBytes(100, 1))},
        {"24-bit", PcmWavImage(44100, 2, 24, RandomBytes(120, 1))},
        {"0-bit", PcmWavImage(44100, 2, 0, RandomBytes(120, 1))},
    };
    for (const auto& [name, image] : inputs) {
        SCOPED_TRACE(name);
        DialogHarness h;
        h.Select(h.WriteConfig("room.mat", UnitFilter()), h.WriteBytes("in.wav", image),
                 h.Path("out.wav"));
        h.Process();
        EXPECT_THAT(h.toolkit.MessageTexts(), ElementsAre(message::InputNotPcm16Stereo));
        EXPECT_FALSE(std::filesystem::exists(h.Path("out.wav")));
        EXPECT_EQ(h.toolkit.LogText(), "");
    }
    // Wide formats add packed 24-bit and float, nothing else: not 32-bit
    // integers, not 24 bits in 4-byte containers, not 64-bit floats.
    const auto fmt = [](uint16_t tag, uint16_t align, uint16_t bits) {
        return Chunk("fmt ", ByteImage()
                                 .U16(tag)
                                 .U16(2)
                                 .U32(44100)
                                 .U32(44100u * align)
                                 .U16(align)
                                 .U16(bits)
                                 .U16(0)
                                 .Data());
    };
    for (const ChunkImage& format :
         {fmt(WaveFormatPcm, 8, 32), fmt(WaveFormatPcm, 8, 24), fmt(WaveFormatFloat, 16, 64),
          fmt(WaveFormatFloat, 4, 16), PcmFormatChunk(44100, 1, 24)}) {
        DialogHarness h(DialogOptions{.useSettings = false, .wideFormats = true});
        h.Select(h.WriteConfig("room.mat", UnitFilter()),
                 h.WriteBytes("in.wav", RiffImage({format, Chunk("data", RandomBytes(96, 3))})),
                 h.Path("out.wav"));
        h.Process();
        EXPECT_THAT(h.toolkit.MessageTexts(), ElementsAre(message::InputNotStereoFormat));
        EXPECT_FALSE(std::filesystem::exists(h.Path("out.wav")));
    }
    // WAVE_FORMAT_EXTENSIBLE with the PCM sub-format is taken.
    DialogHarness h;
    const auto image =
        RiffImage({ExtensibleFormatChunk(44100, 2, 16), Chunk("data", RandomBytes(400, 2))});
    h.Select(h.WriteConfig("room.mat", UnitFilter()), h.WriteBytes("in.wav", image),
             h.Path("out.wav"));
    h.Process();
    EXPECT_EQ(h.dialog->LastRunStatus(), RunComplete);
}

TEST(ProcessingRun, EmptyInputIsRefused) {
    for (std::size_t bytes : {0u, 1u}) {
        DialogHarness h;
        h.Select(h.WriteConfig("room.mat", UnitFilter()),
                 h.WriteBytes("in.wav", PcmWavImage(44100, 2, 16, RandomBytes(bytes, 1))),
                 h.Path("out.wav"));
        h.Process();
        ASSERT_EQ(h.toolkit.Messages().size(), 1u);
        EXPECT_EQ(h.toolkit.Messages()[0].text, message::InputEmpty);
        EXPECT_EQ(h.toolkit.Messages()[0].kind, MessageKind::OkInformation);
        EXPECT_FALSE(h.dialog->InputReady());
    }
}

TEST(ProcessingRun, SingleSampleFinalBlockEndsInError) {
    DialogHarness h;
    h.Select(h.WriteConfig("room.mat", UnitFilter()),
             h.WriteBytes("in.wav", PcmWavImage(44100, 2, 16, RandomBytes(2, 1))),
             h.Path("out.wav"));
    h.Process();
    EXPECT_EQ(h.dialog->LastRunStatus(), RunError);
    EXPECT_THAT(h.toolkit.MessageTexts(), ElementsAre(message::ProcessFailed));
    EXPECT_NE(h.toolkit.LogText().find("\r\nError\r\n"), std::string::npos);
    EXPECT_FALSE(h.toolkit.Enabled(control::Process));
}

// A data chunk that claims more than the file holds (a recorder still
// writing, or its 0xFFFFFFFF placeholder) is processed to the file's end,
// exactly as the same audio with a true header.
TEST(ProcessingRun, InputClaimingMoreThanItHoldsIsProcessedToItsEnd) {
    const struct {
        uint32_t claimed;
        std::size_t frames;
    } cases[] = {{65536, 6000}, {0xFFFFFFFFu, 20000}, {0xFFFFFFFFu, 4096 * 3 + 7}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.claimed);
        const auto truthful = Stereo16WavImage(44100, Noise(c.frames, 3));
        auto claiming = truthful;
        const std::size_t sizeAt = DataStart(claiming) - 4;
        for (int i = 0; i < 4; ++i) claiming[sizeAt + i] = static_cast<uint8_t>(c.claimed >> 8 * i);

        std::vector<uint8_t> outputs[2];
        for (int k = 0; k < 2; ++k) {
            DialogHarness h;
            h.Select(h.WriteConfig("room.mat", UnitFilter()),
                     h.WriteBytes("in.wav", k == 0 ? truthful : claiming), h.Path("out.wav"));
            h.Process();
            EXPECT_EQ(h.dialog->LastRunStatus(), RunComplete);
            EXPECT_TRUE(h.toolkit.MessageTexts().empty());
            outputs[k] = ReadFileBytes(h.Path("out.wav"));
        }
        const auto dataBytes = static_cast<uint32_t>(4 * c.frames);
        ASSERT_EQ(outputs[1].size(), 56u + dataBytes);
        EXPECT_EQ(LoadU32(outputs[1], 52), dataBytes);
        EXPECT_EQ(LoadU32(outputs[1], 4), dataBytes + 48u);
        EXPECT_EQ(outputs[1], outputs[0]);
    }
}

TEST(ProcessingRun, WriteFailureIsNeverComplete) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    DialogHarness h;
    h.Load(h.WriteConfig("room.mat", UnitFilter()));
    h.Open(h.WriteStereoInput("in.wav", Noise(100, 1)));
    h.SaveAs("/dev/full");
    ASSERT_TRUE(h.dialog->OutputReady());
    h.Process();
    EXPECT_EQ(h.dialog->LastRunStatus(), RunError);
    EXPECT_FALSE(h.dialog->LastRunOk());
    const auto texts = h.toolkit.MessageTexts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), message::ProcessFailed);
}

TEST(ProcessingRun, AbortStopsAtABlockBoundaryAndKeepsTheDialog) {
    DialogHarness h;
    h.Select(h.WriteConfig("room.mat", RandomFilter(20000, 2)),
             h.WriteStereoInput("in.wav", Noise(400 * BlockFrames, 4)), h.Path("out.wav"));
    h.toolkit.QueueAnswer(MessageAnswer::Yes);
    h.dialog->StartRun();
    EXPECT_FALSE(h.toolkit.Enabled(control::Open));
    EXPECT_FALSE(h.toolkit.Enabled(control::Load));
    EXPECT_FALSE(h.toolkit.Enabled(control::Clear));
    EXPECT_FALSE(h.toolkit.Enabled(control::Gain));
    EXPECT_TRUE(h.toolkit.Enabled(control::Abort));
    h.dialog->StartRun();  // ignored while running
    h.dialog->OnAbort();
    ASSERT_TRUE(h.WaitForRunEnd());
    EXPECT_EQ(h.dialog->LastRunStatus(), RunAborted);
    EXPECT_TRUE(
        h.toolkit.LogText().ends_with("Aborted\r\n====================================\r\n\r\n"));
    EXPECT_FALSE(h.toolkit.Ended().has_value());
    EXPECT_TRUE(h.toolkit.Enabled(control::Process));
    // Whole blocks were written, fewer than the input holds, in a finished file.
    const auto out = ReadFileBytes(h.Path("out.wav"));
    const uint32_t dataBytes = LoadU32(out, 52);
    EXPECT_EQ(dataBytes % 16384, 0u);
    EXPECT_LT(dataBytes, 400u * 16384);
    EXPECT_EQ(out.size(), 56u + dataBytes);

    // The next run is not stopped by the old request.
    h.Process();
    EXPECT_EQ(h.dialog->LastRunStatus(), RunComplete);
}

// The right input's engine on a helper thread changes nothing a user sees:
// the same bytes, meters and clip count, and an abort, wherever it lands,
// leaves whole blocks of the same output.
TEST(ProcessingRun, TwoThreadsWriteWhatOneThreadWrites) {
    const FilterMatrix filter = RandomFilter(20000, 8);
    const std::vector<int16_t> input = Noise(300 * BlockFrames + 1234, 6);
    struct Run {
        std::vector<uint8_t> bytes;
        LevelMeters meters;
    };
    auto run = [&](int threads) {
        DialogHarness h(false, threads);
        h.Select(h.WriteConfig("room.mat", filter), h.WriteStereoInput("in.wav", input),
                 h.Path("out.wav"));
        h.toolkit.SetFieldText(control::Gain, "9");
        EXPECT_TRUE(h.dialog->UpdateGain());
        h.Process();
        EXPECT_EQ(h.dialog->LastRunStatus(), RunComplete);
        return Run{ReadFileBytes(h.Path("out.wav")), h.dialog->Meters()};
    };
    const Run one = run(1);
    const Run two = run(2);
    ASSERT_GT(one.meters.clipCount, 0);
    EXPECT_EQ(two.meters.clipCount, one.meters.clipCount);
    EXPECT_EQ(two.meters.inPeakDb, one.meters.inPeakDb);
    EXPECT_EQ(two.meters.outRmsDb, one.meters.outRmsDb);
    EXPECT_EQ(two.meters.outPeakDb, one.meters.outPeakDb);
    ASSERT_TRUE(two.bytes == one.bytes);

    DialogHarness h(false, 2);
    h.Select(h.WriteConfig("room.mat", filter), h.WriteStereoInput("in.wav", input),
             h.Path("out.wav"));
    h.toolkit.SetFieldText(control::Gain, "9");
    ASSERT_TRUE(h.dialog->UpdateGain());
    std::mt19937 rng(11);
    for (int abort = 0; abort < 4; ++abort) {
        h.toolkit.QueueAnswer(MessageAnswer::Yes);
        h.dialog->StartRun();
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 40000));
        h.dialog->OnAbort();
        ASSERT_TRUE(h.WaitForRunEnd());
        const auto out = ReadFileBytes(h.Path("out.wav"));
        const uint32_t dataBytes = LoadU32(out, 52);
        SCOPED_TRACE(dataBytes);
        ASSERT_EQ(out.size(), 56u + dataBytes);
        if (h.dialog->LastRunStatus() == RunAborted) {
            EXPECT_EQ(dataBytes % 16384, 0u);
        }
        EXPECT_TRUE(std::equal(out.begin() + 56, out.end(), one.bytes.begin() + 56));
    }
}

TEST(ProcessingRun, ExitDuringARunReportsAbortedThenCloses) {
    DialogHarness h;
    h.Select(h.WriteConfig("room.mat", RandomFilter(20000, 2)),
             h.WriteStereoInput("in.wav", Noise(400 * BlockFrames, 4)), h.Path("out.wav"));
    h.toolkit.QueueAnswer(MessageAnswer::No);
    h.toolkit.QueueAnswer(MessageAnswer::Yes);
    h.dialog->StartRun();
    h.dialog->OnExit();  // No: the run goes on
    EXPECT_FALSE(h.toolkit.Ended().has_value());
    h.dialog->OnCancel();  // Yes
    ASSERT_TRUE(h.WaitForRunEnd());
    EXPECT_EQ(h.dialog->LastRunStatus(), RunAborted);
    EXPECT_TRUE(h.toolkit.LogText().find("Aborted\r\n") != std::string::npos);
    EXPECT_EQ(h.toolkit.Ended(), DialogResult::Cancel);
}

TEST(ProcessingRun, ExitConfirmedAtTheLastMomentStillCloses) {
    DialogHarness h;
    h.Select(h.WriteConfig("room.mat", UnitFilter()), h.WriteStereoInput("in.wav", Noise(10, 4)),
             h.Path("out.wav"));
    h.toolkit.QueueAnswer(MessageAnswer::Yes);
    h.dialog->StartRun();
    h.dialog->OnExit();  // the worker may already be past its last check
    ASSERT_TRUE(h.WaitForRunEnd());
    EXPECT_EQ(h.toolkit.Ended(), DialogResult::Cancel);
}

TEST(ProcessingRun, TearDownDuringARunWaitsForTheWorker) {
    auto h = std::make_unique<DialogHarness>();
    h->Select(h->WriteConfig("room.mat", RandomFilter(20000, 2)),
              h->WriteStereoInput("in.wav", Noise(200 * BlockFrames, 4)), h->Path("out.wav"));
    h->dialog->StartRun();
    h->dialog.reset();  // must join the worker before releasing what it uses
    SUCCEED();
}

}  // namespace
}  // namespace tessaro::testing
