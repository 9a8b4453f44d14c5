// Many runs in a row through the dialog logic, each completed, aborted or
// exited at a block chosen by a seeded generator; after every run the
// report, the meters, the progress and the output must be this run's alone,
// and the process must not grow.
//
// TESSARO_LOAD_RUNS sets the number of runs (1000 by default).

#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "app/control_ids.h"
#include "app/tessaro_dlg.h"
#include "tests/support/mat_writer.h"
#include "tests/support/scripted_toolkit.h"
#include "tests/support/wav_fixture.h"

namespace tessaro::testing {
namespace {

constexpr int BlockFrames = 4096;
constexpr int16_t Quiet = 1000;  // never clips, even at +6 dB

// Holds the worker at one point of its run until the test has acted: point
// 0 is the run's first progress report (before any block), point k the
// levels of its k-th full block.
class PausingToolkit : public ScriptedToolkit {
public:
    void Arm(int point) {
        std::lock_guard<std::mutex> lock(mutex_);
        point_ = point;
        blocks_ = 0;
        progressSeen_ = paused_ = released_ = false;
    }
    bool WaitUntilPaused() {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(60), [this] { return paused_; });
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        changed_.notify_all();
    }

    void SetProgressPosition(int position) override {
        ScriptedToolkit::SetProgressPosition(position);
        bool first = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            first = !progressSeen_;
            progressSeen_ = true;
        }
        if (first) Reached(0);
    }
    void RepaintNow(int id) override {
        ScriptedToolkit::RepaintNow(id);
        if (id != control::Clipped) return;  // the last text of a full block
        int block = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            block = ++blocks_;
        }
        Reached(block);
    }

private:
    void Reached(int point) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (point != point_) return;
        paused_ = true;
        changed_.notify_all();
        changed_.wait(lock, [this] { return released_; });
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int point_ = -1;
    int blocks_ = 0;
    bool progressSeen_ = false, paused_ = false, released_ = false;
};

// An input whose full blocks and final part each hold a known number of
// loud samples, all of one level; those clip at +6 dB, the rest never.
struct Input {
    std::string path;
    int fullBlocks = 0;
    int restFrames = 0;
    int16_t loud = 0;
    std::vector<int> loudPerPart;  // full blocks, then the final part

    std::size_t DataBytes() const {
        return 4u * (static_cast<std::size_t>(fullBlocks) * BlockFrames + restFrames);
    }
};

Input MakeInput(const ScratchFolder& folder, const std::string& name, int fullBlocks,
                int restFrames, int16_t loud) {
    Input in{folder.File(name), fullBlocks, restFrames, loud, {}};
    std::vector<int16_t> samples;
    for (int part = 0; part <= fullBlocks; ++part) {
        const int frames = part < fullBlocks ? BlockFrames : restFrames;
        const int louds = frames == 0 ? 0 : 1 + (part * 37 + loud) % std::min(frames, 300);
        in.loudPerPart.push_back(louds);
        for (int i = 0; i < 2 * frames; ++i) {
            const int16_t level = i < louds ? loud : Quiet;
            samples.push_back(static_cast<int16_t>(i % 2 == 0 ? level : -level));
        }
    }
    EXPECT_TRUE(WriteFileBytes(in.path, Stereo16WavImage(44100, samples)));
    return in;
}

// Resident memory of this process, in bytes.
// Freed memory the allocator keeps is not a leak: each worker thread may
// get its own malloc arena, and how many arenas a run of 1000 makes depends
// on how the threads happen to overlap on a busy machine. Handing that back
// first leaves only memory still held.
long ResidentBytes() {
    malloc_trim(0);
    long pages = 0, resident = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return -1;
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = -1;
    std::fclose(statm);
    return resident * sysconf(_SC_PAGESIZE);
}

enum class Action { Complete, Abort, Exit };

// Half the runs complete; an Exit restarts the dialog, whose engines are
// costly to build, so it comes less often than Abort.
Action ChooseAction(std::mt19937& rng) {
    const auto roll = rng() % 20;
    return roll < 10 ? Action::Complete : roll < 17 ? Action::Abort : Action::Exit;
}

