#include "processing/loudness.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "primitives/dispatched.h"

namespace tessaro {

namespace {

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define LOUDNESS_HOT_LOOP __attribute__((target_clones("avx2", "default")))
#else
#define LOUDNESS_HOT_LOOP
#endif

// ITU-R BS.1770-4, Annex 2: the four phases of the 4x interpolation filter.
constexpr float Interpolation[4][12] = {
    {0.0017089843750f, 0.0109863281250f, -0.0196533203125f, 0.0332031250000f, -0.0594482421875f,
     0.1373291015625f, 0.9721679687500f, -0.1022949218750f, 0.0476074218750f, -0.0266113281250f,
     0.0148925781250f, -0.0083007812500f},
    {-0.0291748046875f, 0.0292968750000f, -0.0517578125000f, 0.0891113281250f, -0.1665039062500f,
     0.4650878906250f, 0.7797851562500f, -0.2003173828125f, 0.1015625000000f, -0.0582275390625f,
     0.0330810546875f, -0.0189208984375f},
    {-0.0189208984375f, 0.0330810546875f, -0.0582275390625f, 0.1015625000000f, -0.2003173828125f,
     0.7797851562500f, 0.4650878906250f, -0.1665039062500f, 0.0891113281250f, -0.0517578125000f,
     0.0292968750000f, -0.0291748046875f},
    {-0.0083007812500f, 0.0148925781250f, -0.0266113281250f, 0.0476074218750f, -0.1022949218750f,
     0.9721679687500f, 0.1373291015625f, -0.0594482421875f, 0.0332031250000f, -0.0196533203125f,
     0.0109863281250f, 0.0017089843750f},
};

// best[i] = the largest |value| among x[11 + i] and the three values
// interpolated after it; x[0 .. 11) are the samples before. Elementwise
// maxima and sums over i vectorize where a running maximum would not.
LOUDNESS_HOT_LOOP void InterpolatedPeaks(const float* __restrict x, float* __restrict sum,
                                         float* __restrict best, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) best[i] = std::abs(x[i + 11]);
    for (const auto& phase : Interpolation) {
        for (uint32_t i = 0; i < n; ++i) sum[i] = phase[0] * x[i + 11];
        for (int k = 1; k < 12; ++k) {
            const float c = phase[k];
            const float* __restrict from = x + 11 - k;
            for (uint32_t i = 0; i < n; ++i) sum[i] += c * from[i];
        }
        for (uint32_t i = 0; i < n; ++i) best[i] = std::max(best[i], std::abs(sum[i]));
    }
}

}  // namespace

void TruePeakMeter::Add(const float* left, const float* right, uint32_t frames) {
    extended.resize(Taps - 1 + std::size_t{frames});
    sums.resize(frames);
    peaks.resize(frames);
    const float* channels[2] = {left, right};
    for (int c = 0; c < 2; ++c) {
        std::copy_n(history[c], Taps - 1, extended.begin());
        std::copy_n(channels[c], frames, extended.begin() + Taps - 1);
        InterpolatedPeaks(extended.data(), sums.data(), peaks.data(), frames);
        // NaN never wins a comparison, so it never becomes the peak.
        for (const float p : peaks) peak = p > peak ? p : peak;
        std::copy_n(extended.end() - (Taps - 1), Taps - 1, history[c]);
    }
}

struct LoudnessMeter::State {
    ebur128_state* meter = nullptr;
    ~State() { ebur128_destroy(&meter); }
};

LoudnessMeter::~LoudnessMeter() { delete state; }

bool LoudnessMeter::Start(uint32_t sampleRate) {
    delete state;
    state = nullptr;
    truePeak = TruePeakMeter{};
    // libebur128's own true peak costs four times its loudness measurement.
    ebur128_state* meter = ebur128_init(2, sampleRate, EBUR128_MODE_I | EBUR128_MODE_LRA);
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
    truePeak.Add(left, right, frames);
}

std::optional<Loudness> LoudnessMeter::Result() const {
    if (state == nullptr) return std::nullopt;
    Loudness result;
    if (ebur128_loudness_global(state->meter, &result.integratedLufs) != EBUR128_SUCCESS ||
        ebur128_loudness_range(state->meter, &result.rangeLu) != EBUR128_SUCCESS) {
        return std::nullopt;
    }
    result.truePeakDb = 20.0 * std::log10(double{truePeak.Peak()});
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
