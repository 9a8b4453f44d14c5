// tessaro-cli: filters a WAV file through a MAT filter configuration with the
// same checks, messages and report as the dialog.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/control_ids.h"
#include "app/tessaro_dlg.h"
#include "cli/arguments.h"
#include "cli/console_toolkit.h"
#include "cli/run_summary.h"

namespace tessaro {
namespace {

bool ReportMissing(const std::string& path, bool folderOnly) {
    std::error_code error;
    const std::filesystem::path target = folderOnly
                                             ? std::filesystem::absolute(path, error).parent_path()
                                             : std::filesystem::path(path);
    if (!error && std::filesystem::exists(target, error)) return false;
    std::fprintf(stderr, "tessaro-cli: cannot open '%s': %s\n",
                 folderOnly ? target.c_str() : path.c_str(), std::strerror(ENOENT));
    return true;
}

// True, after saying so, when path names a folder rather than a file: an
// existing folder, or a path ending in '/', "." or "..". The dialog would
// take some of these for a file still to be made.
bool ReportFolder(const std::string& path, const char* role) {
    const std::filesystem::path name = std::filesystem::path(path).filename();
    std::error_code error;
    const bool folder = path.ends_with('/') || name == "." || name == ".." ||
                        std::filesystem::is_directory(path, error);
    if (folder) {
        std::fprintf(stderr, "tessaro-cli: cannot use '%s' as the %s file: it names a folder\n",
                     path.c_str(), role);
    }
    return folder;
}

// The interrupt key, and the signals with which job schedulers, time limits
// and terminal hang-ups stop a program (SIGTERM, SIGHUP): before the run
// they end the program at once; during the run they ask for an abort at the
// next block boundary, so the output is finished and the report written;
// afterwards they are only remembered for the exit status, 128 + the signal.
class InterruptWatcher {
public:
    InterruptWatcher() {
        sigemptyset(&set_);
        for (int stop : StopSignals) sigaddset(&set_, stop);
        sigaddset(&set_, WakeSignal);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        thread_ = std::thread([this] { Watch(); });
    }
    ~InterruptWatcher() {
        stop_ = true;
        pthread_kill(thread_.native_handle(), WakeSignal);
        thread_.join();
    }
    void RunStarted(CTessaroDlg* dialog) {
        std::lock_guard<std::mutex> lock(mutex_);
        dialog_ = dialog;
        phase_ = Phase::Running;
    }
    // The dialog may go away after this.
    void RunEnded() {
        std::lock_guard<std::mutex> lock(mutex_);
        dialog_ = nullptr;
        phase_ = Phase::Ended;
    }
    bool Interrupted() const { return signal_ != 0; }
    // 128 + the first stopping signal that came.
    int ExitStatus() const { return 128 + signal_; }

private:
    static constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};
    static constexpr int WakeSignal = SIGUSR1;
    enum class Phase { Preparing, Running, Ended };

    void Watch() {
        while (!stop_) {
            const int number = sigwaitinfo(&set_, nullptr);
            if (number <= 0 || number == WakeSignal) continue;
            int none = 0;
            signal_.compare_exchange_strong(none, number);
            std::lock_guard<std::mutex> lock(mutex_);
            if (phase_ == Phase::Preparing) std::_Exit(ExitStatus());
            if (phase_ == Phase::Running) dialog_->RequestAbort();
        }
    }

