// Any bytes as an input WAV file: open it for reading, read the data chunk
// to its end in blocks of varied sizes, and when it is a stereo layout a run
// takes (16- or 24-bit PCM, 32-bit float) run its first samples through a
// small 2x2 filter in the convolution engine, checked against a direct
// convolution. Must never crash, leak, read out of
// bounds or deliver more than the data chunk holds.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "primitives/sp.h"
#include "processing/convolution_engine.h"
#include "processing/level_meters.h"
#include "processing/wave_file.h"
#include "tests/fuzz/fuzz_file.h"

namespace {

using tessaro::WaveFile;

// Enough to reach every branch of the reader; more only makes inputs slow.
constexpr uint32_t MaxBytesRead = 65536;
constexpr uint32_t MaxBytesFiltered = 32768;

void Check(bool condition) {
    if (!condition) std::abort();
}

// Reads the data chunk in blocks whose sizes come from the input: single
// bytes, odd sizes and whole blocks, so that every split of a sample and of
// the chunk's end is tried.
void ReadAll(WaveFile& file, uint64_t hash) {
    static constexpr uint32_t Sizes[] = {1, 2, 3, 4, 7, 64, 511, 4096, 16384, 65536};
    const uint64_t dataSize = file.GetDataSize();
    std::vector<uint8_t> buffer(65536 + 1);
    uint64_t consumed = 0;
    while (consumed < MaxBytesRead) {
        const uint32_t count = Sizes[hash % std::size(Sizes)];
        hash = hash / std::size(Sizes) + hash * 31 + 7;
        uint32_t delivered = 12345;
        // The byte behind the request must stay untouched.
        buffer[count] = 0xA5;
        const int32_t status = file.Read(buffer.data(), count, &delivered);
        Check(buffer[count] == 0xA5);
        if (status < 0) {
            // A read into the end of the file fails as a whole, and what it
            // asked for is gone.
            Check(delivered == 0);
            consumed += std::min<uint64_t>(count, dataSize - consumed);
            continue;
        }
        Check(delivered <= count);
        consumed += delivered;
        Check(consumed <= dataSize);
        if (delivered < count) {
            // Short only at the end of the data, and the end stays the end.
            Check(consumed == dataSize);
            Check(file.Read(buffer.data(), count, &delivered) >= 0 && delivered == 0);
            break;
        }
    }
}

struct EngineDeleter {
    void operator()(tessaro::ConvolutionEngine* engine) const { tessaro::DestroyEngine(engine); }
};
using EnginePtr = std::unique_ptr<tessaro::ConvolutionEngine, EngineDeleter>;

// Filters the first samples of the file through a 2x2 filter: one engine per
// input channel, whose complex taps carry the paths to both outputs. The
// result must match a plain convolution of the same samples.
void FilterStart(WaveFile& file, tessaro::SampleFormat sampleFormat, uint64_t hash) {
    std::vector<uint8_t> bytes(MaxBytesFiltered);
    uint32_t delivered = 0;
    if (file.Read(bytes.data(), MaxBytesFiltered, &delivered) < 0) return;
    const size_t frames = delivered / (2 * tessaro::BytesPerSample(sampleFormat));
    if (frames == 0) return;

    const uint32_t fftLength = 2u << (hash % 7);  // 2 .. 128
    const uint32_t block = fftLength / 2;
    const uint32_t tapCount = 1 + static_cast<uint32_t>((hash >> 8) % 24);
    // paths[from][tap]: re to the left output, im to the right one.
    std::vector<Complex32f> paths[2];
    for (auto& taps : paths) {
        for (uint32_t k = 0; k < tapCount; ++k) {
            hash = hash * 6364136223846793005u + 1442695040888963407u;
            taps.push_back({static_cast<float>(static_cast<int8_t>(hash >> 40)) / 128.0f,
                            static_cast<float>(static_cast<int8_t>(hash >> 48)) / 128.0f});
        }
    }
    EnginePtr engines[2];
    for (int from = 0; from < 2; ++from) {
        engines[from].reset(tessaro::CreateEngine(tapCount, fftLength, 1));
        Check(engines[from] != nullptr);
        Check(tessaro::SetFilter(engines[from].get(), paths[from].data(), tapCount, 0));
    }

    const size_t blocks = (frames + block - 1) / block;
    std::vector<float> inputs[2];
    for (auto& input : inputs) input.assign(blocks * block, 0.0f);
    tessaro::DecodeStereo(sampleFormat, bytes.data(), inputs[0].data(), inputs[1].data(),
                          static_cast<uint32_t>(frames));
    for (auto& input : inputs) {
        for (float& x : input) {
            // Integer samples decode to [-1, 1); floats may hold anything.
            Check(sampleFormat == tessaro::SampleFormat::Float32 || (x >= -1.0f && x < 1.0f));
            if (!(std::fabs(x) <= 1.0f)) x = 0.0f;
        }
    }
    std::vector<Complex32f> outputs[2];
    for (int from = 0; from < 2; ++from) {
        outputs[from].resize(blocks * block);
        for (size_t b = 0; b < blocks; ++b) {
            tessaro::ProcessBlock(engines[from].get(), inputs[from].data() + b * block,
                                  outputs[from].data() + b * block);
        }
    }

    // Samples and taps are at most 1 in size, so a sum is at most 2 * tapCount.
    const double tolerance = 1e-5 * (2.0 * tapCount) + 1e-6;
    for (size_t n = 0; n < blocks * block; ++n) {
        double left = 0;
        double right = 0;
        for (int from = 0; from < 2; ++from) {
            for (uint32_t k = 0; k < tapCount && k <= n; ++k) {
                left += double{paths[from][k].re} * inputs[from][n - k];
                right += double{paths[from][k].im} * inputs[from][n - k];
            }
        }
        const double gotLeft = double{outputs[0][n].re} + outputs[1][n].re;
        const double gotRight = double{outputs[0][n].im} + outputs[1][n].im;
        Check(std::fabs(gotLeft - left) <= tolerance && std::fabs(gotRight - right) <= tolerance);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool initialised = (InitPrimitiveDispatch(), true);
    (void)initialised;
    static const std::string path = tessaro::fuzz::Scratch().File("input.wav");
    tessaro::fuzz::WriteWholeFile(path, data, size);
    const uint64_t hash = tessaro::fuzz::InputHash(data, size);

    WaveFile file;
    if (file.Open(path, nullptr, tessaro::WaveModeRead) < 0) {
        Check(file.Close() >= 0 && !file.IsOpen());
        return 0;
    }
    const tessaro::WaveFormatEx* format = file.Format();
    Check(format != nullptr && format->extra.size() == format->cbSize);
    ReadAll(file, hash);
    const std::optional<tessaro::SampleFormat> layout = tessaro::StereoSampleFormat(*format, true);
    Check(file.Close() >= 0 && !file.IsOpen());

    if (layout) {
        WaveFile again;
        Check(again.Open(path, nullptr, tessaro::WaveModeRead) >= 0);
        FilterStart(again, *layout, hash);
    }
    return 0;
}