TEST(DialogLoad, ManyRunsCompletedAbortedOrExited) {
    const char* runsSetting = std::getenv("TESSARO_LOAD_RUNS");
    const int runs = runsSetting != nullptr ? std::atoi(runsSetting) : 1000;
    ASSERT_GE(runs, 10);

    ScratchFolder folder;
    const std::string config = folder.File("unit.mat");
    MatWriter writer;
    writer.Text("label", "unit").Double("SR", 1, 1, {44100}).Double("H", 1, 4, {1, 0, 0, 1});
    ASSERT_TRUE(writer.Write(config, MatWriteVersion::Level5));
    const std::vector<Input> inputs = {
        MakeInput(folder, "part.wav", 0, 1000, 20000),
        MakeInput(folder, "three.wav", 3, 0, 24000),
        MakeInput(folder, "five.wav", 5, 1234, 28000),
        MakeInput(folder, "eight.wav", 8, 3000, 32000),
    };
    const std::string output = folder.File("out.wav");

    std::unique_ptr<PausingToolkit> toolkit;
    std::unique_ptr<CTessaroDlg> dialog;
    auto start = [&] {
        dialog.reset();
        toolkit = std::make_unique<PausingToolkit>();
        dialog = std::make_unique<CTessaroDlg>(*toolkit, DialogOptions{.useSettings = false});
        ASSERT_TRUE(dialog->OnInitDialog());
        toolkit->QueueChoice(config);
        dialog->OnLoad();
        ASSERT_TRUE(dialog->ConfigReady());
    };
    start();

    std::mt19937 rng(2024);
    long residentEarly = 0, residentLate = 0;
    int counts[3] = {0, 0, 0};
    for (int run = 1; run <= runs; ++run) {
        const Input& in = inputs[rng() % inputs.size()];
        const bool loudGain = rng() % 2 == 0;
        const auto action = ChooseAction(rng);
        const int point = static_cast<int>(rng() % (in.fullBlocks + 1));
        SCOPED_TRACE("run " + std::to_string(run) + " " + in.path + " action " +
                     std::to_string(static_cast<int>(action)) + " at " + std::to_string(point));
        ++counts[static_cast<int>(action)];

        toolkit->QueueChoice(in.path);
        dialog->OnOpen();
        toolkit->QueueChoice(output);
        dialog->OnSaveAs();
        toolkit->SetFieldText(control::Gain, loudGain ? "6" : "0");
        ASSERT_TRUE(dialog->UpdateGain());
        dialog->ClearLog();
        toolkit->ClearMessages();
        const std::size_t progressBefore = toolkit->ProgressHistory().size();

        toolkit->Arm(action == Action::Complete ? -1 : point);
        dialog->StartRun();
        ASSERT_TRUE(dialog->Running());
        if (action != Action::Complete) {
            ASSERT_TRUE(toolkit->WaitUntilPaused());
            toolkit->QueueAnswer(MessageAnswer::Yes);
            action == Action::Abort ? dialog->OnAbort() : dialog->OnExit();
            toolkit->Release();
        }
        // A generous bound: a hung run fails here instead of hanging CI.
        ASSERT_TRUE(toolkit->RunUntil([&] { return !dialog->Running(); }, 60000));

        // What the run should have done. Exit is seen only between full
        // blocks, so past the last one the run completes and then closes.
        const bool complete =
            action == Action::Complete || (action == Action::Exit && point == in.fullBlocks);
        const int blocks = complete ? in.fullBlocks : point;
        int clips = 0;
        for (int part = 0; part < blocks + (complete ? 1 : 0); ++part) {
            clips += in.loudPerPart[part];
        }
        if (!loudGain) clips = 0;
        const std::size_t dataBytes =
            complete ? in.DataBytes() : static_cast<std::size_t>(blocks) * 4 * BlockFrames;

        EXPECT_EQ(dialog->LastRunStatus(), complete ? RunComplete : RunAborted);
        EXPECT_EQ(toolkit->MessageTexts().size(), action == Action::Complete ? 0u : 1u);
        const std::string report = toolkit->LogText();
        EXPECT_TRUE(report.ends_with(std::string(complete ? "Complete" : "Aborted") +
                                     "\r\n====================================\r\n\r\n"))
            << report;
        EXPECT_NE(report.find("Value Clipped:   " + std::to_string(clips) + "\r\n"),
                  std::string::npos)
            << report;
        EXPECT_NE(report.find(loudGain ? "Gain Setting:   6.00 dB" : "Gain Setting:   0.00 dB"),
                  std::string::npos);
        EXPECT_EQ(dialog->Meters().clipCount, clips);
        if (blocks > 0 || complete) {
            EXPECT_NEAR(dialog->Meters().inPeakDb, 20 * std::log10(in.loud / 32768.0), 0.01);
            EXPECT_EQ(toolkit->Field(control::Clipped), "Value Clipped: " + std::to_string(clips));
        }

        // Progress starts from zero, never goes back, and ends full when the
        // final part was processed.
        const std::vector<int> history = toolkit->ProgressHistory();
        ASSERT_GT(history.size(), progressBefore);
        EXPECT_EQ(history[progressBefore], 0);
        for (std::size_t i = progressBefore + 1; i < history.size(); ++i) {
            ASSERT_GE(history[i], history[i - 1]);
        }
        if (complete && in.restFrames > 0) {
            EXPECT_EQ(history.back(), 100);
        }

        // A finished WAV file of exactly what was written.
        const auto out = ReadFileBytes(output);
        ASSERT_EQ(out.size(), 56 + dataBytes);
        EXPECT_EQ(LoadU32(out, 4), out.size() - 8);
        EXPECT_EQ(LoadU32(out, 52), dataBytes);

        if (action == Action::Exit) {
            EXPECT_EQ(toolkit->Ended(), DialogResult::Cancel);
            start();  // the program starts again
        } else {
            EXPECT_FALSE(toolkit->Ended().has_value());
        }
        if (::testing::Test::HasFailure()) break;
        if (run == runs / 10) residentEarly = ResidentBytes();
    }
    residentLate = ResidentBytes();
    dialog.reset();
    std::printf(
        "%d runs (%d complete, %d aborted, %d exited): resident %.1f MiB after run %d, "
        "%.1f MiB after run %d\n",
        runs, counts[0], counts[1], counts[2], residentEarly / 1048576.0, runs / 10,
        residentLate / 1048576.0, runs);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers hold freed memory on purpose (quarantine, shadow);
    // AddressSanitizer's leak check covers its build.
    EXPECT_LT(residentLate - residentEarly, 4L << 20);
#endif
}

}  // namespace
}  // namespace tessaro::testing
