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
