// Any bytes as the command line of tessaro-cli: the input split at NUL bytes
// gives the arguments after the program name. The parser must never crash,
// and it either ends the program with a known status or hands over exactly
// three files, or, for a batch, an output folder, a configuration and at
// least one input. It prints usage texts to stdout and stderr; scripts/fuzz
// runs this target with -close_fd_mask=3 so they do not flood the log.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/arguments.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Each argument in its own allocation, so reading past one is caught.
    // No bytes, no arguments.
    std::vector<std::string> words(1, "tessaro-cli");
    if (size > 0) words.emplace_back();
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\0') {
            words.emplace_back();
        } else {
            words.back() += static_cast<char>(data[i]);
        }
    }
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    tessaro::Arguments args;
    const auto status = tessaro::ParseArguments(static_cast<int>(words.size()), argv.data(), &args);
    if (status) {
        Check(*status == tessaro::ExitOk || *status == tessaro::ExitUsage);
    } else {
        Check(args.outputDir.empty() ? args.files.size() == 3 : args.files.size() >= 2);
        Check(args.threads == 1 || args.threads == 2);
    }
    return 0;
}
