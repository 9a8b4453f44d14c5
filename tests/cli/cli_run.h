#pragma once
// The real tessaro-cli as a child process, its standard output and error
// captured in files of the test's scratch folder.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/wav_fixture.h"

namespace tessaro::testing {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

struct CliOptions {
    std::string workingFolder;  // where the program runs; the test's own folder if empty
    // RLIMIT_FSIZE of the child, 0 for none. SIGXFSZ keeps its default
    // action, which would end the program: it must ignore the signal itself
    // so that a write past the limit fails with EFBIG as on a full disk.
    rlim_t fileSizeLimit = 0;
};

class CliRun {
public:
    CliRun(const ScratchFolder& folder, std::vector<std::string> args, CliOptions options = {})
        : outPath(folder.File("stdout.txt")), errPath(folder.File("stderr.txt")) {
        args.insert(args.begin(), TESSARO_CLI_PATH);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        // Everything the child needs is prepared here: between fork and exec
        // only async-signal-safe calls are allowed.
        const char* chdirTo =
            options.workingFolder.empty() ? nullptr : options.workingFolder.c_str();
        const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
        pid = fork();
        if (pid == 0) {
            const int in = open("/dev/null", O_RDONLY);
            const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 ||
                dup2(err, 2) < 0 || (chdirTo != nullptr && chdir(chdirTo) != 0)) {
                _exit(127);
            }
            if (options.fileSizeLimit != 0) {
                signal(SIGXFSZ, SIG_DFL);
                if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
            }
            execv(TESSARO_CLI_PATH, argv.data());
            _exit(127);
        }
        EXPECT_GT(pid, 0);
    }

    void Signal(int number) { kill(pid, number); }

    // Bytes the program has written to the output at path so far: the file
    // under that name, or the one it writes under no name or a temporary
    // one in the same folder before putting it in place.
    uint64_t OutputBytes(const std::string& path) const {
        namespace fs = std::filesystem;
        std::error_code error;
        uint64_t most = fs::file_size(path, error);
        if (error) most = 0;
        const std::string folder = fs::path(path).parent_path().string() + "/";
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        for (const auto& fd : fs::directory_iterator(fds, error)) {
            const std::string target = fs::read_symlink(fd.path(), error).string();
            if (error || !target.starts_with(folder) || !OpenForWriting(fd.path())) continue;
            const uint64_t size = fs::file_size(fd.path(), error);
            if (!error && size > most) most = size;
        }
        return most;
    }

    // Waits until the output holds more than bytes; false when the program
    // ended first.
    bool WaitForOutputBytes(const std::string& path, uint64_t bytes) {
        for (int i = 0; i < 12000 && !Ended(); ++i) {
            if (OutputBytes(path) > bytes) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    void Interrupt() { Signal(SIGINT); }

    // True once the program has ended; Wait then returns at once.
    bool Ended() {
        if (!ended) ended = waitpid(pid, &raw, WNOHANG) == pid;
        return ended;
    }

    Result Wait() {
        Result result;
        // A generous bound: a hung program fails the test instead of CI.
        for (int i = 0; i < 6000 && !Ended(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!Ended()) {
            kill(pid, SIGKILL);
            waitpid(pid, &raw, 0);
            ended = true;
            ADD_FAILURE() << "tessaro-cli did not end";
            return result;
        }
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        result.out = ReadFileText(outPath);
        result.err = ReadFileText(errPath);
        return result;
    }

private:
    // Whether /proc/PID/fd/N was opened for writing, as its fdinfo says.
    static bool OpenForWriting(const std::filesystem::path& fd) {
        const std::string info =
            fd.parent_path().parent_path().string() + "/fdinfo/" + fd.filename().string();
        const std::string text = ReadFileText(info);
        const std::size_t at = text.find("flags:");
        if (at == std::string::npos) return false;
        const unsigned long flags = std::stoul(text.substr(at + 6), nullptr, 8);
        return (flags & O_ACCMODE) != O_RDONLY;
    }

    pid_t pid = 0;
    int raw = 0;
    bool ended = false;
    std::string outPath, errPath;
};

inline Result RunCli(const ScratchFolder& folder, std::vector<std::string> args,
                     CliOptions options = {}) {
    return CliRun(folder, std::move(args), std::move(options)).Wait();
}

// A stereo sine of frames frames at 44.1 kHz, as folder/name.
inline std::string WriteSineInput(const ScratchFolder& folder, const std::string& name,
                                  std::size_t frames) {
    std::vector<int16_t> samples(2 * frames);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(10000 * std::sin(0.01 * static_cast<double>(i)));
    }
    const std::string path = folder.File(name);
    EXPECT_TRUE(WriteFileBytes(path, Stereo16WavImage(44100, samples)));
    return path;
}

}  // namespace tessaro::testing
