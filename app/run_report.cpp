// The "Previous runs" log and the report each run appends to it.

#include "app/control_ids.h"
#include "app/tessaro_dlg.h"
#include "app/text_format.h"

namespace tessaro {

void CTessaroDlg::AppendLogLine(const std::string& line) {
    std::string text = toolkit.LogText();
    if (!text.empty()) text += "\r\n";
    text += line;
    toolkit.SetLogText(text);
    toolkit.ScrollLog(toolkit.LogLineCount());
}

void CTessaroDlg::WriteRunReport() {
    static const char* const StatusNames[] = {"Complete", "Error", "Aborted"};
    const int32_t status = runStatus;
    AppendLogLine(FormatText("Input File:   %s", inputName));
    AppendLogLine(FormatNumber("Sample Rate:   %d Hz", inputRate));
    AppendLogLine(FormatText("Output File:   %s", outputName));
    AppendLogLine(FormatText("Config File:   %s", configName));
    AppendLogLine(FormatLevel("Gain Setting:   %.2f dB", gainDb));
    AppendLogLine(FormatLevel("RMS Input value:   %.2f dB", meters.inRmsDb));
    AppendLogLine(FormatLevel("Peak Input value:   %.2f dB", meters.inPeakDb));
    AppendLogLine("\r\n");
    AppendLogLine(FormatLevel("RMS Output value:   %.2f dB", meters.outRmsDb));
    // The blank flag: no gap before a minus sign, one blank otherwise.
    AppendLogLine(FormatLevel("Peak Output value:% .2f dB", meters.outPeakDb));
    AppendLogLine(FormatNumber("Value Clipped:   %d", meters.clipCount));
    AppendLogLine(status >= 0 && status <= 2 ? StatusNames[status] : "Error");
    AppendLogLine("====================================");
    AppendLogLine("\r\n");
    if (options.loudnessLines) WriteLoudnessLines();
}

void CTessaroDlg::CollectLoudness() {
    if (!options.loudness) return;
    LoudnessReport report;
    if (loudnessMeters[0]) report.input = loudnessMeters[0]->Result();
    if (loudnessMeters[1]) report.output = loudnessMeters[1]->Result();
    if (configuration) report.filter = configuration->Gain();
    if (meters.clipCount > 0) {
        // The largest value a sample of the output's format holds.
        const double fullScale = sampleFormat == SampleFormat::Pcm16   ? 32767.0 / 32768.0
                                 : sampleFormat == SampleFormat::Pcm24 ? 8388607.0 / 8388608.0
                                                                       : 1.0;
        report.gainWithoutClipsDb = GainWithoutClips(gainDb, meters.outPeak, fullScale);
    }
    loudnessReport = report;
    for (std::unique_ptr<LoudnessMeter>& meter : loudnessMeters) meter.reset();
}

// Behind the report, so that its own lines stay as they are.
void CTessaroDlg::WriteLoudnessLines() {
    const auto loudnessLine = [this](std::string line, const std::optional<Loudness>& figures) {
        if (!figures) {
            AppendLogLine(line + "not measured");
            return;
        }
        line += FormatLevel("%.2f LUFS, ", figures->integratedLufs);
        line += FormatLevel("range %.2f LU, ", figures->rangeLu);
        AppendLogLine(line + FormatLevel("true peak %.2f dBTP", figures->truePeakDb));
    };
    loudnessLine("Input Loudness:   ", loudnessReport.input);
    loudnessLine("Output Loudness:   ", loudnessReport.output);
    if (const auto& filter = loudnessReport.filter) {
        AppendLogLine(FormatLevel("Filter Peak Gain:   %.2f dB over frequency, ",
                                  filter->peakOverFrequencyDb) +
                      FormatLevel("%.2f dB gain never clips", filter->noClipGainDb));
    }
    if (loudnessReport.gainWithoutClipsDb) {
        AppendLogLine(
            FormatLevel("Gain Without Clipping:   %.2f dB", *loudnessReport.gainWithoutClipsDb));
    }
    AppendLogLine("\r\n");
}

void CTessaroDlg::ClearLog() {
    if (running) return;
    toolkit.SetLogReadOnly(false);
    toolkit.SelectAllLog();
    toolkit.ScrollLogToSelection();
    toolkit.DeleteLogSelection();
    toolkit.RepaintNow(control::Log);
    toolkit.SetLogReadOnly(true);
}

}  // namespace tessaro
