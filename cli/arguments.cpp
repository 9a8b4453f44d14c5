#include "cli/arguments.h"

#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>

#include "app/tessaro_dlg.h"

namespace tessaro {

const char* const Usage =
    "Usage: tessaro-cli [OPTIONS] CONFIG.mat INPUT.wav OUTPUT.wav\n"
    "       tessaro-cli [OPTIONS] --output-dir DIR CONFIG.mat INPUT.wav...\n"
    "\n"
    "Filters a stereo WAV file (16- or 24-bit PCM, or 32-bit float) through\n"
    "the 2x2 FIR filter of a MAT configuration (variables H, SR and label) and\n"
    "writes OUTPUT.wav with the input's format and length; float output is not\n"
    "clipped, and its values beyond full scale are counted as clipped ones.\n"
    "The run report goes to standard output,\n"
    "messages to standard error. With --output-dir, the configuration is\n"
    "loaded once and every input is written into DIR under its own name; a\n"
    "summary table follows the reports, and a failed file never stops the rest.\n"
    "CONFIG may also be a 4-channel WAV file of impulse responses in the\n"
    "column order of H, or the left input's stereo WAV (to left, to right)\n"
    "with --right-ir naming the right input's.\n"
    "\n"
    "  --gain DB            gain in dB applied after filtering (default 0)\n"
    "  --partition N        frames per block and filter partition: a power of\n"
    "                       two from 4096 to 262144, or auto to pick one by the\n"
    "                       filter's length (default 4096, as in the window)\n"
    "  --threads N          1 or 2 threads to filter on (default 2; same output)\n"
    "  --round nearest      round output samples to the nearest step instead of\n"
    "                       truncating them\n"
    "  --dither tpdf        add triangular dither before rounding to the nearest\n"
    "  --loudness           add EBU R128 loudness, loudness range and true peak\n"
    "                       of input and output, the filter's peak gain, the\n"
    "                       gain that never clips and, after clips, the gain\n"
    "                       that would have avoided them to each report\n"
    "                       (always in --report-json)\n"
    "  --right-ir FILE      the right input's impulse responses (stereo WAV)\n"
    "  --quiet              no progress bar\n"
    "  --output-dir DIR     filter every input into DIR (a batch)\n"
    "  --report-json FILE   also write the reports and the summary as JSON\n"
    "  --help               show this text\n"
    "  --version            show the version\n"
    "\n"
    "Exit status: 0 complete (every file), 1 refused or failed, 2 usage error,\n"
    "130 interrupted.\n";

namespace {

// An option with a value, given as "--name VALUE", "--name=VALUE" or
// "-n VALUE": nullopt when argv[*i] is another argument, an empty inner
// optional when the value is missing, else the value, with *i moved past it.
std::optional<std::optional<std::string_view>> OptionValue(int argc, char** argv, int* i,
                                                           std::string_view name,
                                                           std::string_view shortName) {
    const std::string_view arg = argv[*i];
    if (arg.size() > name.size() && arg.starts_with(name) && arg[name.size()] == '=') {
        return std::optional(arg.substr(name.size() + 1));
    }
    if (arg != name && (shortName.empty() || arg != shortName)) return std::nullopt;
    if (*i + 1 >= argc) return std::optional<std::string_view>();
    return std::optional<std::string_view>(argv[++*i]);
}

bool ParsePartition(std::string_view text, uint32_t* frames) {
    if (text == "auto") {
        *frames = AutoPartition;
        return true;
    }
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return false;
    if (!ValidPartition(value)) return false;
    *frames = value;
    return true;
}

int MissingValue(const char* option) {
    std::fprintf(stderr, "tessaro-cli: %s needs a value\n%s", option, Usage);
    return ExitUsage;
}

int BadValue(const char* option, const char* allowed, std::string_view given) {
    std::fprintf(stderr, "tessaro-cli: %s takes %s, not '%s'\n%s", option, allowed,
                 std::string(given).c_str(), Usage);
    return ExitUsage;
}

}  // namespace

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
        } else if (arg == "--loudness") {
            args->loudness = true;
        } else if (const auto found = OptionValue(argc, argv, &i, "--gain", "-g")) {
            if (!*found) return MissingValue(argv[i]);
            args->gain = std::string(**found);
        } else if (const auto threads = OptionValue(argc, argv, &i, "--threads", "")) {
            if (!*threads) return MissingValue(argv[i]);
            if (**threads != "1" && **threads != "2") {
                std::fprintf(stderr, "tessaro-cli: --threads takes 1 or 2, not '%s'\n%s",
                             std::string(**threads).c_str(), Usage);
                return ExitUsage;
            }
            args->threads = (**threads)[0] - '0';
        } else if (const auto partition = OptionValue(argc, argv, &i, "--partition", "")) {
            if (!*partition) return MissingValue(argv[i]);
            if (!ParsePartition(**partition, &args->partition)) {
                std::fprintf(stderr,
                             "tessaro-cli: --partition takes a power of two from 4096 to "
                             "262144 or auto, not '%s'\n%s",
                             std::string(**partition).c_str(), Usage);
                return ExitUsage;
            }
        } else if (const auto round = OptionValue(argc, argv, &i, "--round", "")) {
            if (!*round) return MissingValue(argv[i]);
            if (**round != "nearest") return BadValue("--round", "nearest", **round);
            // Dither rounds to the nearest step anyway, and stays.
            if (args->rounding == OutputRounding::Truncate)
                args->rounding = OutputRounding::Nearest;
        } else if (const auto dither = OptionValue(argc, argv, &i, "--dither", "")) {
            if (!*dither) return MissingValue(argv[i]);
            if (**dither != "tpdf") return BadValue("--dither", "tpdf", **dither);
            args->rounding = OutputRounding::TpdfDither;
        } else if (const auto folder = OptionValue(argc, argv, &i, "--output-dir", "-o")) {
            if (!*folder || (*folder)->empty()) return MissingValue(argv[i]);
            args->outputDir = std::string(**folder);
        } else if (const auto right = OptionValue(argc, argv, &i, "--right-ir", "")) {
            if (!*right || (*right)->empty()) return MissingValue(argv[i]);
            args->rightImpulse = std::string(**right);
        } else if (const auto json = OptionValue(argc, argv, &i, "--report-json", "")) {
            if (!*json || (*json)->empty()) return MissingValue(argv[i]);
            args->reportJson = std::string(**json);
        } else {
            std::fprintf(stderr, "tessaro-cli: unknown option '%s'\n%s", argv[i], Usage);
            return ExitUsage;
        }
    }
    if (!args->outputDir.empty() && args->files.size() < 2) {
        std::fprintf(stderr,
                     "tessaro-cli: expected a configuration and at least one input, got %zu "
                     "files\n%s",
                     args->files.size(), Usage);
        return ExitUsage;
    }
    if (args->outputDir.empty() && args->files.size() != 3) {
        std::fprintf(stderr, "tessaro-cli: expected 3 files, got %zu\n%s", args->files.size(),
                     Usage);
        return ExitUsage;
    }
    return std::nullopt;
}

}  // namespace tessaro
