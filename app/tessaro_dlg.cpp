#include "app/tessaro_dlg.h"

#include <cmath>
#include <filesystem>
#include <new>

#include "app/control_ids.h"
#include "app/messages.h"
#include "app/text_format.h"
#include "primitives/dispatched.h"

namespace tessaro {
namespace {

constexpr uint32_t EngineMaxTaps = 524288;

// The file's name with its extension, without its folder.
std::string BareName(const std::string& path) {
    return std::filesystem::path(path).filename().string();
}

// The absolute, normalised form of a chosen path; empty when it has no file
// name.
std::string FullPath(const std::string& path) {
    std::error_code error;
    std::filesystem::path full = std::filesystem::absolute(path, error);
    if (error) return {};
    full = full.lexically_normal();
    if (!full.has_filename()) return {};
    return full.string();
}

// True when both paths name one existing file (links, "./" and the like).
bool SameFile(const std::string& first, const std::string& second) {
    if (first.empty() || second.empty()) return false;
    std::error_code error;
    const bool same = std::filesystem::equivalent(first, second, error);
    return !error && same;
}

}  // namespace

CTessaroDlg::CTessaroDlg(DialogToolkit& dialogToolkit, DialogOptions dialogOptions)
    : toolkit(dialogToolkit), options(std::move(dialogOptions)) {}

CTessaroDlg::~CTessaroDlg() {
    // A worker still running would use everything released below.
    Shutdown();
    if (workerThread.joinable()) workerThread.join();
    ReleaseResources();
}

void CTessaroDlg::Shutdown() {
    if (!running) return;
    abortRequested = true;
    exitRequested = true;
    if (terminatingEvent) terminatingEvent->Set();
    // The worker may be waiting for the dialog thread in one of its calls:
    // serve them until its run-end task has run here.
    while (running) toolkit.ServeWorkerCalls(50);
}

void CTessaroDlg::ReleaseResources() {
    if (filePair) {
        filePair->CloseAll();
        filePair.reset();
    }
    configuration.reset();  // clears the engines' filter slot first
    for (void* buffer : {static_cast<void*>(pcmBlock), static_cast<void*>(leftBlock),
                         static_cast<void*>(rightBlock), static_cast<void*>(leftFiltered),
                         static_cast<void*>(rightFiltered)}) {
        dispatch::spFree(buffer);
    }
    pcmBlock = nullptr;
    leftBlock = rightBlock = nullptr;
    leftFiltered = rightFiltered = nullptr;
    for (ConvolutionEngine*& engine : engines) {
        DestroyEngine(engine);
        engine = nullptr;
    }
    enginesReady = false;
}

MessageAnswer CTessaroDlg::Message(const std::string& text, MessageKind kind) {
    return toolkit.ShowMessage(text, kind);
}

bool CTessaroDlg::OnInitDialog() {
    toolkit.AppendSystemMenuSeparator();
    toolkit.AppendSystemMenuItem(control::AboutCommand, message::AboutMenuItem);
    toolkit.SetIcon();

    progressRange = 100;
    enginesReady = false;
    configReady = false;
    toolkit.SetFieldText(control::Gain, "0");
    toolkit.EnableControl(control::Process, false);
    toolkit.SetProgressRange(0, progressRange);
    toolkit.EnableControl(control::Abort, false);
    toolkit.EnableControl(control::SaveAs, false);

    filePair.reset(new (std::nothrow) WaveFilePair);

    blockFrames = ValidPartition(options.partition) ? options.partition : MinPartition;
    engines[0] = CreateEngine(EngineMaxTaps, 2 * blockFrames, 1);
    engines[1] = CreateEngine(EngineMaxTaps, 2 * blockFrames, 1);
    enginesReady = engines[0] != nullptr && engines[1] != nullptr;
    if (!enginesReady) {
        for (ConvolutionEngine*& engine : engines) {
            DestroyEngine(engine);
            engine = nullptr;
        }
        Message(message::EngineAllocationFailed, MessageKind::OkError);
    }

    // A group of the engines' blocks, or the longest block auto may pick
    // (which holds any group of shorter ones).
    const auto frames =
        static_cast<int>(options.partition == AutoPartition
                             ? MaxPartition
                             : blockFrames * (enginesReady ? engines[0]->groupCapacity : 1));
    pcmBlock = dispatch::spMalloc_16s(static_cast<int>(MaxFrameBytes / 2) * frames);
    leftBlock = dispatch::spMalloc_32f(frames);
    rightBlock = dispatch::spMalloc_32f(frames);
    leftFiltered = dispatch::spMalloc_32fc(frames);
    rightFiltered = dispatch::spMalloc_32fc(frames);

    if (!filePair || !enginesReady || !pcmBlock || !leftBlock || !rightBlock || !leftFiltered ||
        !rightFiltered) {
        Message(message::AllocationFailed, MessageKind::OkError);
        return false;
    }

    if (options.useSettings) {
        settingsOpen = settings.Open("Software\\Tessaro", options.settingsRoot);
        if (settingsOpen) {
            const std::string remembered = settings.Value("MAT File").AsText();
            if (!remembered.empty()) {
                configName = std::filesystem::path(remembered).stem().string();
                if (!configName.empty()) LoadConfiguration(remembered);
            }
        }
    }

    ReadFieldsBack();
    initialised = true;
    return true;
}

bool CTessaroDlg::ReadFieldsBack() {
    const auto value = ParseFiniteNumber(toolkit.FieldText(control::Gain));
    // The gain is held as a float: a number beyond its range is no gain.
    if (!value || !std::isfinite(static_cast<float>(*value))) {
        Message(message::EnterANumber, MessageKind::OkWarning);
        toolkit.FocusControl(control::Gain);
        return false;
    }
    gainDb = static_cast<float>(*value);
    gainLinear = GainFromDb(gainDb);
    return true;
}

bool CTessaroDlg::UpdateGain() {
    // The worker reads the gain for every block: it stays as the run began.
    if (running) return true;
    return ReadFieldsBack();
}

void CTessaroDlg::OnSysCommand(int id) {
    if ((id & ~0xF) == control::AboutCommand) {
        toolkit.ShowAboutBox();
    }
}

bool ValidPartition(uint32_t frames) {
    return frames >= MinPartition && frames <= MaxPartition && (frames & (frames - 1)) == 0;
}

uint32_t PartitionForTaps(uint32_t taps) {
    // Measured with whole runs on 2-core machines: short filters gain from
    // fewer, larger FFTs; long ones from fewer passes over their spectra,
    // until the FFTs grow out of the cache (65536 was slower again).
    return taps <= 8192 ? 16384 : 32768;
}

// Rebuilds both engines for blocks of this many frames, holding no filter.
// The old engines stay when the new ones cannot be made: blocks of their
// length give the same output, only at another speed.
bool CTessaroDlg::UsePartition(uint32_t frames) {
    if (frames == blockFrames) return true;
    if (!ValidPartition(frames)) return false;
    ConvolutionEngine* left = CreateEngine(EngineMaxTaps, 2 * frames, 1);
    ConvolutionEngine* right = left ? CreateEngine(EngineMaxTaps, 2 * frames, 1) : nullptr;
    if (right == nullptr) {
        DestroyEngine(left);
        return false;
    }
    for (ConvolutionEngine*& engine : engines) DestroyEngine(engine);
    engines[0] = left;
    engines[1] = right;
    blockFrames = frames;
    return true;
}

bool CTessaroDlg::LoadConfiguration(const std::string& fullPath) {
    configuration.reset();
    // With the partition picked by filter length, the engines are rebuilt
    // for it once the length is known, before they get the filter.
    FilterConfig::EngineChooser chooser;
    if (options.partition == AutoPartition) {
        chooser = [this](uint32_t taps, ConvolutionEngine** chosen) {
            UsePartition(PartitionForTaps(taps));
            chosen[0] = engines[0];
            chosen[1] = engines[1];
        };
    }
    configuration = std::make_unique<FilterConfig>(engines[0], engines[1], std::move(chooser));
    if (options.loudness) configuration->MeasureGainOnLoad();
    if (options.impulseConfigs) configuration->AcceptImpulseWavs(options.rightImpulse);
    const FilterConfig::LoadResult result = configuration->Load(fullPath);
    if (result.warning != nullptr) Message(result.warning, MessageKind::OkWarning);
    configPath.clear();
    if (result.loaded) {
        configReady = true;
        configPath = fullPath;
        toolkit.SetFieldText(control::ConfigFileName, FormatText("File Name:     %s", configName));
        toolkit.SetFieldText(control::ConfigLength,
                             FormatNumber("Filter Length: %d points", configuration->Length()));
        toolkit.SetFieldText(control::ConfigRate,
                             FormatNumber("Sampling Rate: %d Hz", configuration->SampleRate()));
        toolkit.SetFieldText(control::ConfigDescription,
                             FormatText("Description:   %s", configuration->Label()));
    } else {
        toolkit.SetFieldText(control::ConfigFileName, message::InvalidConfiguration);
        toolkit.SetFieldText(control::ConfigLength, "");
        toolkit.SetFieldText(control::ConfigRate, "");
        toolkit.SetFieldText(control::ConfigDescription, "");
    }
    return configReady;
}

void CTessaroDlg::ApplySelectionRule(bool mayEnableProcess) {
    const bool allReady = inputReady && outputReady && configReady;
    // Process is never left enabled with a refused selection; only Load and
    // Save As enable it.
    if (!allReady) {
        toolkit.EnableControl(control::Process, false);
    } else if (mayEnableProcess) {
        toolkit.EnableControl(control::Process, true);
    }
    if (inputReady && configReady) toolkit.EnableControl(control::SaveAs, true);
}

void CTessaroDlg::OnLoad() {
    if (running) return;
    FileChooserRequest request{ChooserMode::Open, "mat", "MATLAB File(*.mat)|*.mat|", true};
    if (const auto chosen = toolkit.ChooseFile(request)) {
        configName = BareName(*chosen);
        if (!configName.empty()) {
            configReady = false;
            const std::string fullPath = FullPath(*chosen);
            // A path the store would cut is not remembered at all: a cut path
            // would fail to load at the next start.
            if (!fullPath.empty() && LoadConfiguration(fullPath) && settingsOpen &&
                fullPath.size() < RegistryValue::TextCapacity) {
                settings.Value("MAT File").SetText(fullPath);
            }
        }
    }
    ApplySelectionRule(true);
}

bool CTessaroDlg::ChooseInOutFile(ChooserMode mode, std::string* name, std::string* path, int field,
                                  const std::string& otherName, const std::string& otherPath,
                                  const std::string& forbiddenPath) {
    FileChooserRequest request{mode, "wav",
                               mode == ChooserMode::Open ? "Input Wave file(*.wav)|*.wav|"
                                                         : "Output Wave File(*.wav)|*.wav|",
                               true};
    const auto chosen = toolkit.ChooseFile(request);
    if (!chosen) return false;
    *name = BareName(*chosen);
    if (name->empty()) {
        Message(message::EmptyField, MessageKind::OkError);
        return true;
    }
    const std::string fullPath = FullPath(*chosen);
    const bool sameName = *name == otherName && !options.sameNameElsewhere;
    if (sameName || SameFile(fullPath, otherPath) || SameFile(fullPath, forbiddenPath)) {
        Message(message::SameFile, MessageKind::OkPlain);
        return true;
    }
    if (fullPath.empty()) return true;
    *path = fullPath;
    toolkit.SetFieldText(field, *path);
    return true;
}

void CTessaroDlg::OnOpen() {
    if (running) return;
    inputDataBytes = 0;
    inputChannels = 0;
    inputBits = 0;
    inputRate = 0;
    totalSamples = 0;
    std::string name = inputName;
    std::string path;
    // The flag drops only once a file was chosen: a cancelled chooser keeps
    // the earlier choice. Only an accepted output can clash with the input.
    const bool chosen =
        ChooseInOutFile(ChooserMode::Open, &name, &path, control::InputPath,
                        outputReady ? outputName : "", outputReady ? outputPath : "", "");
    if (chosen) {
        inputReady = false;
        inputName = name;
        if (!path.empty()) {
            inputPath = path;
            inputReady = true;
        }
    }
    ApplySelectionRule(false);
}

void CTessaroDlg::OnSaveAs() {
    if (running) return;
    std::string name = outputName;
    std::string path;
    // Writing the output must destroy neither the input nor the configuration.
    const bool chosen =
        ChooseInOutFile(ChooserMode::Save, &name, &path, control::OutputPath,
                        inputReady ? inputName : "", inputReady ? inputPath : "", configPath);
    if (chosen) {
        outputReady = false;
        outputName = name;
        if (!path.empty()) {
            outputPath = path;
            outputReady = true;
        }
    }
    ApplySelectionRule(true);
}

void CTessaroDlg::SetControlState(int phase) {
    if (phase == 1) {
        toolkit.EnableControl(control::Open, false);
        toolkit.EnableControl(control::SaveAs, false);
        toolkit.EnableControl(control::Load, false);
        toolkit.EnableControl(control::Clear, false);
        toolkit.EnableControl(control::Gain, false);
        toolkit.EnableControl(control::Abort, true);
    } else if (phase == 2) {
        toolkit.EnableControl(control::Open, true);
        toolkit.EnableControl(control::SaveAs, true);
        toolkit.EnableControl(control::Load, true);
        if (!(lastRunOk && inputReady && outputReady && configReady)) {
            toolkit.EnableControl(control::Process, false);
        }
        toolkit.EnableControl(control::Abort, false);
        toolkit.EnableControl(control::Clear, true);
        toolkit.EnableControl(control::Gain, true);
    }
}

void CTessaroDlg::OnAbort() {
    if (Message(message::ConfirmAbort, MessageKind::YesNo) == MessageAnswer::Yes) {
        abortRequested = true;
    }
}

void CTessaroDlg::RequestAbort() {
    if (running) abortRequested = true;
}

// During a run, closing waits for the worker: after the user's Yes the run
// stops at its next block and the run-end steps close the dialog.
void CTessaroDlg::ConfirmExitDuringRun() {
    if (Message(message::ConfirmExit, MessageKind::YesNo) != MessageAnswer::Yes) return;
    exitRequested = true;
    if (terminatingEvent) terminatingEvent->Set();
    // The run may have ended while the question was open: nothing else will
    // close the dialog then.
    if (!running) toolkit.EndDialog(DialogResult::Cancel);
}

void CTessaroDlg::OnExit() {
    if (running) {
        ConfirmExitDuringRun();
    } else if (ReadFieldsBack()) {
        toolkit.EndDialog(DialogResult::Ok);
    }
}

void CTessaroDlg::OnCancel() {
    if (running) {
        ConfirmExitDuringRun();
    } else {
        toolkit.EndDialog(DialogResult::Cancel);
    }
}

}  // namespace tessaro
