#pragma once
// The main dialog's logic: its members, start-up and tear-down, the commands,
// the enabling of controls, the run on its worker thread and the run log.
// Written only against DialogToolkit, so the Qt window, the console front end
// and the tests drive the same code.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/toolkit.h"
#include "config/filter_config.h"
#include "platform/manual_reset_event.h"
#include "platform/registry_hive.h"
#include "primitives/sp.h"
#include "processing/block_helper.h"
#include "processing/convolution_engine.h"
#include "processing/level_meters.h"
#include "processing/loudness.h"
#include "processing/wave_file.h"
#include "settings/registry_key.h"

namespace tessaro {

struct DialogOptions {
    // Remember the last configuration and restore it at start-up.
    bool useSettings = true;
    HiveRoot settingsRoot = LocalMachineHive();
    // Threads a run filters on: with 2 the right input's engine runs on a
    // helper thread beside the left one's (on a machine of more than one
    // core); 1 keeps both on the worker. The output is the same.
    int threads = 2;
    // Frames per block, which is also the engines' partition length: a
    // power of two from 4096 to 262144, or AutoPartition to pick by the
    // filter's length when it is loaded. Longer blocks mean fewer, larger
    // FFTs and fewer passes over the spectra, at the price of latency,
    // which a file-to-file run does not have.
    uint32_t partition = 4096;
    // Input and output may share a bare name in different folders, as a
    // batch writes each output under its input's name into another folder.
    // Choosing the very same file stays refused.
    bool sameNameElsewhere = false;
    // How output samples reach 16- or 24-bit steps; the window always
    // truncates.
    OutputRounding rounding = OutputRounding::Truncate;
    // Besides 16-bit PCM, take 24-bit PCM and 32-bit float stereo inputs,
    // each written out in its own format, and RF64 files. The window takes
    // 16-bit RIFF files only.
    bool wideFormats = false;
    // Measure the EBU R128 loudness of input and output, the filter's gain
    // and, after clips, the gain that would have avoided them (see
    // LoudnessReport); with loudnessLines the run report gets lines for
    // them behind its usual ones. The window does neither.
    bool loudness = false;
    bool loudnessLines = false;
    // Also take WAV impulse responses as a configuration: a 4-channel file
    // in the column order of "H", or with rightImpulse a stereo file per
    // input (see FilterConfig::AcceptImpulseWavs). The window loads MAT files.
    bool impulseConfigs = false;
    std::string rightImpulse{};
};

// What a run with DialogOptions::loudness found; each part is missing where
// it could not be measured.
struct LoudnessReport {
    std::optional<Loudness> input;
    std::optional<Loudness> output;  // after gain, before clipping
    std::optional<MatrixGain> filter;
    // After a run with clipped samples: the gain in dB that keeps its
    // output peak within full scale.
    std::optional<double> gainWithoutClipsDb;
};

constexpr uint32_t AutoPartition = 0;
constexpr uint32_t MinPartition = 4096;
constexpr uint32_t MaxPartition = 262144;

// Whether frames is a partition the engines take: a power of two from
// MinPartition to MaxPartition.
bool ValidPartition(uint32_t frames);

// The partition AutoPartition picks for a filter of this many taps.
uint32_t PartitionForTaps(uint32_t taps);

enum RunStatus : int32_t { RunComplete = 0, RunError = 1, RunAborted = 2 };

class CTessaroDlg {
public:
    explicit CTessaroDlg(DialogToolkit& toolkit, DialogOptions options = {});
    virtual ~CTessaroDlg();
    CTessaroDlg(const CTessaroDlg&) = delete;
    CTessaroDlg& operator=(const CTessaroDlg&) = delete;

    // Builds engines, buffers and the file pair, restores the remembered
    // configuration. False after "Fatal Error, Memory allocation failed!":
    // the host then ends the program.
    bool OnInitDialog();

    // Commands, on the dialog thread.
    void OnLoad();
    void OnOpen();
    void OnSaveAs();
    // The gain field lost the focus; false when its text is not a number.
    bool UpdateGain();
    void StartRun();  // Process
    void OnAbort();
    void ClearLog();
    void OnExit();
    void OnCancel();  // close box, system menu Close
    void OnSysCommand(int id);

    // Abort without the confirmation (the console's interrupt key).
    void RequestAbort();

    // The program is ending: stops a running worker at its next block and
    // serves its calls (ServeWorkerCalls) until its run-end steps have run,
    // so the output is finished. Call on the dialog thread, outside any call
    // made for the worker; the destructor calls it too.
    void Shutdown();

    // 1: a run starts; 2: a run has ended.
    void SetControlState(int phase);
    bool LoadConfiguration(const std::string& fullPath);
    void WriteRunReport();
    void CollectLoudness();
    void WriteLoudnessLines();
    void AppendLogLine(const std::string& line);

