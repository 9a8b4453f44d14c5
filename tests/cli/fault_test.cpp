// The console program when the system fails it during a run: a full disk,
// the output's folder removed, the input cut short, a configuration that is
// gone or cannot be read.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/cli/cli_run.h"
#include "tests/support/mat_writer.h"
#include "tests/support/wav_fixture.h"

namespace tessaro::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t HeaderBytes = 56;
constexpr std::size_t BlockBytes = 16384;
constexpr const char* Separator = "====================================\n";

bool ClaimsSuccess(const Result& r) {
    return r.out.find(std::string("\nComplete\n") + Separator) != std::string::npos;
}

class CliFault : public ::testing::Test {
protected:
    void SetUp() override {
        config = folder.File("room.mat");
        MatWriter writer;
        writer.Text("label", "unit").Double("SR", 1, 1, {44100}).Double("H", 1, 4, {1, 0, 0, 1});
        ASSERT_TRUE(writer.Write(config, MatWriteVersion::Level5));
    }

    std::string WriteInput(const std::string& name, std::size_t frames) {
        return WriteSineInput(folder, name, frames);
    }

    // A long filter over two minutes of audio: a run of some seconds.
    void WriteLongRun() {
        longConfig = folder.File("long.mat");
        std::vector<double> h(4 * 200000);
        std::mt19937 rng(3);
        std::normal_distribution<double> dist(0, 0.001);
        for (auto& v : h) v = dist(rng);
        MatWriter writer;
        writer.Text("label", "long").Double("SR", 1, 1, {44100}).Double("H", 200000, 4, h);
        ASSERT_TRUE(writer.Write(longConfig, MatWriteVersion::Level5));
        longInput = WriteInput("long.wav", 44100 * 120);
    }

    // Waits until the run has written a few blocks of output.
    static bool WaitForBlocks(CliRun& run, const std::string& output) {
        return run.WaitForOutputBytes(output, HeaderBytes + 4 * BlockBytes);
    }

    // A run that could not write its whole output: told on stderr, a failing
    // status, no success in the report, and an output whose header never
    // claims bytes the file does not hold.
    static void ExpectFailedWrite(const Result& r, const std::string& output,
                                  std::size_t completeSize) {
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("Write File Error!"), std::string::npos) << r.err;
        EXPECT_FALSE(ClaimsSuccess(r)) << r.out;
        const auto out = ReadFileBytes(output);
        EXPECT_LT(out.size(), completeSize);
        if (out.size() >= HeaderBytes) {
            EXPECT_LE(LoadU32(out, 52), out.size() - HeaderBytes);
            EXPECT_LE(LoadU32(out, 4), out.size() - 8);
        }
    }

    ScratchFolder folder;
    std::string config, longConfig, longInput;
};

TEST_F(CliFault, FileSizeLimitStopsTheOutput) {
    const std::size_t frames = 40 * 4096 + 100;
    const std::string input = WriteInput("in.wav", frames);
    const std::string output = folder.File("out.wav");
    const Result r =
        RunCli(folder, {config, input, output},
               {.workingFolder = {}, .fileSizeLimit = HeaderBytes + 10 * BlockBytes + 1000});
    ExpectFailedWrite(r, output, HeaderBytes + 4 * frames);
}

// A limit smaller than the copy of the taps the reading child hands over.
TEST_F(CliFault, FileSizeLimitBelowTheFilterIsTold) {
    WriteLongRun();
    const Result r = RunCli(folder, {longConfig, WriteInput("in.wav", 100), folder.File("o.wav")},
                            {.workingFolder = {}, .fileSizeLimit = 1 << 20});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("file-size limit"), std::string::npos) << r.err;
}

TEST_F(CliFault, FullFileSystemStopsTheOutput) {
    const std::string disk = folder.File("disk");
    fs::create_directory(disk);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=256k") != 0) {
        GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
    }
    const std::size_t frames = 40 * 4096 + 100;
    const std::string input = WriteInput("in.wav", frames);
    const std::string output = disk + "/out.wav";
    const Result r = RunCli(folder, {config, input, output});
    // Read the output before the file system goes with it.
    ExpectFailedWrite(r, output, HeaderBytes + 4 * frames);
    umount2(disk.c_str(), MNT_DETACH);
}

// The output file lives on with no name once its folder is gone, so every
// write succeeds; the data reached no file the user can find, and the run
// must say so.
TEST_F(CliFault, OutputFolderRemovedDuringTheRun) {
    WriteLongRun();
    const std::string outFolder = folder.File("results");
    fs::create_directory(outFolder);
    const std::string output = outFolder + "/out.wav";
    CliRun run(folder, {longConfig, longInput, output});
    ASSERT_TRUE(WaitForBlocks(run, output)) << "the run ended before it could be disturbed";
    fs::remove_all(outFolder);
    const Result r = run.Wait();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("Write File Error!"), std::string::npos) << r.err;
    EXPECT_FALSE(ClaimsSuccess(r)) << r.out;
    EXPECT_FALSE(fs::exists(outFolder));
}

