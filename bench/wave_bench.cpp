// WAV copy throughput: a ~100 MB 16-bit stereo file read and written in
// 16384-byte blocks through WaveFilePair, as a run does, against a plain
// fread/fwrite copy of the same file. Rates count the bytes of the file
// copied (each is read once and written once).

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "processing/wave_file.h"

namespace {

constexpr uint32_t BlockBytes = 16384;
constexpr uint32_t DataBytes = 100u << 20;

struct BenchFiles {
    std::string folder;
    std::string input;
    uint64_t inputSize = 0;
};

void PutU32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A canonical 44-byte-header PCM file with noise-like samples.
BenchFiles& Files() {
    static BenchFiles files = [] {
        BenchFiles made;
        std::string pattern =
            std::filesystem::temp_directory_path().string() + "/wave-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return made;
        made.folder = pattern;
        made.input = made.folder + "/input.wav";
        std::vector<uint8_t> header(44);
        std::memcpy(&header[0], "RIFF", 4);
        PutU32(header, 4, 36 + DataBytes);
        std::memcpy(&header[8], "WAVEfmt ", 8);
        PutU32(header, 16, 16);
        PutU32(header, 20, 1 | 2u << 16);
        PutU32(header, 24, 44100);
        PutU32(header, 28, 44100 * 4);
        PutU32(header, 32, 4 | 16u << 16);
        std::memcpy(&header[36], "data", 4);
        PutU32(header, 40, DataBytes);
        FILE* file = std::fopen(made.input.c_str(), "wb");
        if (file == nullptr) return made;
        std::fwrite(header.data(), 1, header.size(), file);
        std::vector<uint8_t> block(1 << 20);
        uint32_t state = 12345;
        for (uint32_t written = 0; written < DataBytes; written += block.size()) {
            for (uint8_t& byte : block) {
                state = state * 1664525u + 1013904223u;
                byte = static_cast<uint8_t>(state >> 24);
            }
            std::fwrite(block.data(), 1, block.size(), file);
        }
        std::fclose(file);
        made.inputSize = header.size() + DataBytes;
        return made;
    }();
    return files;
}

void BM_WaveFilePairCopy(benchmark::State& state) {
    BenchFiles& files = Files();
    const std::string output = files.folder + "/pair.wav";
    std::vector<uint8_t> block(BlockBytes);
    for (auto _ : state) {
        tessaro::WaveFilePair pair;
        if (!pair.OpenInput(files.input)) {
            state.SkipWithError("input not opened");
            break;
        }
        const tessaro::WaveFormatEx& format = *pair.input->Format();
        if (!pair.OpenOutput(output, format.samplesPerSec, format.channels, format.bitsPerSample)) {
            state.SkipWithError("output not created");
            break;
        }
        for (;;) {
            uint32_t delivered = 0;
            uint32_t written = 0;
            if (!pair.ReadBlock(block.data(), BlockBytes, &delivered) || delivered == 0) break;
            pair.WriteBlock(block.data(), delivered, &written);
        }
        if (!pair.CloseAll()) {
            state.SkipWithError("output not finished");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * files.inputSize));
}

// A plain stdio copy; bufferBytes > 0 gives both streams a buffer of that
// size, as large as the one WaveFile uses.
void StdioCopy(benchmark::State& state, size_t bufferBytes) {
    BenchFiles& files = Files();
    const std::string output = files.folder + "/stdio.wav";
    std::vector<uint8_t> block(BlockBytes);
    std::vector<char> inBuffer(bufferBytes);
    std::vector<char> outBuffer(bufferBytes);
    for (auto _ : state) {
        FILE* in = std::fopen(files.input.c_str(), "rb");
        FILE* out = std::fopen(output.c_str(), "wb");
        if (in == nullptr || out == nullptr) {
            state.SkipWithError("files not opened");
            break;
        }
        if (bufferBytes > 0) {
            std::setvbuf(in, inBuffer.data(), _IOFBF, bufferBytes);
            std::setvbuf(out, outBuffer.data(), _IOFBF, bufferBytes);
        }
        size_t got;
        while ((got = std::fread(block.data(), 1, block.size(), in)) > 0) {
            std::fwrite(block.data(), 1, got, out);
        }
        std::fclose(in);
        if (std::fclose(out) != 0) {
            state.SkipWithError("output not finished");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * files.inputSize));
}

void BM_StdioCopy(benchmark::State& state) { StdioCopy(state, 0); }
void BM_StdioCopyLargeBuffer(benchmark::State& state) {
    StdioCopy(state, tessaro::WaveFile::IoBufferSize);
}

BENCHMARK(BM_WaveFilePairCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_StdioCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);
BENCHMARK(BM_StdioCopyLargeBuffer)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

// Prints the runs as usual and averages each benchmark's rate over its
// repetitions for the ratios.
class RateReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const auto rate = run.counters.find("bytes_per_second");
            if (run.run_type == Run::RT_Iteration && !run.error_occurred &&
                rate != run.counters.end()) {
                Mean& mean = rates[run.run_name.function_name];
                mean.sum += rate->second.value;
                ++mean.count;
            }
        }
    }
    double Rate(const std::string& name) const {
        const auto found = rates.find(name);
        return found == rates.end() ? 0.0 : found->second.sum / found->second.count;
    }

private:
    struct Mean {
        double sum = 0.0;
        int count = 0;
    };
    std::map<std::string, Mean> rates;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RateReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double pair = reporter.Rate("BM_WaveFilePairCopy");
    const double stdio = reporter.Rate("BM_StdioCopy");
    const double stdioLarge = reporter.Rate("BM_StdioCopyLargeBuffer");
    if (pair > 0 && stdio > 0 && stdioLarge > 0) {
        std::printf(
            "WaveFilePair %.0f MB/s; fread/fwrite %.0f MB/s (ratio %.2f); with %zu KiB "
            "stdio buffers %.0f MB/s (ratio %.2f)\n",
            pair / 1e6, stdio / 1e6, pair / stdio, tessaro::WaveFile::IoBufferSize / 1024,
            stdioLarge / 1e6, pair / stdioLarge);
    }
    benchmark::Shutdown();
    if (!Files().folder.empty()) {
        std::error_code error;
        std::filesystem::remove_all(Files().folder, error);
    }
    return 0;
}
