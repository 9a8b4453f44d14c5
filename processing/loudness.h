#pragma once
// Loudness and headroom beside the level meters: EBU R128 loudness of a
// stereo signal, and how much a 2x2 filter can raise a signal.

#include <cstdint>
#include <optional>
#include <vector>

#include "primitives/sp.h"

namespace tessaro {

// EBU R128 / ITU-R BS.1770 figures of a whole signal.
struct Loudness {
    double integratedLufs = 0;  // -inf for silence
    double rangeLu = 0;         // loudness range
    double truePeakDb = 0;      // dBTP: 4x oversampled peak of both channels
};

// The peak of a stereo signal between its samples: 4x oversampled through
// the interpolation filter of ITU-R BS.1770 (12 taps a phase), the samples
// themselves included.
class TruePeakMeter {
public:
    void Add(const float* left, const float* right, uint32_t frames);
    float Peak() const { return peak; }

private:
    static constexpr int Taps = 12;
    float history[2][Taps - 1] = {};  // each channel's last samples
    std::vector<float> extended;      // history, then the block
    std::vector<float> sums;          // one phase's interpolated values
    std::vector<float> peaks;         // each sample's largest value
    float peak = 0.0f;
};

// Measures one stereo signal block by block (libebur128).
class LoudnessMeter {
public:
    // False when the meter cannot be made (no memory, a rate it refuses).
    bool Start(uint32_t sampleRate);
    void Add(const float* left, const float* right, uint32_t frames);
    // The figures of everything added since Start; none without a meter.
    std::optional<Loudness> Result() const;

    LoudnessMeter() = default;
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

private:
    struct State;  // libebur128's, whose type has no name to declare here
    State* state = nullptr;
    std::vector<float> interleaved;
    TruePeakMeter truePeak;
};

// How loud a 2x2 filter matrix can make a signal, left output from
// H_LL and H_RL, right output from H_LR and H_RR.
struct MatrixGain {
    // max over f of |H_LL(f)| + |H_RL(f)| and |H_LR(f)| + |H_RR(f)|, in dB:
    // the worst case for sine waves in phase at both inputs.
    double peakOverFrequencyDb = 0;
    // The largest gain in dB (in steps of 0.01 dB) at which no input within
    // full scale can clip a 16-bit output: from the sum of the absolute taps
    // into each output, which bounds any output sample.
    double noClipGainDb = 0;
};

// leftInput[k] = H_LL[k] + j H_LR[k], rightInput[k] = H_RL[k] + j H_RR[k],
// as the engines take them. The frequency response is sampled at four times
// the filter's length (at least 4096 points). None when memory runs out.
std::optional<MatrixGain> MeasureMatrixGain(const Complex32f* leftInput,
                                            const Complex32f* rightInput, uint32_t taps);

// The gain in dB (rounded down to 0.01 dB) that would have brought a run's
// output peak (after gain, before clipping) to fullScale, the largest value
// an output sample holds.
double GainWithoutClips(double gainDb, double outputPeak, double fullScale);

}  // namespace tessaro
