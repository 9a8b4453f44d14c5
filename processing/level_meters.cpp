#include "processing/level_meters.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "primitives/dispatched.h"

namespace tessaro {
namespace {

void AddSquares(const float* samples, uint32_t n, double* sum) {
    double total = *sum;
    for (uint32_t i = 0; i < n; ++i) {
        const double x = samples[i];
        total += x * x;  // the square of a float is exact in double
    }
    *sum = total;
}

void RaisePeak(const float* samples, uint32_t n, float* peak) {
    float highest = *peak;
    for (uint32_t i = 0; i < n; ++i) {
        const float a = std::fabs(samples[i]);
        if (a > highest) highest = a;
    }
    *peak = highest;
}

void UpdateRms(double sumLeft, double sumRight, uint64_t totalSamples, float* rms, float* rmsDb) {
    const double value = std::sqrt((sumRight + sumLeft) / static_cast<double>(totalSamples));
    *rms = static_cast<float>(value);
    *rmsDb = static_cast<float>(20.0 * std::log10(value));
}

float PeakDb(float peak) { return static_cast<float>(20.0 * std::log10(peak)); }

// Peaks of left and right are interleaved per frame; the maximum does not
// depend on that order, NaNs being skipped either way.
void MeterPeak(const float* left, const float* right, uint32_t n, float* peak, float* peakDb) {
    RaisePeak(left, n, peak);
    RaisePeak(right, n, peak);
    *peakDb = PeakDb(*peak);
}

}  // namespace

float GainFromDb(float gainDb) {
    const float step = 0.05f;
    return static_cast<float>(std::pow(10.0, static_cast<double>(gainDb) * step));
}

void ApplyGain(float gainLinear, float* left, float* right, int32_t n) {
    if (dispatch::spMulC_32f_I(gainLinear, left, n) < 0) return;
    dispatch::spMulC_32f_I(gainLinear, right, n);
}

void LevelMeters::Reset(uint64_t samplesInFile) {
    const OutputRounding kept = rounding;
    *this = LevelMeters{};
    totalSamples = samplesInFile;
    rounding = kept;
}

bool LevelMeters::MeterInputRms(const float* left, const float* right, uint32_t n) {
    AddSquares(left, n, &inSumLeft);
    AddSquares(right, n, &inSumRight);
    UpdateRms(inSumLeft, inSumRight, totalSamples, &inRms, &inRmsDb);
    return true;
}

bool LevelMeters::MeterOutputRms(const float* left, const float* right, uint32_t n) {
    AddSquares(left, n, &outSumLeft);
    AddSquares(right, n, &outSumRight);
    UpdateRms(outSumLeft, outSumRight, totalSamples, &outRms, &outRmsDb);
    return true;
}

bool LevelMeters::MeterInputPeak(const float* left, const float* right, uint32_t n) {
    MeterPeak(left, right, n, &inPeak, &inPeakDb);
    return true;
}

bool LevelMeters::MeterOutputPeak(const float* left, const float* right, uint32_t n) {
    MeterPeak(left, right, n, &outPeak, &outPeakDb);
    return true;
}

namespace {

// xorshift64*: plenty for dither, and the same sequence on every machine.
uint64_t NextRandom(uint64_t* state) {
    uint64_t x = *state;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    *state = x;
    return x * 0x2545F4914F6CDD1Du;
}

// The sum of two independent uniform values on [0, 1) minus 1: triangular
// on (-1, 1), from two 24-bit halves of one draw.
double TriangularStep(uint64_t* state) {
    const uint64_t r = NextRandom(state);
    constexpr double Unit = 1.0 / 16777216.0;
    return static_cast<double>(r >> 40) * Unit + static_cast<double>((r >> 16) & 0xFFFFFF) * Unit -
           1.0;
}

// x * scale brought to a whole step of the integer range [low, high] as
// Mode says; values beyond the range raise clipped, values on its bounds do
// not, and a NaN becomes 0 uncounted.
template <OutputRounding Mode>
inline double Quantize(float x, double scale, double low, double high, uint64_t* ditherState,
                       int64_t* clipped) {
    double v = static_cast<double>(x) * scale;
    if (v > high) {
        v = high;
        ++*clipped;
    } else if (v < low) {
        v = low;
        ++*clipped;
    } else if (std::isnan(v)) {
        v = 0.0;
    }
    if constexpr (Mode == OutputRounding::Truncate) {
        return std::trunc(v);
    } else {
        if constexpr (Mode == OutputRounding::TpdfDither) v += TriangularStep(ditherState);
        return std::clamp(std::nearbyint(v), low, high);
    }
}

// Both channels of n frames through Quantize, frame i's samples handed to
// store(i, left, right); the rounding is chosen once per block.
template <typename Store>
int64_t QuantizeFrames(OutputRounding rounding, const float* left, const float* right, int32_t n,
                       double scale, double low, double high, uint64_t* ditherState, Store store) {
    int64_t clipped = 0;
    const auto frames = [&]<OutputRounding Mode>() {
        for (int32_t i = 0; i < n; ++i) {
            const double l = Quantize<Mode>(left[i], scale, low, high, ditherState, &clipped);
            const double r = Quantize<Mode>(right[i], scale, low, high, ditherState, &clipped);
            store(static_cast<int64_t>(i), l, r);
        }
    };
    if (rounding == OutputRounding::Truncate) {
        frames.template operator()<OutputRounding::Truncate>();
    } else if (rounding == OutputRounding::Nearest) {
        frames.template operator()<OutputRounding::Nearest>();
    } else {
        frames.template operator()<OutputRounding::TpdfDither>();
    }
    return clipped;
}

}  // namespace

void LevelMeters::AddClipped(int64_t clipped) {
    const int64_t total = static_cast<int64_t>(clipCount) + clipped;
    clipCount = total > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                            : static_cast<int32_t>(total);
}

void LevelMeters::ClipToPcm16(const float* left, const float* right, int16_t* out, int32_t n) {
    AddClipped(QuantizeFrames(rounding, left, right, n, 32768.0, -32768.0, 32767.0, &ditherState,
                              [out](int64_t i, double l, double r) {
                                  out[2 * i] = static_cast<int16_t>(l);
                                  out[2 * i + 1] = static_cast<int16_t>(r);
                              }));
}

void LevelMeters::ClipToPcm24(const float* left, const float* right, uint8_t* out, int32_t n) {
    const auto put = [](double value, uint8_t* bytes) {
        const auto v = static_cast<int32_t>(value);
        bytes[0] = static_cast<uint8_t>(v);
        bytes[1] = static_cast<uint8_t>(v >> 8);
        bytes[2] = static_cast<uint8_t>(v >> 16);
    };
    AddClipped(QuantizeFrames(rounding, left, right, n, 8388608.0, -8388608.0, 8388607.0,
                              &ditherState, [out, put](int64_t i, double l, double r) {
                                  put(l, out + 6 * i);
                                  put(r, out + 6 * i + 3);
                              }));
}

void LevelMeters::StoreFloat32(const float* left, const float* right, float* out, int32_t n) {
    int64_t beyond = 0;
    const auto store = [&beyond](float x) {
        if (std::isnan(x)) return 0.0f;
        if (x > 1.0f || x < -1.0f) ++beyond;
        return x;
    };
    for (int32_t i = 0; i < n; ++i) {
        out[2 * static_cast<int64_t>(i)] = store(left[i]);
        out[2 * static_cast<int64_t>(i) + 1] = store(right[i]);
    }
    AddClipped(beyond);
}

void DecodeStereo(SampleFormat sampleFormat, const void* bytes, float* left, float* right,
                  uint32_t frames) {
    const auto* in = static_cast<const uint8_t*>(bytes);
    if (sampleFormat == SampleFormat::Pcm16) {
        for (uint32_t f = 0; f < frames; ++f) {
            int16_t pair[2];
            std::memcpy(pair, in + 4 * std::size_t{f}, sizeof pair);
            left[f] = pair[0] * (1.0f / 32768.0f);
            right[f] = pair[1] * (1.0f / 32768.0f);
        }
    } else if (sampleFormat == SampleFormat::Pcm24) {
        // Little-endian, sign in the top bit of the third byte.
        const auto sample = [](const uint8_t* b) {
            const auto raw = static_cast<uint32_t>(b[0] | (b[1] << 8) | (b[2] << 16));
            return static_cast<float>(static_cast<int32_t>(raw << 8) >> 8) * (1.0f / 8388608.0f);
        };
        for (uint32_t f = 0; f < frames; ++f) {
            left[f] = sample(in + 6 * std::size_t{f});
            right[f] = sample(in + 6 * std::size_t{f} + 3);
        }
    } else {
        for (uint32_t f = 0; f < frames; ++f) {
            std::memcpy(&left[f], in + 8 * std::size_t{f}, 4);
            std::memcpy(&right[f], in + 8 * std::size_t{f} + 4, 4);
        }
    }
}

}  // namespace tessaro
