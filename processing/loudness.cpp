#include "processing/loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "primitives/dispatched.h"

namespace tessaro {

struct LoudnessMeter::State {
    ebur128_state* meter = nullptr;
    ~State() { ebur128_destroy(&meter); }
};

LoudnessMeter::~LoudnessMeter() { delete state; }

bool LoudnessMeter::Start(uint32_t sampleRate) {
    delete state;
    state = nullptr;
    ebur128_state* meter =
        ebur128_init(2, sampleRate, EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK);
    if (meter != nullptr) state = new State{meter};
    return state != nullptr;
}

void LoudnessMeter::Add(const float* left, const float* right, uint32_t frames) {
    if (state == nullptr) return;
    interleaved.resize(2 * std::size_t{frames});
    for (uint32_t f = 0; f < frames; ++f) {
        interleaved[2 * std::size_t{f}] = left[f];
        interleaved[2 * std::size_t{f} + 1] = right[f];
    }
    ebur128_add_frames_float(state->meter, interleaved.data(), frames);
}

std::optional<Loudness> LoudnessMeter::Result() const {
    if (state == nullptr) return std::nullopt;
    Loudness result;
    double peak = 0;
    for (unsigned channel = 0; channel < 2; ++channel) {
        double channelPeak = 0;
        if (ebur128_true_peak(state->meter, channel, &channelPeak) == EBUR128_SUCCESS) {
            peak = std::max(peak, channelPeak);
        }
    }
    if (ebur128_loudness_global(state->meter, &result.integratedLufs) != EBUR128_SUCCESS ||
        ebur128_loudness_range(state->meter, &result.rangeLu) != EBUR128_SUCCESS) {
        return std::nullopt;
    }
    result.truePeakDb = 20.0 * std::log10(peak);
    return result;
}

namespace {

struct SpecDeleter {
    void operator()(FftSpec* spec) const { dispatch::spFFTFree_C_32fc(spec); }
};
struct BufferDeleter {
    void operator()(void* buffer) const { dispatch::spFree(buffer); }
};

}  // namespace

std::optional<MatrixGain> MeasureMatrixGain(const Complex32f* leftInput,
                                            const Complex32f* rightInput, uint32_t taps) {
    int order = 12;
    while ((uint64_t{1} << order) < 4 * uint64_t{taps}) ++order;
    const std::size_t n = std::size_t{1} << order;
    FftSpec* rawSpec = nullptr;
    if (dispatch::spFFTInitAlloc_C_32fc(&rawSpec, order, FftScaleNone, 1) < 0) return std::nullopt;
    const std::unique_ptr<FftSpec, SpecDeleter> spec(rawSpec);
    const std::unique_ptr<Complex32f, BufferDeleter> spectrum(
        dispatch::spMalloc_32fc(static_cast<int>(n)));
    // |H| summed into each output, bins 0 .. n/2 (real taps: the rest mirror them).
    std::vector<float> toLeft(n / 2 + 1, 0.0f);
    std::vector<float> toRight(n / 2 + 1, 0.0f);
    if (!spectrum) return std::nullopt;

    double sumToLeft = 0;
    double sumToRight = 0;
    for (const Complex32f* input : {leftInput, rightInput}) {
        dispatch::spZero_32fc(spectrum.get(), static_cast<int>(n));
        for (uint32_t k = 0; k < taps; ++k) {
            spectrum.get()[k] = input[k];
            sumToLeft += std::abs(double{input[k].re});
            sumToRight += std::abs(double{input[k].im});
        }
        if (dispatch::spFFTFwd_CToC_32fc(spectrum.get(), spectrum.get(), spec.get(), nullptr) < 0) {
            return std::nullopt;
        }
        // X = A + jB for real a, b: A(f) = (X(f) + conj X(-f)) / 2,
        // B(f) = (X(f) - conj X(-f)) / 2j.
        const Complex32f* x = spectrum.get();
        for (std::size_t f = 0; f <= n / 2; ++f) {
            const Complex32f p = x[f];
            const Complex32f q = x[(n - f) & (n - 1)];
            const double aRe = 0.5 * (double{p.re} + q.re);
            const double aIm = 0.5 * (double{p.im} - q.im);
            const double bRe = 0.5 * (double{p.im} + q.im);
            const double bIm = -0.5 * (double{p.re} - q.re);
            toLeft[f] += static_cast<float>(std::hypot(aRe, aIm));
            toRight[f] += static_cast<float>(std::hypot(bRe, bIm));
        }
    }
    const float peak = std::max(*std::max_element(toLeft.begin(), toLeft.end()),
                                *std::max_element(toRight.begin(), toRight.end()));
    MatrixGain gain;
    gain.peakOverFrequencyDb = 20.0 * std::log10(peak);
    gain.noClipGainDb = GainWithoutClips(0.0, std::max(sumToLeft, sumToRight), 32767.0 / 32768.0);
    return gain;
}

double GainWithoutClips(double gainDb, double outputPeak, double fullScale) {
    const double exact = gainDb + 20.0 * std::log10(fullScale / outputPeak);
    // At least 0.001 dB below the exact value: more than the single-precision
    // gain and filtering can add to a sample.
    return std::floor((exact - 0.001) * 100.0) / 100.0;
}

}  // namespace tessaro
