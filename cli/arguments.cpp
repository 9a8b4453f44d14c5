#include "cli/arguments.h"

#include <cstdio>
#include <string_view>

namespace tessaro {

const char* const Usage =
    "Usage: tessaro-cli [--gain DB] [--quiet] CONFIG.mat INPUT.wav OUTPUT.wav\n"
    "\n"
    "Filters a 16-bit stereo WAV file through the 2x2 FIR filter of a MAT\n"
    "configuration (variables H, SR and label) and writes OUTPUT.wav with the\n"
    "input's format and length. The run report goes to standard output,\n"
    "messages to standard error.\n"
    "\n"
    "  --gain DB   gain in dB applied after filtering (default 0)\n"
    "  --quiet     no progress bar\n"
    "  --help      show this text\n"
    "  --version   show the version\n"
    "\n"
    "Exit status: 0 complete, 1 refused or failed, 2 usage error, 130 interrupted.\n";

std::optional<int> ParseArguments(int argc, char** argv, Arguments* args) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            args->files.emplace_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(Usage, stdout);
            return ExitOk;
        } else if (arg == "--version") {
            std::puts("tessaro-cli 1.0");
            return ExitOk;
        } else if (arg == "--quiet" || arg == "-q") {
            args->quiet = true;
        } else if (arg == "--gain" || arg == "-g") {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "tessaro-cli: %s needs a value\n%s", argv[i], Usage);
                return ExitUsage;
            }
            args->gain = argv[++i];
        } else if (arg.starts_with("--gain=")) {
            args->gain = std::string(arg.substr(7));
        } else {
            std::fprintf(stderr, "tessaro-cli: unknown option '%s'\n%s", argv[i], Usage);
            return ExitUsage;
        }
    }
    if (args->files.size() != 3) {
        std::fprintf(stderr, "tessaro-cli: expected 3 files, got %zu\n%s", args->files.size(),
                     Usage);
        return ExitUsage;
    }
    return std::nullopt;
}

}  // namespace tessaro
