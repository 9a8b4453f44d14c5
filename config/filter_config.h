#pragma once
// A 2-input, 2-output FIR filter read from a MAT file: four tap columns of
// "H", the design rate "SR" and the description "label". Columns 1 + j*2 go
// to the left-input engine and 3 + j*4 to the right-input engine.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "primitives/sp.h"
#include "processing/convolution_engine.h"
#include "processing/loudness.h"

namespace tessaro {

struct MATFile;

class FilterConfig {
public:
    // What Load reports beyond its result: a message for the user, or none
    // when the caller shows "Invalid Configuration file" itself.
    struct LoadResult {
        bool loaded = false;
        const char* warning = nullptr;
    };

    // Called with the number of taps the engines are about to get; it may
    // put other engines in their place, which then get the filter.
    using EngineChooser = std::function<void(uint32_t taps, ConvolutionEngine** engines)>;

    // engines: the left-input and right-input engines, not owned.
    FilterConfig(ConvolutionEngine* leftEngine, ConvolutionEngine* rightEngine,
                 EngineChooser chooser = {});
    ~FilterConfig();
    FilterConfig(const FilterConfig&) = delete;
    FilterConfig& operator=(const FilterConfig&) = delete;

    // Reads "label", then "SR", then "H" and hands the taps to both engines.
    // A refused file can leave label, sampleRate and length filled; the
    // engines then hold no filter.
    LoadResult Load(const std::string& path);

    std::string Label() const { return label; }
    uint32_t Length() const { return length; }
    int32_t SampleRate() const { return sampleRate; }
    bool Loaded() const { return loaded; }

    // Also take WAV impulse responses for a configuration: a ".wav" path
    // given to Load is then one 4-channel file in the column order of "H",
    // or, with rightInput set, a stereo file of the left input's paths (to
    // left, to right) and rightInput the stereo file of the right input's.
    // The label is the files' names, the sample rate theirs.
    void AcceptImpulseWavs(std::string rightInput) {
        acceptImpulses = true;
        rightImpulse = std::move(rightInput);
    }

    // Also measure the matrix's gain when the filter loads; none when it was
    // not asked for or could not be measured.
    void MeasureGainOnLoad() { measureGain = true; }
    const std::optional<MatrixGain>& Gain() const { return gain; }

private:
    bool ReadLabel();
    bool ReadSampleRate();
    bool ReadTaps();
    bool ReadImpulseTaps(const std::string& path);
    bool AllocateResponses();
    bool HandToEngines();
    void ReleaseResponses();

    MATFile* matFile = nullptr;
    std::string label;
    int32_t sampleRate = 0;
    ConvolutionEngine* engines[2];
    EngineChooser engineChooser;
    uint32_t length = 0;
    uint32_t columns = 0;
    uint32_t kept = 0;                // leading taps the engines can hold
    Complex32f* responseA = nullptr;  // left input: H(:,1) + j H(:,2)
    Complex32f* responseB = nullptr;  // right input: H(:,3) + j H(:,4)
    bool loaded = false;
    bool tapsPastSizeLimit = false;  // the taps did not fit under ulimit -f
    bool measureGain = false;
    bool acceptImpulses = false;
    std::string rightImpulse;
    std::optional<MatrixGain> gain;
};

}  // namespace tessaro