TEST_F(CliFault, InputTruncatedDuringTheRun) {
    WriteLongRun();
    const std::string output = folder.File("out.wav");
    const std::size_t kept = 1000000;  // of the data, not a whole number of blocks
    CliRun run(folder, {longConfig, longInput, output});
    ASSERT_TRUE(WaitForBlocks(run, output)) << "the run ended before it could be disturbed";
    ASSERT_EQ(truncate(longInput.c_str(), static_cast<off_t>(44 + kept)), 0);
    const Result r = run.Wait();
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("Error! Read wave file failed!"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.starts_with("Input File:   long.wav\n")) << r.out;
    EXPECT_TRUE(r.out.ends_with(std::string("\nError\n") + Separator + "\n")) << r.out;
    // The blocks read whole are written, in a finished file that says so.
    const auto out = ReadFileBytes(output);
    ASSERT_GE(out.size(), HeaderBytes);
    const std::size_t data = out.size() - HeaderBytes;
    EXPECT_EQ(LoadU32(out, 4), out.size() - 8);
    EXPECT_EQ(LoadU32(out, 52), data);
    EXPECT_EQ(data % BlockBytes, 0u);
    EXPECT_LE(data, kept);
    EXPECT_GT(data, 4 * BlockBytes);
}

TEST_F(CliFault, ConfigurationThatCannotBeReadIsRefused) {
    const std::string input = WriteInput("in.wav", 1000);
    const std::string output = folder.File("out.wav");
    const std::string dangling = folder.File("gone.mat");
    fs::create_symlink(folder.File("moved.mat"), dangling);
    const std::string locked = folder.File("locked.mat");
    fs::copy_file(config, locked);
    chmod(locked.c_str(), 0);
    std::vector<std::string> configs = {dangling, input + "/room.mat"};
    // Permissions do not stop the superuser.
    if (geteuid() != 0) configs.push_back(locked);
    for (const std::string& bad : configs) {
        SCOPED_TRACE(bad);
        const Result r = RunCli(folder, {bad, input, output});
        EXPECT_EQ(r.status, 1);
        EXPECT_FALSE(r.err.empty());
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(output));
    }
}

// A run killed outright leaves the previous output as it was, and no
// litter; two runs writing one output each leave a whole file, the last
// one's.
TEST_F(CliFault, KilledRunLeavesThePreviousOutput) {
    WriteLongRun();
    const std::string output = folder.File("out.wav");
    ASSERT_TRUE(WriteFileBytes(output, {'p', 'r', 'e', 'v'}));
    CliRun run(folder, {longConfig, longInput, output});
    ASSERT_TRUE(WaitForBlocks(run, output)) << "the run ended before it could be killed";
    run.Signal(SIGKILL);
    run.Wait();
    EXPECT_EQ(ReadFileBytes(output), (std::vector<uint8_t>{'p', 'r', 'e', 'v'}));
    for (const auto& entry : fs::directory_iterator(folder.Path())) {
        EXPECT_FALSE(entry.path().filename().string().ends_with(".part")) << entry.path();
    }
}

TEST_F(CliFault, TwoWritersOfOneOutputEachLeaveAWholeFile) {
    const std::string output = folder.File("out.wav");
    const std::string shortInput = WriteInput("short.wav", 40 * 4096);
    const std::string longerInput = WriteInput("longer.wav", 90 * 4096);
    CliRun first(folder, {config, longerInput, output});
    CliRun second(folder, {config, shortInput, output});
    EXPECT_EQ(second.Wait().status, 0);
    EXPECT_EQ(first.Wait().status, 0);
    const auto out = ReadFileBytes(output);
    ASSERT_GE(out.size(), HeaderBytes);
    EXPECT_EQ(LoadU32(out, 52), out.size() - HeaderBytes);
    const std::size_t frames = (out.size() - HeaderBytes) / 4;
    EXPECT_TRUE(frames == 40 * 4096 || frames == 90 * 4096) << frames;
}

// One unusable sample in a float input would silence the rest of the
// output: the run fails and names the frame.
class CliBadSample : public CliFault, public ::testing::WithParamInterface<float> {};

TEST_P(CliBadSample, FailsNamingTheFrame) {
    std::vector<float> samples(2 * 20000);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = 0.1f * std::sin(0.01f * i);
    samples[2 * 5000 + 1] = GetParam();
    std::vector<uint8_t> data(samples.size() * 4);
    std::memcpy(data.data(), samples.data(), data.size());
    ChunkImage format = PcmFormatChunk(44100, 2, 32);
    format.body[0] = 3;  // IEEE float
    const std::string input = folder.File("float.wav");
    ASSERT_TRUE(WriteFileBytes(input, RiffImage({format, Chunk("data", data)})));
    const Result r = RunCli(folder, {config, input, folder.File("out.wav")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("float.wav"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("frame 5000."), std::string::npos) << r.err;
    EXPECT_FALSE(ClaimsSuccess(r)) << r.out;
}

INSTANTIATE_TEST_SUITE_P(Samples, CliBadSample,
                         ::testing::Values(std::numeric_limits<float>::quiet_NaN(),
                                           -std::numeric_limits<float>::infinity(), 3e38f));
}  // namespace
}  // namespace tessaro::testing
