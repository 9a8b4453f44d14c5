#pragma once
// The command line of tessaro-cli: options, the file names (configuration,
// input and output, or with an output folder the configuration and any
// number of inputs), and the exit statuses the program ends with.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "processing/level_meters.h"

namespace tessaro {

constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;
constexpr int ExitInterrupted = 130;

extern const char* const Usage;

struct Arguments {
    std::string gain = "0";
    bool quiet = false;
    bool loudness = false;  // loudness and headroom lines in the reports
    int threads = 2;
    uint32_t partition = 4096;  // 0: picked by the filter's length
    OutputRounding rounding = OutputRounding::Truncate;
    std::string outputDir;     // set: a batch, each output named as its input
    std::string reportJson;    // set: the reports also go there as JSON
    std::string rightImpulse;  // set: CONFIG is the left input's stereo WAV, this the right's
    std::vector<std::string> files;
};

// Parses the command line; returns an exit status when the program is done.
std::optional<int> ParseArguments(int argc, char** argv, Arguments* args);

}  // namespace tessaro
