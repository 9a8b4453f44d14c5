#include "cli/arguments.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace tessaro {
namespace {

struct ParseCase {
    const char* title;
    std::vector<std::string> words;  // after the program name
    std::optional<int> status;
    std::string gain = "0";
    bool quiet = false;
    std::vector<std::string> files = {};
    const char* message = "";  // the start of what goes to stderr
    int threads = 2;
    uint32_t partition = 4096;
    std::string outputDir = "";
    OutputRounding rounding = OutputRounding::Truncate;
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.title; }

class ParseArgumentsTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseArgumentsTest, GivesFilesOptionsOrAnExitStatus) {
    const ParseCase& c = GetParam();
    std::vector<std::string> words = c.words;
    words.insert(words.begin(), "tessaro-cli");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    Arguments args;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const std::optional<int> status =
        ParseArguments(static_cast<int>(words.size()), argv.data(), &args);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(status, c.status);
    EXPECT_EQ(err.substr(0, std::string(c.message).size()), c.message);
    if (status) {
        // Usage errors explain themselves and show the usage; help and
        // version go to stdout only.
        if (*status == ExitUsage) {
            EXPECT_NE(err.find(Usage), std::string::npos);
            EXPECT_TRUE(out.empty());
        } else {
            EXPECT_TRUE(err.empty());
            EXPECT_FALSE(out.empty());
        }
        return;
    }
    EXPECT_TRUE(out.empty() && err.empty());
    EXPECT_EQ(args.gain, c.gain);
    EXPECT_EQ(args.quiet, c.quiet);
    EXPECT_EQ(args.files, c.files);
    EXPECT_EQ(args.threads, c.threads);
    EXPECT_EQ(args.partition, c.partition);
    EXPECT_EQ(args.outputDir, c.outputDir);
    EXPECT_EQ(args.rounding, c.rounding);
}

const std::vector<std::string> Three = {"a.mat", "b.wav", "c.wav"};

INSTANTIATE_TEST_SUITE_P(
    Forms, ParseArgumentsTest,
    ::testing::Values(ParseCase{"plain", Three, std::nullopt, "0", false, Three},
                      ParseCase{"gain and quiet anywhere",
                                {"a.mat", "-q", "--gain", "-6", "b.wav", "c.wav"},
                                std::nullopt,
                                "-6",
                                true,
                                Three},
                      ParseCase{"short gain, last one wins",
                                {"-g", "1", "--gain=2.5", "a.mat", "b.wav", "c.wav", "--quiet"},
                                std::nullopt,
                                "2.5",
                                true,
                                Three},
                      ParseCase{"empty gain after =",
                                {"--gain=", "a", "b", "c"},
                                std::nullopt,
                                "",
                                false,
                                {"a", "b", "c"}},
                      ParseCase{"options end at --",
                                {"--", "--gain", "-", ""},
                                std::nullopt,
                                "0",
                                false,
                                {"--gain", "-", ""}},
                      ParseCase{"a lone dash and an empty word are files",
                                {"-", "", "x"},
                                std::nullopt,
                                "0",
                                false,
                                {"-", "", "x"}},
                      ParseCase{"one thread",
                                {"--threads", "1", "a", "b", "c"},
                                std::nullopt,
                                "0",
                                false,
                                {"a", "b", "c"},
                                "",
                                1},
                      ParseCase{"two threads after =",
                                {"a", "--threads=2", "b", "c"},
                                std::nullopt,
                                "0",
                                false,
                                {"a", "b", "c"},
                                "",
                                2},
                      ParseCase{"threads other than 1 or 2",
                                {"--threads=0", "a", "b", "c"},
                                ExitUsage,
                                "0",
                                false,
                                {},
                                "tessaro-cli: --threads takes 1 or 2, not '0'\n"},
                      ParseCase{"threads without a value",
                                {"a", "b", "c", "--threads"},
                                ExitUsage,
                                "0",
                                false,
                                {},
                                "tessaro-cli: --threads needs a value\n"},
                      ParseCase{"longest partition",
                                {"--partition", "262144", "a", "b", "c"},
                                std::nullopt,
                                "0",
                                false,
                                {"a", "b", "c"},
                                "",
                                2,
                                262144},
                      ParseCase{"partition by filter length",
                                {"a", "b", "--partition=auto", "c"},
                                std::nullopt,
                                "0",
                                false,
                                {"a", "b", "c"},
                                "",
                                2,
                                0},
                      ParseCase{"partition not a power of two",
                                {"--partition", "12288", "a", "b", "c"},
                                ExitUsage,
                                "0",
                                false,
                                {},
                                "tessaro-cli: --partition takes a power of two from 4096 to "
                                "262144 or auto, not '12288'\n"},
                      ParseCase{"partition out of range or not a number",
                                {"--partition=2048", "--partition=524288", "a", "b", "c"},
                                ExitUsage,
                                "0",
                                false,
                                {},
                                "tessaro-cli: --partition takes a power of two from 4096 to "
                                "262144 or auto, not '2048'\n"},
                      ParseCase{"help wins over later errors", {"a", "-h", "--bogus"}, ExitOk},
                      ParseCase{"version", {"--version"}, ExitOk},
                      ParseCase{"unknown option",
                                {"--gains", "1", "a", "b", "c"},
                                ExitUsage,
                                "0",
                                false,
                                {},
                                "tessaro-cli: unknown option '--gains'\n"},
                      ParseCase{"gain without a value",
                                {"a", "b", "c", "-g"},
                                ExitUsage,
                                "0",
                                false,
                                {},
                                "tessaro-cli: -g needs a value\n"},
                      ParseCase{"too few files",
                                {"a", "b"},
                                ExitUsage,
                                "0",
                                false,
                                {},
                                "tessaro-cli: expected 3 files, got 2\n"},
                      ParseCase{"a batch takes any number of inputs",
                                {"-o", "out", "a", "b", "c", "d"},
                                std::nullopt,
                                "0",
                                false,
                                {"a", "b", "c", "d"},
                                "",
                                2,
                                4096,
                                "out"},
                      ParseCase{"dither wins over rounding, in either order",
                                {"--dither", "tpdf", "a", "b", "c", "--round=nearest"},
                                std::nullopt,
                                "0",
                                false,
                                {"a", "b", "c"},
                                "",
                                2,
                                4096,
                                "",
                                OutputRounding::TpdfDither},
                      ParseCase{"rounding to nearest",
                                {"a", "--round", "nearest", "b", "c"},
                                std::nullopt,
                                "0",
                                false,
                                {"a", "b", "c"},
                                "",
                                2,
                                4096,
                                "",
                                OutputRounding::Nearest},
                      ParseCase{"dither of another kind",
                                {"--dither", "rpdf", "a", "b", "c"},
                                ExitUsage,
                                "0",
                                false,
                                {},
                                "tessaro-cli: --dither takes tpdf, not 'rpdf'\n"},
                      ParseCase{"a batch without an input",
                                {"--output-dir=out", "a"},
                                ExitUsage,
                                "0",
                                false,
                                {},
                                "tessaro-cli: expected a configuration and at least one input"},
                      ParseCase{"too many files",
                                {"a", "b", "c", "d"},
                                ExitUsage,
                                "0",
                                false,
                                {},
                                "tessaro-cli: expected 3 files, got 4\n"},
                      ParseCase{"no arguments",
                                {},
                                ExitUsage,
                                "0",
                                false,
                                {},
                                "tessaro-cli: expected 3 files, got 0\n"}));

}  // namespace
}  // namespace tessaro
