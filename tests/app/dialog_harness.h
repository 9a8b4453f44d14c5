#pragma once
// A dialog driven through the scripted toolkit, with its files in a scratch
// folder: the commands as a user gives them, and whole runs.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/control_ids.h"
#include "app/tessaro_dlg.h"
#include "tests/support/mat_writer.h"
#include "tests/support/scripted_toolkit.h"
#include "tests/support/wav_fixture.h"

namespace tessaro::testing {

// Four tap columns h1..h4 (left->left, left->right, right->left, right->right).
struct FilterMatrix {
    std::vector<double> h1, h2, h3, h4;
    std::size_t Length() const { return h1.size(); }
};

FilterMatrix UnitFilter();  // left passes to left, right to right
FilterMatrix RandomFilter(std::size_t taps, uint32_t seed);

class DialogHarness {
public:
    explicit DialogHarness(bool useSettings = false, int threads = 2);
    // A dialog with these options; the settings stay in the scratch folder.
    explicit DialogHarness(const DialogOptions& options);
    ~DialogHarness();

    // Files in the scratch folder; the returned path is absolute.
    std::string WriteConfig(const std::string& name, const FilterMatrix& filter,
                            double rate = 44100, const std::string& label = "test filter");
    std::string WriteStereoInput(const std::string& name, const std::vector<int16_t>& samples,
                                 uint32_t rate = 44100);
    std::string WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes);
    std::string Path(const std::string& name) const { return folder.File(name); }

    // Commands with the chooser answered by path (nullopt: cancelled).
    void Load(std::optional<std::string> path);
    void Open(std::optional<std::string> path);
    void SaveAs(std::optional<std::string> path);
    // All three selections at once.
    void Select(const std::string& config, const std::string& input, const std::string& output);

    // Process, then the dialog thread's loop until the run has ended.
    void Process();
    // Runs the dialog thread's loop until the run has ended.
    bool WaitForRunEnd(int timeoutMs = 120000);

    // A new dialog on the same toolkit and settings (a restart).
    void Restart();

    HiveRoot SettingsRoot() const;

    ScratchFolder folder;
    ScriptedToolkit toolkit;
    std::unique_ptr<CTessaroDlg> dialog;

private:
    DialogOptions options;
};

// The samples of a 16-bit stereo WAV file's data chunk (after a 56- or
// 44-byte header, found by chunk).
std::vector<int16_t> ReadStereoSamples(const std::string& path);

}  // namespace tessaro::testing
