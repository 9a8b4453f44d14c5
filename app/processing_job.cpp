// The run: started by Process, carried out on a worker thread.

#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "app/control_ids.h"
#include "app/messages.h"
#include "app/tessaro_dlg.h"
#include "app/text_format.h"
#include "primitives/dispatched.h"

namespace tessaro {

void CTessaroDlg::StartRun() {
    // One run at a time: every buffer, engine and file belongs to it.
    if (running || !initialised || !(inputReady && outputReady && configReady)) return;
    running = true;
    SetControlState(1);
    abortRequested = false;  // a late Abort of an earlier run must not stop this one
    exitRequested = false;
    closeWhenDone = false;
    reportWritten = false;
    writeFailureTold = false;
    // A report never shows the values of an earlier run.
    meters.Reset(0);
    loudnessReport = {};
    runStatus = RunComplete;
    if (!terminatingEvent) {
        terminatingEvent.reset(new (std::nothrow) ManualResetEvent(true));
        if (!terminatingEvent) Message(message::EventFailed, MessageKind::OkError);
    }
    // Without the event there is no way to stop the run on Exit: no run.
    // Reset here rather than on the worker: an Exit confirmed before the
    // worker got going must not be wiped out by its reset.
    bool started = false;
    if (terminatingEvent) {
        terminatingEvent->Reset();
        try {
            workerThread = std::thread(WorkerMain, this);
            started = true;
        } catch (const std::exception&) {
            Message(message::ThreadFailed, MessageKind::OkError);
        }
    }
    if (!started) {
        running = false;
        SetControlState(2);
    }
}

int CTessaroDlg::WorkerMain(CTessaroDlg* dialog) {
    CTessaroDlg& self = *dialog;
    try {
        self.lastRunOk = false;
        if (self.PrepareInput() && self.PrepareOutput()) {
            const double rate = self.inputRate;
            const auto low = static_cast<int64_t>(rate * static_cast<double>(0.99f));
            const auto high = static_cast<int64_t>(rate * static_cast<double>(1.01f));
            const int64_t configRate = self.configuration ? self.configuration->SampleRate() : 0;
            if (configRate < low || configRate > high) {
                self.Message(message::RateMismatch, MessageKind::OkError);
            } else {
                if (self.inputReady && self.outputReady && self.configReady) {
                    self.lastRunOk = self.ProcessFile();
                }
                self.CollectLoudness();
                self.WriteRunReport();
                self.reportWritten = true;
            }
        }
    } catch (const std::exception&) {
        // Out of memory inside a toolkit call: the run ends as a failure.
        self.lastRunOk = false;
        self.runStatus = RunError;
    }
    // The dialog thread joins this thread and then closes the files and
    // gives the controls back, so no command can slip in between.
    // A dialog torn down meanwhile has joined this thread itself.
    self.toolkit.PostToDialogThread([dialog, alive = std::weak_ptr<int>(self.lifetime)] {
        if (alive.lock()) dialog->FinishRun();
    });
    return 0;
}

void CTessaroDlg::FinishRun() {
    if (workerThread.joinable()) workerThread.join();
    // Normally the output is finished before the report; this catches the
    // runs that stopped early.
    if (!CloseRunFiles()) {
        if (!writeFailureTold) Message(message::WriteFailed, MessageKind::OkError);
        lastRunOk = false;
    }
    running = false;
    SetControlState(2);
    if (closeWhenDone || exitRequested) toolkit.EndDialog(DialogResult::Cancel);
}

bool CTessaroDlg::PrepareInput() {
    if (!inputReady || inputPath.empty()) {
        inputReady = false;
        return false;
    }
    inputReady = false;
    // RF64 inputs come with the wide formats; the window reads RIFF files.
    if (!filePair->OpenInput(inputPath) || (filePair->input->IsRf64() && !options.wideFormats)) {
        toolkit.SetFieldText(control::InputPath, message::InputOpenFailed);
        return false;
    }
    const WaveFile& input = *filePair->input;
    inputDataBytes = input.GetDataSize();
    // A lone byte holds no sample: nothing to process.
    if (inputDataBytes <= 1) {
        Message(message::InputEmpty, MessageKind::OkInformation);
        filePair->CloseInput();
        filePair->ReleaseInput();
        return false;
    }
    const std::optional<SampleFormat> layout =
        input.Format() ? StereoSampleFormat(*input.Format(), options.wideFormats) : std::nullopt;
    if (!layout) {
        Message(options.wideFormats ? message::InputNotStereoFormat : message::InputNotPcm16Stereo,
                MessageKind::OkError);
        filePair->CloseInput();
        filePair->ReleaseInput();
        return false;
    }
    sampleFormat = *layout;
    const WaveFormatEx& format = *input.Format();
    inputRate = format.samplesPerSec;
    inputChannels = format.channels;
    inputBits = format.bitsPerSample;
    inputReady = true;
    totalSamples = static_cast<uint64_t>(inputDataBytes) * 8 / inputBits;
    return true;
}

bool CTessaroDlg::PrepareOutput() {
    if (!outputReady || outputPath.empty()) {
        outputReady = false;
        return false;
    }
    outputReady = false;
    // Creating the output truncates it: never when it is the input or the
    // configuration itself, under whatever name.
    for (const std::string* kept : {&inputPath, &configPath}) {
        std::error_code error;
        if (!kept->empty() && std::filesystem::equivalent(*kept, outputPath, error) && !error) {
            Message(message::SameFile, MessageKind::OkPlain);
            return false;
        }
    }
    const uint16_t formatTag =
        sampleFormat == SampleFormat::Float32 ? WaveFormatFloat : WaveFormatPcm;
    // Beyond what a 32-bit RIFF size describes the output becomes RF64.
    if (!filePair->OpenOutput(outputPath, inputRate, inputChannels,
                              static_cast<uint16_t>(inputBits), formatTag,
                              !WaveFile::DataSizeFits(inputDataBytes, formatTag))) {
        toolkit.SetFieldText(control::OutputPath, message::OutputOpenFailed);
        return false;
    }
    // Which file the output is, so that its end can tell whether the data
    // got the name the user chose.
    FileId created{};
    outputFileId = filePair->output->Identity(&created.device, &created.inode)
                       ? std::optional<FileId>(created)
                       : std::nullopt;
    outputReady = true;
    return true;
}

// Removed, or replaced by another file, while the run wrote to it: every
// write then succeeded but the data reached no file the user can find.
bool CTessaroDlg::OutputStillNamed() const {
    struct stat now {};
    return outputFileId && stat(outputPath.c_str(), &now) == 0 &&
           now.st_dev == outputFileId->device && now.st_ino == outputFileId->inode;
}

bool CTessaroDlg::CloseRunFiles() { return !filePair || filePair->CloseAll(); }

void CTessaroDlg::ClearBlockBuffers() {
    const auto frames = static_cast<int>(blockFrames * engines[0]->groupCapacity);
    std::memset(pcmBlock, 0, MaxFrameBytes * static_cast<std::size_t>(frames));
    dispatch::spZero_32f(leftBlock, frames);
    dispatch::spZero_32f(rightBlock, frames);
    dispatch::spZero_32fc(leftFiltered, frames);
    dispatch::spZero_32fc(rightFiltered, frames);
}

void CTessaroDlg::ShowInputLevels(bool repaint) {
    toolkit.SetFieldText(control::InputRms,
                         FormatLevel("RMS Input Level: %.2f dB", meters.inRmsDb));
    if (repaint) toolkit.RepaintNow(control::InputRms);
    toolkit.SetFieldText(control::InputPeak,
                         FormatLevel("Peak Input Level: %.2f dB", meters.inPeakDb));
    if (repaint) toolkit.RepaintNow(control::InputPeak);
}

void CTessaroDlg::ShowOutputLevels(bool repaint) {
    toolkit.SetFieldText(control::OutputRms,
                         FormatLevel("RMS Output Level: %.2f dB", meters.outRmsDb));
    if (repaint) toolkit.RepaintNow(control::OutputRms);
    toolkit.SetFieldText(control::OutputPeak,
                         FormatLevel("Peak Output Level: %.2f dB", meters.outPeakDb));
    if (repaint) toolkit.RepaintNow(control::OutputPeak);
    toolkit.SetFieldText(control::Clipped, FormatNumber("Value Clipped: %d", meters.clipCount));
    if (repaint) toolkit.RepaintNow(control::Clipped);
}

bool CTessaroDlg::FailRun() {
    Message(message::ProcessFailed, MessageKind::OkError);
    runStatus = RunError;
    return false;
}

// The output's data and headers are written out here, while a failure can
// still turn the run into an error, rather than after the report.
bool CTessaroDlg::FinishOutputFile() {
    const bool closed = filePair->output && filePair->output->Close() >= 0;
    filePair->outputOpen = false;
    if (closed && OutputStillNamed()) return true;
    TellWriteFailed();
    return false;
}

void CTessaroDlg::TellWriteFailed() {
    Message(message::WriteFailed, MessageKind::OkError);
    writeFailureTold = true;
}

// Reads up to count whole blocks from block first on into the group's
// channels. Stops at a read that fails or delivers nothing, and tells which
// block that was; the blocks before it are returned.
uint32_t CTessaroDlg::ReadGroup(uint64_t first, uint32_t count, uint64_t* readStop,
                                bool* readFailed) {
    ClearBlockBuffers();
    const uint32_t blockBytes = 2 * BytesPerSample(sampleFormat) * blockFrames;
    for (uint32_t g = 0; g < count; ++g) {
        uint8_t* const bytes = reinterpret_cast<uint8_t*>(pcmBlock) + std::size_t{g} * blockBytes;
        uint32_t delivered = 0;
        *readFailed = !filePair->ReadBlock(bytes, blockBytes, &delivered);
        if (*readFailed || delivered == 0) {
            *readStop = first + g;
            return g;
        }
        DecodeStereo(sampleFormat, bytes, leftBlock + std::size_t{g} * blockFrames,
                     rightBlock + std::size_t{g} * blockFrames, blockFrames);
    }
    return count;
}

// Both engines on the group's first count blocks, the right input's on the
// helper thread when there is one.
void CTessaroDlg::FilterGroup(uint32_t count) {
    if (count == 0) return;
    groupBlocks = count;
    if (blockHelper != nullptr) {
        blockHelper->Begin();
        tessaro::ProcessBlocks(engines[0], leftBlock, leftFiltered, count);
        blockHelper->End();
    } else {
        tessaro::ProcessBlocks(engines[0], leftBlock, leftFiltered, count);
        FilterRightInput(this);
    }
}

void CTessaroDlg::FilterRightInput(void* dialog) {
    auto& self = *static_cast<CTessaroDlg*>(dialog);
    tessaro::ProcessBlocks(self.engines[1], self.rightBlock, self.rightFiltered, self.groupBlocks);
}

// A float input may hold NaN, infinities or values so large that the
// filter's sums overflow: any of them spreads through the engines' history
// and silences the rest of the output. Such a file is refused at its first
// unusable frame, named in the message. 2^64 is far beyond any level of
// audio (some 385 dB above full scale).
bool CTessaroDlg::SamplesUsable(const float* left, const float* right, uint32_t count) {
    constexpr float Largest = 18446744073709551616.0f;
    for (uint32_t i = 0; i < count; ++i) {
        if (std::fabs(left[i]) <= Largest && std::fabs(right[i]) <= Largest) continue;
        char frame[32];
        std::snprintf(frame, sizeof frame, "%llu",
                      static_cast<unsigned long long>(blocksFinished * blockFrames + i));
        Message("Error! The input wave file " + inputName +
                    " holds a sample that is not a "
                    "finite number (or is far too large) in frame " +
                    frame + ".",
                MessageKind::OkError);
        return false;
    }
    return true;
}

// From a filtered block of the group to clipped samples in pcmBlock: the
// input meters, the mix of both engines, the gain, the output meters. The
// final partial block passes its frame count; the rest of its buffers are
// zero. False when a primitive refuses.
bool CTessaroDlg::FinishBlock(uint32_t indexInGroup, int frames, bool repaint) {
    const std::size_t offset = std::size_t{indexInGroup} * blockFrames;
    float* const left = leftBlock + offset;
    float* const right = rightBlock + offset;
    const auto count = static_cast<uint32_t>(frames);
    if (sampleFormat == SampleFormat::Float32 && !SamplesUsable(left, right, count)) return false;
    meters.MeterInputRms(left, right, count);
    meters.MeterInputPeak(left, right, count);
    if (loudnessMeters[0]) loudnessMeters[0]->Add(left, right, count);
    ShowInputLevels(repaint);

    // Sum of both engines: real part left output, imaginary part right.
    if (dispatch::spAdd_32fc_I(leftFiltered + offset, rightFiltered + offset, frames) < 0) {
        return false;
    }
    if (dispatch::spCplxToReal_32fc(rightFiltered + offset, left, right, frames) < 0) return false;
    ApplyGain(gainLinear, left, right, frames);

    meters.MeterOutputRms(left, right, count);
    meters.MeterOutputPeak(left, right, count);
    if (loudnessMeters[1]) loudnessMeters[1]->Add(left, right, count);
    if (sampleFormat == SampleFormat::Pcm16) {
        meters.ClipToPcm16(left, right, pcmBlock, frames);
    } else if (sampleFormat == SampleFormat::Pcm24) {
        meters.ClipToPcm24(left, right, reinterpret_cast<uint8_t*>(pcmBlock), frames);
    } else {
        meters.StoreFloat32(left, right, reinterpret_cast<float*>(pcmBlock), frames);
    }
    ShowOutputLevels(repaint);
    return true;
}

bool CTessaroDlg::ProcessFile() {
    std::optional<BlockHelper> helper;
    if (options.threads > 1 && std::thread::hardware_concurrency() != 1) {
        try {
            helper.emplace(&FilterRightInput, this);
        } catch (const std::system_error&) {
            // No second thread: one gives the same output, only slower.
        }
    }
    struct Unset {
        BlockHelper*& helper;
        ~Unset() { helper = nullptr; }
    } unset{blockHelper};
    blockHelper = helper ? &*helper : nullptr;
    return ProcessBlocks();
}

bool CTessaroDlg::ProcessBlocks() {
    meters.rounding = options.rounding;
    meters.Reset(totalSamples);
    ResetEngine(engines[0]);
    ResetEngine(engines[1]);
    for (std::unique_ptr<LoudnessMeter>& meter : loudnessMeters) {
        meter.reset();
        if (!options.loudness) continue;
        meter = std::make_unique<LoudnessMeter>();
        if (!meter->Start(inputRate)) meter.reset();
    }
    if (totalSamples == 0) return true;

    const auto blockFrameCount = static_cast<int>(blockFrames);
    const uint32_t blockSamples = 2 * blockFrames;
    const uint32_t sampleBytes = BytesPerSample(sampleFormat);
    const uint32_t blockBytes = sampleBytes * blockSamples;
    const uint64_t blockCount = totalSamples / blockSamples;
    const auto rest = static_cast<uint32_t>(totalSamples % blockSamples);
    toolkit.SetProgressPosition(0);
    bool ok = true;

    // Blocks are read and filtered a group at a time, then finished one by
    // one: progress, meters, abort and exit still act per block, and an
    // abort leaves the whole blocks before it.
    const uint32_t groupCapacity = engines[0]->groupCapacity;
    uint64_t groupStart = 0;
    uint64_t groupEnd = 0;
    uint64_t readStop = UINT64_MAX;  // the block whose read failed or was empty
    bool readFailed = false;
    for (uint64_t i = 0; i < blockCount; ++i) {
        if (!ok) return FailRun();
        if (abortRequested) break;
        if (terminatingEvent->IsSignalled()) {
            runStatus = RunAborted;
            closeWhenDone = true;
            return false;
        }
        if (i == groupEnd && i != readStop) {
            const auto count =
                static_cast<uint32_t>(std::min<uint64_t>(groupCapacity, blockCount - i));
            groupStart = i;
            groupEnd = i + ReadGroup(i, count, &readStop, &readFailed);
            FilterGroup(static_cast<uint32_t>(groupEnd - groupStart));
        }
        if (i == readStop) {
            if (readFailed) {
                Message(message::ReadFailed, MessageKind::OkError);
                return FailRun();
            }
            ok = false;
            continue;
        }
        toolkit.SetProgressPosition(
            static_cast<int>(static_cast<double>(i) / static_cast<double>(blockCount) * 100.0));
        blocksFinished = i;
        if (!FinishBlock(static_cast<uint32_t>(i - groupStart), blockFrameCount, true)) {
            return FailRun();
        }
        uint32_t written = 0;
        if (!filePair->WriteBlock(pcmBlock, blockBytes, &written)) {
            TellWriteFailed();
            return FailRun();
        }
    }
    if (!ok) return FailRun();

    if (rest != 0 && !abortRequested) {
        ClearBlockBuffers();
        uint32_t delivered = 0;
        if (!filePair->ReadBlock(pcmBlock, rest * sampleBytes, &delivered)) {
            Message(message::ReadFailed, MessageKind::OkError);
            return FailRun();
        }
        if (delivered != 0) {
            const int frames = static_cast<int>(rest / 2);
            if (sampleFormat == SampleFormat::Pcm16) {
                float* channels[2] = {leftBlock, rightBlock};
                if (dispatch::spSplitScaled_16s32f_D2L(pcmBlock, channels, 2, frames) < 0)
                    return FailRun();
            } else {
                DecodeStereo(sampleFormat, pcmBlock, leftBlock, rightBlock,
                             static_cast<uint32_t>(frames));
            }
            FilterGroup(1);
            blocksFinished = blockCount;
            if (!FinishBlock(0, frames, false)) return FailRun();
            uint32_t written = 0;
            if (!filePair->WriteBlock(pcmBlock, rest * sampleBytes, &written)) {
                TellWriteFailed();
                return FailRun();
            }
            toolkit.SetProgressPosition(100);
        }
    }

    if (!FinishOutputFile()) return FailRun();
    if (abortRequested) {
        runStatus = RunAborted;
        abortRequested = false;
    } else {
        runStatus = RunComplete;
    }
    return true;
}

}  // namespace tessaro