    bool Running() const { return running.load(); }
    RunStatus LastRunStatus() const { return static_cast<RunStatus>(runStatus.load()); }
    bool LastRunOk() const { return lastRunOk.load(); }
    // True once a run got past its preparation and wrote a report.
    bool ReportWritten() const { return reportWritten.load(); }
    const LevelMeters& Meters() const { return meters; }
    const LoudnessReport& LoudnessFigures() const { return loudnessReport; }
    const FilterConfig* Configuration() const { return configuration.get(); }
    bool InputReady() const { return inputReady.load(); }
    bool OutputReady() const { return outputReady.load(); }
    bool ConfigReady() const { return configReady.load(); }
    float GainDb() const { return gainDb; }
    float GainLinear() const { return gainLinear; }

private:
    // Worker steps.
    static int WorkerMain(CTessaroDlg* dialog);
    bool PrepareInput();
    bool PrepareOutput();
    bool ProcessFile();
    bool UsePartition(uint32_t frames);
    bool ProcessBlocks();
    static void FilterRightInput(void* dialog);
    bool CloseRunFiles();  // false when the output could not be finished
    void FinishRun();      // on the dialog thread, after the worker's last act

    // Block loop pieces.
    void ClearBlockBuffers();
    uint32_t ReadGroup(uint64_t first, uint32_t count, uint64_t* readStop, bool* readFailed);
    void FilterGroup(uint32_t count);
    bool FinishBlock(uint32_t indexInGroup, int frames, bool repaint);
    bool SamplesUsable(const float* left, const float* right, uint32_t count);
    uint64_t blocksFinished = 0;  // blocks before the one being finished
    bool FailRun();
    void ShowInputLevels(bool repaint);
    void ShowOutputLevels(bool repaint);
    bool FinishOutputFile();
    void TellWriteFailed();
    bool OutputStillNamed() const;

    void ConfirmExitDuringRun();
    bool ReadFieldsBack();  // the gain field; false when it is not a number
    void ApplySelectionRule(bool mayEnableProcess);
    // otherName, otherPath: the accepted other selection, or empty; a file
    // that is forbiddenPath is refused as the same file too.
    bool ChooseInOutFile(ChooserMode mode, std::string* name, std::string* path, int field,
                         const std::string& otherName, const std::string& otherPath,
                         const std::string& forbiddenPath);
    void ReleaseResources();
    MessageAnswer Message(const std::string& text, MessageKind kind);

    DialogToolkit& toolkit;
    DialogOptions options;

    std::string inputName;
    std::string outputName;
    ConvolutionEngine* engines[2] = {nullptr, nullptr};  // left-input engine first
    BlockHelper* blockHelper = nullptr;                  // during a run on two threads
    uint32_t blockFrames = MinPartition;                 // the engines' partition length
    bool enginesReady = false;
    int32_t progressRange = 0;
    std::string configName;
    std::string configPath;  // full path of the loaded configuration, or empty
    uint32_t inputRate = 0;
    std::atomic<bool> lastRunOk{false};
    uint32_t inputChannels = 0;
    uint32_t inputBits = 0;
    std::unique_ptr<WaveFilePair> filePair;
    std::string inputPath;
    std::string outputPath;
    struct FileId {
        uint64_t device;
        uint64_t inode;
    };
    std::optional<FileId> outputFileId;  // of the run's output, once created
    // Room for the longest group of blocks this dialog may use, of which
    // the engines' groupCapacity blocks of blockFrames are used (untouched
    // pages cost no memory). Block g of a group starts at g * blockFrames.
    uint32_t groupBlocks = 1;  // blocks in the group being filtered
    // The file's interleaved stereo frames, MaxFrameBytes each at most.
    int16_t* pcmBlock = nullptr;
    static constexpr std::size_t MaxFrameBytes = 8;
    SampleFormat sampleFormat = SampleFormat::Pcm16;  // of the run's input and output
    float* leftBlock = nullptr;
    float* rightBlock = nullptr;
    Complex32f* leftFiltered = nullptr;
    Complex32f* rightFiltered = nullptr;
    std::atomic<bool> abortRequested{false};
    uint64_t totalSamples = 0;  // samples of all channels in the input
    uint64_t inputDataBytes = 0;
    LevelMeters meters;
    std::unique_ptr<LoudnessMeter> loudnessMeters[2];  // input, output; during a run that measures
    LoudnessReport loudnessReport;
    float gainDb = 0.0f;
    float gainLinear = 1.0f;
    RegistryKey settings{1};
    bool settingsOpen = false;
    std::atomic<int32_t> runStatus{RunComplete};
    std::atomic<bool> inputReady{false};
    std::atomic<bool> outputReady{false};
    std::atomic<bool> configReady{false};
    std::unique_ptr<FilterConfig> configuration;
    std::atomic<bool> running{false};
    std::thread workerThread;
    std::unique_ptr<ManualResetEvent> terminatingEvent;
    std::atomic<bool> closeWhenDone{false};
    std::atomic<bool> exitRequested{false};
    std::atomic<bool> reportWritten{false};
    // Set by the worker, read after it has been joined: a failed write is
    // told once, not again when the output is closed at the run's end.
    bool writeFailureTold = false;
    bool initialised = false;
    // Expires with the dialog, so a run-end notice still queued is dropped.
    std::shared_ptr<int> lifetime = std::make_shared<int>(0);
};

}  // namespace tessaro
