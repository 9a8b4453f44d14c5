// Any bytes as a MAT configuration, read the way the dialog loads one: the
// MAT layer (its reading children included), then the configuration checks
// into two small engines. Must never crash, leak or hang.
//
// The mutator knows level-5 files: it mutates one top-level element at a
// time, inside its compression when it is compressed, and keeps the tags'
// sizes true, so that mutations reach past zlib and past the element walk.
// Level-4 and 7.3 files get libFuzzer's byte mutations.

#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/filter_config.h"
#include "platform/mat_file.h"
#include "processing/convolution_engine.h"
#include "tests/fuzz/fuzz_file.h"

// Weak: replay builds have no libFuzzer, and never call the mutator.
extern "C" __attribute__((weak)) size_t LLVMFuzzerMutate(uint8_t* data, size_t size,
                                                         size_t maxSize);

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t HeaderBytes = 128;
constexpr uint32_t MiCompressed = 15;

bool IsLevel5(const uint8_t* data, size_t size) {
    return size >= HeaderBytes && data[126] == 'I' && data[127] == 'M' && data[124] == 0 &&
           data[125] == 1;
}

uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

bool Inflate(const uint8_t* data, size_t size, Bytes* out) {
    uLongf length = 1 << 16;
    for (int attempt = 0; attempt < 5; ++attempt, length *= 4) {
        out->resize(length);
        const int result = uncompress(out->data(), &length, data, static_cast<uLong>(size));
        if (result == Z_OK) {
            out->resize(length);
            return true;
        }
        if (result != Z_BUF_ERROR) return false;
        length = static_cast<uLongf>(out->size());
    }
    return false;
}

bool Deflate(const Bytes& in, Bytes* out) {
    uLongf length = compressBound(static_cast<uLong>(in.size()));
    out->resize(length);
    if (compress(out->data(), &length, in.data(), static_cast<uLong>(in.size())) != Z_OK) {
        return false;
    }
    out->resize(length);
    return true;
}

// Mutates the body of one element (chosen by seed) and rewrites its tag.
size_t MutateLevel5(uint8_t* data, size_t size, size_t maxSize, unsigned seed) {
    std::vector<size_t> starts;
    for (size_t at = HeaderBytes; at + 8 <= size && starts.size() < 64;) {
        starts.push_back(at);
        const uint64_t length = Load32(data + at + 4);
        if (length > size - at - 8) break;
        at += 8 + length;
    }
    if (starts.empty()) return LLVMFuzzerMutate(data, size, maxSize);
    const size_t at = starts[seed % starts.size()];
    const size_t length = std::min<size_t>(Load32(data + at + 4), size - at - 8);
    const bool compressed = Load32(data + at) == MiCompressed;
    Bytes body(data + at + 8, data + at + 8 + length);
    if (compressed && !Inflate(body.data(), body.size(), &body)) {
        return LLVMFuzzerMutate(data, size, maxSize);
    }
    const size_t room = std::max<size_t>(body.size() * 2 + 64, 256);
    body.resize(room);
    body.resize(LLVMFuzzerMutate(body.data(), body.size() - (room - body.size()), room));
    Bytes stored;
    if (compressed) {
        if (!Deflate(body, &stored)) return size;
    } else {
        stored = std::move(body);
    }
    const size_t tail = size - at - 8 - length;
    const size_t newSize = at + 8 + stored.size() + tail;
    if (newSize > maxSize) return LLVMFuzzerMutate(data, size, maxSize);
    std::memmove(data + at + 8 + stored.size(), data + at + 8 + length, tail);
    std::memcpy(data + at + 8, stored.data(), stored.size());
    Store32(data + at + 4, static_cast<uint32_t>(stored.size()));
    return newSize;
}

struct EngineDeleter {
    void operator()(tessaro::ConvolutionEngine* engine) const { tessaro::DestroyEngine(engine); }
};

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned seed) {
    if (IsLevel5(data, size) && seed % 4 != 0) return MutateLevel5(data, size, maxSize, seed / 4);
    return LLVMFuzzerMutate(data, size, maxSize);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = tessaro::fuzz::Scratch().File("input.mat");
    tessaro::fuzz::WriteWholeFile(path, data, size);

    static std::unique_ptr<tessaro::ConvolutionEngine, EngineDeleter> left(
        tessaro::CreateEngine(64, 16, 1));
    static std::unique_ptr<tessaro::ConvolutionEngine, EngineDeleter> right(
        tessaro::CreateEngine(64, 16, 1));
    tessaro::FilterConfig config(left.get(), right.get());
    // A configuration that loads has taps, a rate and a label of whole
    // characters; what does not load leaves no filter behind.
    if (config.Load(path).loaded) {
        if (config.Length() == 0 || config.Label().size() >= 260) std::abort();
    } else if (left->partitionCounts[0] != 0 || right->partitionCounts[0] != 0) {
        std::abort();
    }
    return 0;
}
