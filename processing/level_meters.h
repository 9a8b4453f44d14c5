#pragma once
// Level meters, gain and the float-to-16-bit conversion of a run.
// Samples are floats with 1.0 as full scale (a 16-bit sample of 32768);
// every level in dB is relative to 1.0.

#include <cstdint>

#include "processing/wave_file.h"

namespace tessaro {

// 10^(gainDb * 0.05), with 0.05 held as a float and the power taken in
// double, rounded once to float: 0 dB gives exactly 1.0.
float GainFromDb(float gainDb);

// Multiplies n values of each channel by gainLinear in place. The right
// channel is left alone when scaling the left one fails.
void ApplyGain(float gainLinear, float* left, float* right, int32_t n);

// How output samples reach whole 16-bit steps: truncation toward zero (the
// default), rounding to the nearest step (ties to even), or triangular
// (TPDF) dither of +-1 step added before rounding to the nearest, which
// makes the error noise independent of the signal.
enum class OutputRounding { Truncate, Nearest, TpdfDither };

// Running RMS and peak meters of one run, input and output, plus the count
// of clipped output samples. Reset at the start of every run.
struct LevelMeters {
    // Sums of squares run in double: rounded to float after every addition
    // they stop growing on long loud recordings.
    double inSumLeft = 0.0;
    double inSumRight = 0.0;
    float inRms = 0.0f;
    float inRmsDb = 0.0f;
    double outSumLeft = 0.0;
    double outSumRight = 0.0;
    float outRms = 0.0f;
    float outRmsDb = 0.0f;
    float inPeak = 0.0f;
    float outPeak = 0.0f;
    float inPeakDb = 0.0f;
    float outPeakDb = 0.0f;
    int32_t clipCount = 0;  // saturates at INT32_MAX

    // The RMS divisor: 16-bit samples of all channels in the input file.
    uint64_t totalSamples = 0;

    OutputRounding rounding = OutputRounding::Truncate;
    // The dither's random state; the same seed every run, so that a run's
    // output can be made again.
    uint64_t ditherState = DitherSeed;
    static constexpr uint64_t DitherSeed = 0x9E3779B97F4A7C15u;

    // Clears every level, the peaks, the clip count and the dither state,
    // and sets the divisor; the rounding stays.
    void Reset(uint64_t samplesInFile);

    // Add a block to the running sums and recompute the RMS in dB; the level
    // is the sum so far over the whole file's sample count.
    bool MeterInputRms(const float* left, const float* right, uint32_t n);
    bool MeterOutputRms(const float* left, const float* right, uint32_t n);

    // Raise the peak by a block (a NaN never replaces it) and recompute its dB.
    bool MeterInputPeak(const float* left, const float* right, uint32_t n);
    bool MeterOutputPeak(const float* left, const float* right, uint32_t n);

    // Writes n interleaved frames of x * 32768 brought to whole steps as
    // rounding says, clipped to -32768..32767; values beyond the bounds
    // before dither raise clipCount, values on them do not. A NaN becomes 0
    // and is not counted.
    void ClipToPcm16(const float* left, const float* right, int16_t* out, int32_t n);

    // The same for x * 8388608 into 24-bit little-endian samples
    // (-8388608..8388607), 6 bytes a frame.
    void ClipToPcm24(const float* left, const float* right, uint8_t* out, int32_t n);

    // Float output keeps every value as it is, beyond full scale too: such
    // values (|x| > 1) raise clipCount without being clipped. A NaN becomes
    // 0 and is not counted.
    void StoreFloat32(const float* left, const float* right, float* out, int32_t n);

private:
    void AddClipped(int64_t clipped);
};

// Interleaved stereo samples of a file to float channels with 1.0 as full
// scale: 16-bit samples / 32768, 24-bit ones / 8388608, floats as they are.
void DecodeStereo(SampleFormat sampleFormat, const void* bytes, float* left, float* right,
                  uint32_t frames);

}  // namespace tessaro
