#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/cli/cli_run.h"
#include "tests/support/mat_writer.h"
#include "tests/support/wav_fixture.h"

namespace tessaro::testing {
namespace {

// Every path under root, but the captured stdout and stderr of the runs.
std::set<std::string> FolderListing(const std::string& root) {
    std::set<std::string> paths;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        if (name != "stdout.txt" && name != "stderr.txt") paths.insert(entry.path().string());
    }
    return paths;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        config = folder.File("room.mat");
        MatWriter writer;
        writer.Text("label", "unit").Double("SR", 1, 1, {44100}).Double("H", 1, 4, {1, 0, 0, 1});
        ASSERT_TRUE(writer.Write(config, MatWriteVersion::Level5));
        input = WriteInput("in.wav", 9000);
        output = folder.File("out.wav");
    }

    std::string WriteInput(const std::string& name, std::size_t frames) {
        return WriteSineInput(folder, name, frames);
    }

    ScratchFolder folder;
    std::string config, input, output;
};

TEST_F(CliTest, CompleteRunPrintsTheReport) {
    const Result r = RunCli(folder, {config, input, output});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(
        r.out.starts_with("Input File:   in.wav\nSample Rate:   44100 Hz\n"
                          "Output File:   out.wav\nConfig File:   room.mat\n"
                          "Gain Setting:   0.00 dB\n"))
        << r.out;
    EXPECT_TRUE(r.out.ends_with("\nComplete\n====================================\n\n")) << r.out;
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    // The unit filter passes the samples through; the float round trip and
    // truncation toward zero may take one step off.
    const auto in = ReadFileBytes(input);
    const auto out = ReadFileBytes(output);
    ASSERT_EQ(out.size(), 56 + 9000u * 4);
    const std::size_t start = DataStart(in);
    for (std::size_t i = 0; i < 9000u * 2; ++i) {
        const auto expected = static_cast<int16_t>(LoadU16(in, start + 2 * i));
        const auto actual = static_cast<int16_t>(LoadU16(out, 56 + 2 * i));
        ASSERT_LE(std::abs(expected - actual), 1) << i;
    }
}