    sigset_t set_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> signal_{0};
    std::mutex mutex_;
    CTessaroDlg* dialog_ = nullptr;
    Phase phase_ = Phase::Preparing;
};

std::string WithNewlines(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
}

std::string CannotUse(const std::string& argument, const char* role) {
    return "cannot use '" + argument + "' as the " + role;
}

// Carries out one step; false when it refused. The dialog explains most
// refusals itself, but passes over some in silence (a chosen path with no
// file name, for one): those get a message naming the argument, so that no
// refusal goes unexplained.
bool Step(ConsoleToolkit& toolkit, const std::string& refusal, const std::function<bool()>& step) {
    const int errorsBefore = toolkit.ErrorsWritten();
    if (step()) return true;
    if (toolkit.ErrorsWritten() == errorsBefore) {
        std::fprintf(stderr, "tessaro-cli: %s\n", refusal.c_str());
    }
    return false;
}

// Answers the dialog's next file chooser with path and gives the command;
// false, with a message, when the dialog did not accept the file.
bool Choose(ConsoleToolkit& toolkit, CTessaroDlg& dialog, const std::string& path, const char* role,
            void (CTessaroDlg::*command)(), bool (CTessaroDlg::*accepted)() const) {
    return Step(toolkit, CannotUse(path, role), [&] {
        toolkit.SetNextChoice(std::filesystem::absolute(path).string());
        (dialog.*command)();
        return (dialog.*accepted)();
    });
}

// Starts the dialog, gives it the gain and loads the configuration, as a
// user would; false, with a message, when it refused one.
bool SetUpConfiguration(ConsoleToolkit& toolkit, CTessaroDlg& dialog, const Arguments& args) {
    if (!Step(toolkit, "cannot start", [&] { return dialog.OnInitDialog(); })) return false;
    toolkit.SetFieldText(control::Gain, args.gain);
    if (!Step(toolkit, CannotUse(args.gain, "gain"), [&] { return dialog.UpdateGain(); })) {
        return false;
    }
    const std::string& config = args.files[0];
    if (!args.rightImpulse.empty() && ReportMissing(args.rightImpulse, false)) return false;
    return !ReportMissing(config, false) && Choose(toolkit, dialog, config, "configuration file",
                                                   &CTessaroDlg::OnLoad, &CTessaroDlg::ConfigReady);
}

// Chooses the input and output files; false, with a message, when the dialog
// refused one or cannot start the run.
bool SetUpFiles(ConsoleToolkit& toolkit, CTessaroDlg& dialog, const std::string& input,
                const std::string& output) {
    if (ReportMissing(input, false) || !Choose(toolkit, dialog, input, "input file",
                                               &CTessaroDlg::OnOpen, &CTessaroDlg::InputReady)) {
        return false;
    }
    return !ReportFolder(output, "output") && !ReportMissing(output, true) &&
           Choose(toolkit, dialog, output, "output file", &CTessaroDlg::OnSaveAs,
                  &CTessaroDlg::OutputReady) &&
           Step(toolkit, "cannot start the run",
                [&] { return toolkit.ControlEnabled(control::Process); });
}

// Runs the filter, prints the report the run added to the log and fills in
// result; returns the exit status.
int Process(ConsoleToolkit& toolkit, CTessaroDlg& dialog, InterruptWatcher& interrupts,
            FileResult* result) {
    const int errorsBefore = toolkit.ErrorsWritten();
    const std::string logBefore = WithNewlines(toolkit.LogText());
    const auto started = std::chrono::steady_clock::now();
    interrupts.RunStarted(&dialog);
    dialog.StartRun();
    // An interrupt that came while the run was starting did nothing: the
    // abort is ignored until the run is marked running, and the start clears
    // it. The watcher records the interrupt before it asks for the abort, so
    // either this check sees the record and asks again, after the clearing,
    // or the record comes later, and the watcher's own request with it.
    if (interrupts.Interrupted()) dialog.RequestAbort();
    toolkit.RunUntil([&] { return !dialog.Running(); });
    interrupts.RunEnded();
    toolkit.FinishProgress();

    std::string report = WithNewlines(toolkit.LogText());
    if (report.starts_with(logBefore)) report.erase(0, logBefore.size());
    std::fwrite(report.data(), 1, report.size(), stdout);
    result->seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    result->report = report;
    // A run that stopped before filtering (a file that would not open, a
    // rate mismatch) has no levels, and no report either.
    if (dialog.ReportWritten()) {
        const LevelMeters& meters = dialog.Meters();
        result->levels = FileResult::Levels{meters.inRmsDb, meters.inPeakDb, meters.outRmsDb,
                                            meters.outPeakDb, meters.clipCount};
        result->loudness = dialog.LoudnessFigures();
    }
    result->ok = dialog.ReportWritten() && dialog.LastRunOk() &&
                 dialog.LastRunStatus() == RunComplete && !interrupts.Interrupted();
    if (result->ok) {
        result->status = "Complete";
    } else if (dialog.LastRunStatus() == RunAborted || interrupts.Interrupted()) {
        result->status = "Aborted";
    } else {
        result->status = "Error";
    }
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "tessaro-cli: cannot write the report: %s\n", std::strerror(errno));
        result->ok = false;
        return ExitFailure;
    }

    if (interrupts.Interrupted()) return interrupts.ExitStatus();
    if (result->ok) return ExitOk;
    if (toolkit.ErrorsWritten() == errorsBefore) {
        std::fputs("tessaro-cli: the run failed\n", stderr);
    }
    return ExitFailure;
}

// Writes the JSON report when asked; false, with a message, when it cannot.
bool WriteJson(const Arguments& args, const std::vector<FileResult>& results) {
    if (args.reportJson.empty()) return true;
    const std::string text = ReportJson(args.files[0], results);
    std::FILE* file = std::fopen(args.reportJson.c_str(), "wb");
    const bool written =
        file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    const bool closed = file != nullptr && std::fclose(file) == 0;
    if (written && closed) return true;
    std::fprintf(stderr, "tessaro-cli: cannot write '%s': %s\n", args.reportJson.c_str(),
                 std::strerror(errno));
    return false;
}

