// Writes a demonstration filter configuration and a stereo test signal:
//   tessaro-make-demo --taps N --seconds S [--rate R] [--pattern-seconds P]
//                     [--export-taps PREFIX] [--compress] CONFIG.mat INPUT.wav
// --rate sets the sampling rate of both (44100 by default); --compress
// writes the configuration zlib-compressed, as MATLAB saves by default. --pattern-seconds
// computes only the first P seconds of the signal and repeats them, so that
// hours of input are written in seconds.
// --export-taps also writes the four tap columns as raw 32-bit little-endian
// float files PREFIXh11.f32, PREFIXh12.f32, PREFIXh21.f32 and PREFIXh22.f32,
// so that other convolvers can be fed the same filter.
// The filter is a 2x2 room-correction style matrix: each direct
// path a short direct impulse with a decaying diffuse tail, each cross path
// a delayed, inverted and attenuated copy that cancels crosstalk. The
// signal is a few tones with noise at about -12 dBFS.

#include <matio.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "processing/wave_file.h"

namespace {

double Rate = 44100.0;
matio_compression Compression = MAT_COMPRESSION_NONE;

std::vector<double> Response(std::size_t taps, double direct, std::size_t delay, double tailLevel,
                             uint32_t seed) {
    std::vector<double> h(taps, 0.0);
    std::mt19937 rng(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    if (delay < taps) h[delay] = direct;
    // Diffuse tail decaying by 60 dB over the filter's length.
    const double decay = std::log(1000.0) / static_cast<double>(taps);
    for (std::size_t i = delay + 1; i < taps; ++i) {
        h[i] += tailLevel * noise(rng) * std::exp(-decay * static_cast<double>(i - delay));
    }
    return h;
}

// The four columns h11, h12, h21, h22, one after the other.
std::vector<double> Columns(std::size_t taps) {
    const double tail = 0.5 / std::sqrt(static_cast<double>(taps));
    const auto h11 = Response(taps, 0.8, 0, tail, 1);
    const auto h12 = Response(taps, -0.25, 13, tail * 0.3, 2);
    const auto h21 = Response(taps, -0.25, 13, tail * 0.3, 3);
    const auto h22 = Response(taps, 0.8, 0, tail, 4);
    std::vector<double> columns;
    for (const auto* h : {&h11, &h12, &h21, &h22})
        columns.insert(columns.end(), h->begin(), h->end());
    return columns;
}

// Rounded to float as the engine holds them; x86-64 stores them little-endian.
bool WriteTapFiles(const std::string& prefix, const std::vector<double>& columns,
                   std::size_t taps) {
    const char* names[4] = {"h11", "h12", "h21", "h22"};
    std::vector<float> column(taps);
    for (std::size_t c = 0; c < 4; ++c) {
        for (std::size_t i = 0; i < taps; ++i)
            column[i] = static_cast<float>(columns[c * taps + i]);
        const std::string path = prefix + names[c] + ".f32";
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) return false;
        const bool written = std::fwrite(column.data(), sizeof(float), taps, file) == taps;
        if (std::fclose(file) != 0 || !written) return false;
    }
    return true;
}

bool WriteConfig(const std::string& path, const std::vector<double>& columns, std::size_t taps) {
    mat_t* mat = Mat_CreateVer(path.c_str(), nullptr, MAT_FT_MAT5);
    if (mat == nullptr) return false;
    size_t dimsH[2] = {taps, 4};
    size_t dimsScalar[2] = {1, 1};
    double rate = Rate;
    const std::string label = "Room correction with crosstalk cancellation, " +
                              std::to_string(taps) + " taps (demonstration)";
    size_t dimsLabel[2] = {1, label.size()};
    bool ok = true;
    matvar_t* vars[3] = {
        Mat_VarCreate("H", MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dimsH,
                      const_cast<double*>(columns.data()), 0),
        Mat_VarCreate("SR", MAT_C_DOUBLE, MAT_T_DOUBLE, 2, dimsScalar, &rate, 0),
        Mat_VarCreate("label", MAT_C_CHAR, MAT_T_UINT8, 2, dimsLabel,
                      const_cast<char*>(label.data()), 0),
    };
    for (matvar_t* var : vars) {
        ok = ok && var != nullptr && Mat_VarWrite(mat, var, Compression) == 0;
        if (var != nullptr) Mat_VarFree(var);
    }
    Mat_Close(mat);
    return ok;
}

bool WriteSignal(const std::string& path, double seconds, double patternSeconds) {
    const auto frames = static_cast<std::size_t>(seconds * Rate);
    const auto patternFrames = std::min(frames, static_cast<std::size_t>(patternSeconds * Rate));
    std::vector<int16_t> samples(2 * patternFrames);
    std::mt19937 rng(7);
    std::normal_distribution<double> noise(0.0, 0.02);
    for (std::size_t i = 0; i < patternFrames; ++i) {
        const double t = static_cast<double>(i) / Rate;
        const double left = 0.15 * std::sin(2 * M_PI * 220.0 * t) +
                            0.08 * std::sin(2 * M_PI * 1760.0 * t) + noise(rng);
        const double right = 0.15 * std::sin(2 * M_PI * 330.0 * t + 1.0) +
                             0.05 * std::sin(2 * M_PI * 5000.0 * t) + noise(rng);
        samples[2 * i] = static_cast<int16_t>(std::lround(std::clamp(left, -1.0, 1.0) * 32767));
        samples[2 * i + 1] =
            static_cast<int16_t>(std::lround(std::clamp(right, -1.0, 1.0) * 32767));
    }
    tessaro::WaveFilePair pair;
    if (!pair.OpenOutput(path, static_cast<uint32_t>(Rate), 2, 16)) return false;
    uint32_t written = 0;
    const std::size_t patternBytes = samples.size() * sizeof(int16_t);
    const std::size_t bytes = 4 * frames;
    const auto* pattern = reinterpret_cast<const uint8_t*>(samples.data());
    for (std::size_t at = 0; at < bytes;) {
        const std::size_t inPattern = at % patternBytes;
        const auto count = static_cast<uint32_t>(
            std::min<std::size_t>({1 << 20, bytes - at, patternBytes - inPattern}));
        if (!pair.WriteBlock(pattern + inPattern, count, &written)) return false;
        at += count;
    }
    return pair.CloseAll();
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t taps = 65536;
    double seconds = 30;
    double patternSeconds = 0;  // the whole signal
    std::string tapPrefix;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--taps" && i + 1 < argc) {
            taps = std::strtoul(argv[++i], nullptr, 10);
        } else if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::strtod(argv[++i], nullptr);
        } else if (arg == "--rate" && i + 1 < argc) {
            Rate = std::strtod(argv[++i], nullptr);
        } else if (arg == "--pattern-seconds" && i + 1 < argc) {
            patternSeconds = std::strtod(argv[++i], nullptr);
        } else if (arg == "--compress") {
            Compression = MAT_COMPRESSION_ZLIB;
        } else if (arg == "--export-taps" && i + 1 < argc) {
            tapPrefix = argv[++i];
        } else {
            files.push_back(arg);
        }
    }
    if (patternSeconds <= 0) patternSeconds = seconds;
    if (files.size() != 2 || taps == 0 || !(seconds > 0) || !(Rate >= 1000 && Rate <= 384000)) {
        std::fprintf(stderr,
                     "usage: tessaro-make-demo [--taps N] [--seconds S] [--rate R] "
                     "[--pattern-seconds P] [--export-taps PREFIX] [--compress] CONFIG.mat "
                     "INPUT.wav\n");
        return 2;
    }
    const std::vector<double> columns = Columns(taps);
    if (!WriteConfig(files[0], columns, taps)) {
        std::fprintf(stderr, "tessaro-make-demo: cannot write %s\n", files[0].c_str());
        return 1;
    }
    if (!tapPrefix.empty() && !WriteTapFiles(tapPrefix, columns, taps)) {
        std::fprintf(stderr, "tessaro-make-demo: cannot write the tap files %s*.f32\n",
                     tapPrefix.c_str());
        return 1;
    }
    if (!WriteSignal(files[1], seconds, patternSeconds)) {
        std::fprintf(stderr, "tessaro-make-demo: cannot write %s\n", files[1].c_str());
        return 1;
    }
    return 0;
}