// A batch: good files come out as single runs make them, under their own
// names, whatever fails beside them; the summary and the JSON tell each
// file's fate, and the exit status the failure.
TEST_F(CliTest, BatchFiltersEveryGoodFileWhateverFailsBesideIt) {
    std::filesystem::create_directory(folder.File("a"));
    std::filesystem::create_directory(folder.File("b"));
    const std::string first = WriteInput("a/take.wav", 9000);
    const std::string second = WriteInput("b/other.wav", 20000);
    const std::string broken = folder.File("a/broken.wav");
    ASSERT_TRUE(WriteFileBytes(broken, std::vector<uint8_t>{'R', 'I', 'F', 'F', 1, 2}));
    const std::string clash = WriteInput("b/take.wav", 100);
    const std::string results = folder.File("results");
    const std::string json = folder.File("report.json");
    const Result r = RunCli(folder, {"--output-dir", results, "--report-json", json, config, first,
                                     broken, folder.File("a/gone.wav"), second, clash});
    EXPECT_EQ(r.status, 1) << r.err;
    for (const std::string& good : {first, second}) {
        const std::string single = folder.File("single.wav");
        ASSERT_EQ(RunCli(folder, {config, good, single}).status, 0);
        const std::string name = std::filesystem::path(good).filename().string();
        EXPECT_EQ(ReadFileBytes(results + "/" + name), ReadFileBytes(single)) << name;
    }
    EXPECT_EQ(ReadFileBytes(results + "/take.wav").size(), 56 + 9000u * 4)
        << "the later input of the same name must not replace the first one's output";
    EXPECT_NE(r.err.find("an earlier input wrote"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("a/gone.wav"), std::string::npos) << r.err;
    // One report per file that ran, then the table.
    const std::size_t table = r.out.find("\nFile ");
    ASSERT_NE(table, std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Input File:   other.wav\n"), std::string::npos);
    const std::string summary = r.out.substr(table + 1);
    const char* statuses[] = {"Complete", "Error", "Refused", "Complete", "Refused"};
    std::size_t at = summary.find('\n');
    for (const char* status : statuses) {
        const std::size_t end = summary.find('\n', at + 1);
        ASSERT_NE(end, std::string::npos) << summary;
        EXPECT_NE(summary.substr(at, end - at).find(status), std::string::npos) << summary;
        at = end;
    }
    const std::string text = ReadFileText(json);
    EXPECT_NE(text.find("\"failed\": 3\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"status\": \"Complete\""), std::string::npos) << text;
    EXPECT_NE(text.find("Output File:   other.wav\\n"), std::string::npos) << text;
    // Loudness is always measured for JSON, but its lines only go into the
    // reports with --loudness.
    EXPECT_NE(text.find("\"input_loudness_lufs\": -"), std::string::npos) << text;
    EXPECT_NE(text.find("\"no_clip_gain_db\": -"), std::string::npos) << text;
    EXPECT_EQ(r.out.find("Input Loudness:"), std::string::npos);
}

// The README's GNU parallel line, with this machine as its only login (":"
// runs jobs locally, as parallel's own local login): every output as a
// single run makes it, every JSON report complete.
TEST_F(CliTest, GnuParallelLineFiltersACorpus) {
    if (std::system("command -v parallel >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "GNU parallel is not installed";
    }
    std::filesystem::create_directory(folder.File("takes"));
    std::filesystem::create_directory(folder.File("out"));
    std::vector<std::string> takes;
    for (int i = 0; i < 4; ++i) {
        takes.push_back(WriteInput("takes/take" + std::to_string(i) + ".wav", 5000 + 3000 * i));
    }
    ASSERT_TRUE(WriteFileBytes(folder.File("nodes"), std::vector<uint8_t>{'2', '/', ':', '\n'}));
    const std::string command =
        "cd '" + folder.Path() + "' && parallel --will-cite --sshloginfile nodes --workdir . '" +
        std::string(TESSARO_CLI_PATH) +
        "' --quiet --output-dir out --report-json out/{/.}.json room.mat {} "
        "::: takes/*.wav >parallel.out 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << ReadFileText(folder.File("parallel.out"));
    for (const std::string& take : takes) {
        const std::string name = std::filesystem::path(take).stem().string();
        ASSERT_EQ(RunCli(folder, {config, take, output}).status, 0);
        EXPECT_EQ(ReadFileBytes(folder.File("out/" + name + ".wav")), ReadFileBytes(output))
            << name;
        EXPECT_NE(ReadFileText(folder.File("out/" + name + ".json")).find("\"failed\": 0"),
                  std::string::npos)
            << name;
    }
}

TEST_F(CliTest, GainIsParsedAsTheDialogDoes) {
    Result r = RunCli(folder, {"--gain", "-6", config, input, output});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Gain Setting:   -6.00 dB\n"), std::string::npos);
    r = RunCli(folder, {"--gain=+1.5", config, input, output});
    EXPECT_NE(r.out.find("Gain Setting:   1.50 dB\n"), std::string::npos);

    for (const char* bad : {"loud", "inf", "nan", "1,5"}) {
        std::filesystem::remove(output);
        r = RunCli(folder, {"--gain", bad, config, input, output});
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.err, "Please enter a number.\n") << bad;
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(std::filesystem::exists(output));
    }
}

TEST_F(CliTest, UsageErrors) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{},
                                               {config, input},
                                               {config, input, output, output},
                                               {"--bogus", config, input, output},
                                               {config, input, output, "--gain"}}) {
        const Result r = RunCli(folder, args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("Usage: tessaro-cli"), std::string::npos);
        EXPECT_EQ(r.out, "");
    }
    Result r = RunCli(folder, {"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: tessaro-cli"), std::string::npos);
    r = RunCli(folder, {"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "tessaro-cli 1.0\n");
}

TEST_F(CliTest, RefusalsGoToStandardError) {
    // Each case: arguments, the one line expected on standard error.
    const std::string notMat = folder.File("text.mat");
    ASSERT_TRUE(WriteFileBytes(notMat, {'n', 'o'}));
    const std::string badWav = folder.File("bad.wav");
    ASSERT_TRUE(WriteFileBytes(badWav, {'R', 'I', 'F', 'F'}));
    const std::string rate48 = folder.File("r48.mat");
    MatWriter writer;
    writer.Text("label", "x").Double("SR", 1, 1, {48000}).Double("H", 1, 4, {1, 0, 0, 1});
    ASSERT_TRUE(writer.Write(rate48, MatWriteVersion::Level5));

    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{notMat, input, output},
         "Error! Failed to Open the MAT file!\nInvalid Configuration file\n"},
        {{config, badWav, output}, "<Error> Failed to Open the input wave file!\n"},
        {{rate48, input, output},
         "Error: Sampling rate mismatch between configuration file and WAV file\n"},
        {{config, input, input}, "Error, Same file is used for input and output!\n"},
        {{config, input, folder.File("no/such/folder/out.wav")}, ""},
        {{folder.File("missing.mat"), input, output}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args[2]);
        const Result r = RunCli(folder, c.args);
        EXPECT_EQ(r.status, 1);
        if (!c.err.empty()) {
            EXPECT_EQ(r.err, c.err);
        } else {
            EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;
        }
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(CliTest, PathsThatNameNoFileAreRefusedWithAMessage) {
    // Run inside work/, beside the existing folder work/sub, so that "." and
    // ".." are the test's own folders.
    const std::string work = folder.File("work");
    std::filesystem::create_directories(work + "/sub");
    struct Case {
        std::vector<std::string> args;
        std::string named;  // the argument the message names
    };
    const Case cases[] = {
        {{config, input, "."}, "."},
        {{config, input, ".."}, ".."},
        {{config, input, "sub"}, "sub"},
        {{config, input, "sub/"}, "sub/"},
        {{config, input, "sub/.."}, "sub/.."},
        {{config, input, "new/"}, "new/"},
        {{config, input, folder.Path()}, folder.Path()},
        {{".", input, "out.wav"}, "."},
        {{config, ".", "out.wav"}, "."},
        {{config, "..", "out.wav"}, ".."},
    };
    const std::set<std::string> before = FolderListing(folder.Path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args[2]);
        const Result r = RunCli(folder, c.args, {.workingFolder = work});
        EXPECT_EQ(r.status, 1);
        // One line, from the program, naming what it could not use.
        EXPECT_TRUE(r.err.starts_with("tessaro-cli: ")) << r.err;
        EXPECT_NE(r.err.find("'" + c.named + "'"), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(FolderListing(folder.Path()), before);
    }
}

// Ctrl-C, and what schedulers and hang-ups send: the run stops at its next
// block, the output is finished, the report and JSON say so, and the exit
// status is 128 + the signal.
class CliSignal : public CliTest, public ::testing::WithParamInterface<int> {};

TEST_P(CliSignal, AbortsTheRunAndFinishesTheOutput) {
    // A long filter over a long input, so that the run is surely going on.
    const std::string longConfig = folder.File("long.mat");
    std::vector<double> h(4 * 200000, 0.0);
    std::mt19937 rng(3);
    std::normal_distribution<double> dist(0, 0.001);
    for (auto& v : h) v = dist(rng);
    MatWriter writer;
    writer.Text("label", "long").Double("SR", 1, 1, {44100}).Double("H", 200000, 4, h);
    ASSERT_TRUE(writer.Write(longConfig, MatWriteVersion::Level5));
    const std::string longInput = WriteInput("long.wav", 44100 * 600);
    const std::string json = folder.File("report.json");

    CliRun run(folder, {"--report-json", json, longConfig, longInput, output});
    ASSERT_TRUE(run.WaitForOutputBytes(output, 56 + 16384));
    run.Signal(GetParam());
    const Result r = run.Wait();
    EXPECT_EQ(r.status, 128 + GetParam()) << r.err;
    EXPECT_TRUE(r.out.ends_with("\nAborted\n====================================\n\n")) << r.out;
    EXPECT_NE(ReadFileText(json).find("\"Aborted\""), std::string::npos) << ReadFileText(json);
    const auto out = ReadFileBytes(output);
    ASSERT_GE(out.size(), 56u);
    EXPECT_EQ(LoadU32(out, 52), out.size() - 56);  // header patched
    EXPECT_EQ(LoadU32(out, 44), 0u);
    EXPECT_LT(out.size(), 56 + 44100u * 600 * 4);
}

INSTANTIATE_TEST_SUITE_P(Signals, CliSignal, ::testing::Values(SIGINT, SIGTERM, SIGHUP));

TEST_F(CliTest, InterruptBeforeTheRunEndsAtOnce) {
    // A big configuration takes a while to load; the interrupt lands then.
    const std::string bigConfig = folder.File("big.mat");
    std::vector<double> h(4 * 524288, 0.001);
    MatWriter writer;
    writer.Text("label", "big").Double("SR", 1, 1, {44100}).Double("H", 524288, 4, h);
    ASSERT_TRUE(writer.Write(bigConfig, MatWriteVersion::Level5Compressed));
    CliRun run(folder, {bigConfig, input, output});
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    run.Interrupt();
    const Result r = run.Wait();
    if (r.status == 0) GTEST_SKIP() << "the run finished before the interrupt arrived";
    EXPECT_EQ(r.status, 130);
    if (r.out.empty()) {
        EXPECT_FALSE(std::filesystem::exists(output));
    }
}

}  // namespace
}  // namespace tessaro::testing
