#include "config/filter_config.h"

#include <dlfcn.h>
#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <filesystem>
#include <limits>
#include <utility>
#include <vector>

#include "platform/mat_file.h"
#include "primitives/dispatched.h"

namespace tessaro {
namespace {

constexpr std::size_t LabelBufferSize = 260;  // at most 259 bytes of text
constexpr const char* MissingLabel = "Label is not found";

// Releases a library array when it goes out of scope.
struct ArrayHolder {
    mxArray* array;
    ~ArrayHolder() {
        if (array != nullptr) mxDestroyArray(array);
    }
};

bool HasWavExtension(const std::string& path) {
    const std::string extension = std::filesystem::path(path).extension().string();
    return extension.size() == 4 && extension[0] == '.' && (extension[1] | 0x20) == 'w' &&
           (extension[2] | 0x20) == 'a' && (extension[3] | 0x20) == 'v';
}

// libsndfile brings its codec libraries (FLAC, Vorbis, Opus, MP3) along,
// which would cost every start a few milliseconds of loading: it is loaded
// the first time a WAV configuration is read.
struct SoundFileLibrary {
    decltype(&sf_open) open = nullptr;
    decltype(&sf_readf_float) readFloat = nullptr;
    decltype(&sf_close) close = nullptr;
};

const SoundFileLibrary* LoadSoundFileLibrary() {
    static const SoundFileLibrary library = [] {
        SoundFileLibrary found;
        void* handle = dlopen("libsndfile.so.1", RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) return found;
        found.open = reinterpret_cast<decltype(&sf_open)>(dlsym(handle, "sf_open"));
        found.readFloat =
            reinterpret_cast<decltype(&sf_readf_float)>(dlsym(handle, "sf_readf_float"));
        found.close = reinterpret_cast<decltype(&sf_close)>(dlsym(handle, "sf_close"));
        return found;
    }();
    return library.open && library.readFloat && library.close ? &library : nullptr;
}

}  // namespace

FilterConfig::FilterConfig(ConvolutionEngine* leftEngine, ConvolutionEngine* rightEngine,
                           EngineChooser chooser)
    : engines{leftEngine, rightEngine}, engineChooser(std::move(chooser)) {}

FilterConfig::~FilterConfig() {
    ReleaseResponses();
    if (loaded) {
        ClearFilter(engines[0], 0);
        ClearFilter(engines[1], 0);
    }
    loaded = false;
}

FilterConfig::LoadResult FilterConfig::Load(const std::string& path) {
    if (path.empty()) return {false, "Error!Invalid MAT file Name!"};
    if (acceptImpulses && HasWavExtension(path)) {
        return {ReadImpulseTaps(path) && HandToEngines(), nullptr};
    }
    matFile = matOpen(path.c_str(), "r");
    if (matFile == nullptr) return {false, "Error! Failed to Open the MAT file!"};

    const bool ok = ReadLabel() && ReadSampleRate() && ReadTaps() && HandToEngines();
    // Only the taps are large enough to meet a file-size limit.
    const bool sizeLimited = !ok && tapsPastSizeLimit;
    matClose(matFile);
    matFile = nullptr;
    return {ok, sizeLimited ? "Error! The filter is larger than the file-size limit (ulimit -f) "
                              "allows for reading it."
                            : nullptr};
}

bool FilterConfig::ReadLabel() {
    ArrayHolder holder{matGetVariable(matFile, "label")};
    char text[LabelBufferSize] = {};
    if (holder.array == nullptr || !mxIsChar(holder.array)) {
        label = MissingLabel;
        return false;
    }
    // A longer text comes back cut at a character boundary, which is all
    // the description line shows anyway.
    mxGetString(holder.array, text, LabelBufferSize);
    label = text;
    return true;
}

bool FilterConfig::ReadSampleRate() {
    ArrayHolder holder{matGetVariable(matFile, "SR")};
    const double* data = holder.array != nullptr ? mxGetPr(holder.array) : nullptr;
    const bool present = data != nullptr && mxGetM(holder.array) > 0 && mxGetN(holder.array) > 0;
    // Truncated toward zero; a rate that is not a finite 32-bit number is no rate.
    const double rate = present ? std::trunc(data[0]) : 0.0;
    if (!present || !std::isfinite(rate) || rate < std::numeric_limits<int32_t>::min() ||
        rate > std::numeric_limits<int32_t>::max()) {
        sampleRate = 0;
        return false;
    }
    sampleRate = static_cast<int32_t>(rate);
    return true;
}

bool FilterConfig::ReadTaps() {
    ArrayHolder holder{matGetVariable(matFile, "H")};
    tapsPastSizeLimit = holder.array == nullptr && errno == EFBIG;
    if (holder.array == nullptr || mxGetNumberOfDimensions(holder.array) != 2) return false;
    const std::size_t rows = mxGetM(holder.array);
    const std::size_t cols = mxGetN(holder.array);
    if (rows > std::numeric_limits<uint32_t>::max() ||
        cols > std::numeric_limits<uint32_t>::max()) {
        return false;
    }
    length = static_cast<uint32_t>(rows);
    columns = static_cast<uint32_t>(cols);
    const double* data = mxGetPr(holder.array);
    // Four columns are read: fewer would reach past the matrix.
    if (data == nullptr || columns < 4 || length == 0) return false;
    if (!AllocateResponses()) return false;

    // Column-major: H(i, c) is element c * M + i.
    // A tap that is not finite as the engines hold it (NaN, infinite, or
    // beyond the float range) would turn the whole output into NaN, which
    // comes out as silence: such a matrix is no usable filter.
    const std::size_t m = length;
    bool finite = true;
    for (std::size_t i = 0; i < kept; ++i) {
        responseA[i] = Complex32f{static_cast<float>(data[i]), static_cast<float>(data[m + i])};
        responseB[i] =
            Complex32f{static_cast<float>(data[2 * m + i]), static_cast<float>(data[3 * m + i])};
        finite = finite && std::isfinite(responseA[i].re) && std::isfinite(responseA[i].im) &&
                 std::isfinite(responseB[i].re) && std::isfinite(responseB[i].im);
    }
    return finite;
}

// Taps past what the engines hold are never used: copying them would only
// cost memory on very long filters.
bool FilterConfig::AllocateResponses() {
    const uint64_t capacity =
        static_cast<uint64_t>(engines[0]->partitionCapacity) * engines[0]->blockLength;
    kept = static_cast<uint32_t>(std::min<uint64_t>(length, capacity));
    responseA = dispatch::spMalloc_32fc(static_cast<int>(kept));
    responseB = dispatch::spMalloc_32fc(static_cast<int>(kept));
    return responseA != nullptr && responseB != nullptr;
}

bool FilterConfig::ReadImpulseTaps(const std::string& path) {
    const SoundFileLibrary* library = LoadSoundFileLibrary();
    if (library == nullptr) return false;
    struct File {
        const SoundFileLibrary* library;
        SNDFILE* handle = nullptr;
        SF_INFO info{};
        ~File() {
            if (handle != nullptr) library->close(handle);
        }
    };
    const bool pair = !rightImpulse.empty();
    File files[2] = {{library}, {library}};
    const std::string* paths[2] = {&path, &rightImpulse};
    label.clear();
    for (int i = 0; i < (pair ? 2 : 1); ++i) {
        files[i].handle = library->open(paths[i]->c_str(), SFM_READ, &files[i].info);
        if (files[i].handle == nullptr || files[i].info.channels != (pair ? 2 : 4) ||
            files[i].info.frames <= 0 ||
            files[i].info.frames > std::numeric_limits<int32_t>::max()) {
            return false;
        }
        const std::string name = std::filesystem::path(*paths[i]).filename().string();
        label += i == 0 ? name : ", " + name;
    }
    sampleRate = files[0].info.samplerate;
    if (pair && files[1].info.samplerate != sampleRate) return false;
    // The shorter of two files is padded with zeros.
    length = static_cast<uint32_t>(std::max(files[0].info.frames, files[1].info.frames));
    columns = 4;
    if (!AllocateResponses()) return false;
    dispatch::spZero_32fc(responseA, static_cast<int>(kept));
    dispatch::spZero_32fc(responseB, static_cast<int>(kept));

    std::vector<float> frames;
    bool finite = true;
    for (int i = 0; i < (pair ? 2 : 1); ++i) {
        const int channels = files[i].info.channels;
        const auto count = static_cast<uint32_t>(std::min<sf_count_t>(files[i].info.frames, kept));
        frames.resize(std::size_t{count} * channels);
        if (library->readFloat(files[i].handle, frames.data(), count) != count) return false;
        for (uint32_t k = 0; k < count; ++k) {
            const float* frame = frames.data() + std::size_t{k} * channels;
            if (pair) {
                (i == 0 ? responseA : responseB)[k] = Complex32f{frame[0], frame[1]};
            } else {
                responseA[k] = Complex32f{frame[0], frame[1]};
                responseB[k] = Complex32f{frame[2], frame[3]};
            }
            for (int c = 0; c < channels; ++c) finite = finite && std::isfinite(frame[c]);
        }
    }
    return finite;
}

void FilterConfig::ReleaseResponses() {
    for (Complex32f** response : {&responseA, &responseB}) {
        if (*response == nullptr) continue;
        dispatch::spFree(*response);
        *response = nullptr;
    }
}

bool FilterConfig::HandToEngines() {
    if (engineChooser) engineChooser(kept, engines);
    const bool handed =
        SetFilter(engines[0], responseA, kept, 0) && SetFilter(engines[1], responseB, kept, 0);
    if (handed && measureGain) gain = MeasureMatrixGain(responseA, responseB, kept);
    // The engines keep transformed copies: the time-domain taps (up to
    // 8 MiB) need not stay for the whole run.
    ReleaseResponses();
    if (!handed) {
        // Half a filter matrix must not stay behind.
        ClearFilter(engines[0], 0);
        ClearFilter(engines[1], 0);
        return false;
    }
    loaded = true;
    return true;
}

}  // namespace tessaro