// Every input into the output folder under its own name, the configuration
// loaded once. A file that fails or is refused is counted and the rest go
// on; an interrupt aborts the current run and ends the batch.
int RunBatch(ConsoleToolkit& toolkit, CTessaroDlg& dialog, InterruptWatcher& interrupts,
             const Arguments& args) {
    std::error_code error;
    std::filesystem::create_directories(args.outputDir, error);
    if (error || !std::filesystem::is_directory(args.outputDir, error)) {
        std::fprintf(stderr, "tessaro-cli: cannot use '%s' as the output folder: %s\n",
                     args.outputDir.c_str(),
                     error ? error.message().c_str() : "it is not a folder");
        return ExitFailure;
    }
    if (!SetUpConfiguration(toolkit, dialog, args)) return ExitFailure;
    std::vector<FileResult> results;
    std::vector<std::string> outputsTaken;
    for (std::size_t i = 1; i < args.files.size() && !interrupts.Interrupted(); ++i) {
        FileResult result;
        result.input = args.files[i];
        const std::string name = std::filesystem::path(result.input).filename().string();
        result.output = (std::filesystem::path(args.outputDir) / name).string();
        const std::string absolute = std::filesystem::absolute(result.output, error).string();
        // Two inputs of the same name would write one output twice.
        std::string refusal;
        if (name.empty()) {
            refusal = CannotUse(result.input, "input file");
        } else if (std::find(outputsTaken.begin(), outputsTaken.end(), absolute) !=
                   outputsTaken.end()) {
            refusal =
                "cannot use '" + result.input + "': an earlier input wrote '" + result.output + "'";
        }
        if (!refusal.empty()) std::fprintf(stderr, "tessaro-cli: %s\n", refusal.c_str());
        if (!refusal.empty() || !SetUpFiles(toolkit, dialog, result.input, result.output)) {
            result.status = "Refused";
            results.push_back(std::move(result));
            continue;
        }
        outputsTaken.push_back(absolute);
        Process(toolkit, dialog, interrupts, &result);
        results.push_back(std::move(result));
    }
    const std::string table = SummaryTable(results);
    std::fputc('\n', stdout);
    std::fwrite(table.data(), 1, table.size(), stdout);
    const bool json = WriteJson(args, results);
    if (std::fflush(stdout) != 0) return ExitFailure;
    if (interrupts.Interrupted()) return interrupts.ExitStatus();
    const bool allOk = std::all_of(results.begin(), results.end(),
                                   [](const FileResult& result) { return result.ok; });
    return allOk && json && results.size() + 1 == args.files.size() ? ExitOk : ExitFailure;
}

int Run(int argc, char** argv) {
    Arguments args;
    if (const auto status = ParseArguments(argc, argv, &args)) return *status;
    // Past a file-size limit a write then fails with EFBIG, which the run
    // reports, instead of the signal ending the program without a word.
    signal(SIGXFSZ, SIG_IGN);
    InterruptWatcher interrupts;
    ConsoleToolkit toolkit(!args.quiet && isatty(STDERR_FILENO));
    CTessaroDlg dialog(toolkit, DialogOptions{.useSettings = false,
                                              .threads = args.threads,
                                              .partition = args.partition,
                                              .sameNameElsewhere = !args.outputDir.empty(),
                                              .rounding = args.rounding,
                                              .wideFormats = true,
                                              .loudness = args.loudness || !args.reportJson.empty(),
                                              .loudnessLines = args.loudness,
                                              .impulseConfigs = true,
                                              .rightImpulse = args.rightImpulse});
    if (!args.outputDir.empty()) return RunBatch(toolkit, dialog, interrupts, args);
    FileResult result;
    result.input = args.files[1];
    result.output = args.files[2];
    result.status = "Refused";
    int status = ExitFailure;
    if (SetUpConfiguration(toolkit, dialog, args) &&
        SetUpFiles(toolkit, dialog, args.files[1], args.files[2])) {
        status = Process(toolkit, dialog, interrupts, &result);
    }
    if (!WriteJson(args, {result}) && status == ExitOk) status = ExitFailure;
    return status;
}

}  // namespace
}  // namespace tessaro

int main(int argc, char** argv) {
    try {
        return tessaro::Run(argc, argv);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tessaro-cli: %s\n", error.what());
        return 1;
    }
}
