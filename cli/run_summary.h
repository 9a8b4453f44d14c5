#pragma once
// What a command-line run says about each file it filtered: the summary
// table after a batch's reports, and the same as JSON for scripts.

#include <optional>
#include <string>
#include <vector>

#include "app/tessaro_dlg.h"

namespace tessaro {

struct FileResult {
    std::string input;
    std::string output;
    // "Complete", "Aborted", "Error" (the run failed) or "Refused" (it
    // never started: a missing or unusable file).
    std::string status;
    bool ok = false;  // complete, with its report written
    // The meters at the end of the run, in dB; none for a refused file.
    struct Levels {
        double inputRms = 0;
        double inputPeak = 0;
        double outputRms = 0;
        double outputPeak = 0;
        int clipped = 0;
    };
    std::optional<Levels> levels;
    LoudnessReport loudness;  // when measured
    double seconds = 0;       // wall time from the start of the run to its report
    std::string report;       // the run's report as the log shows it
};

// One header line and one line per file, columns aligned; levels with two
// decimals, "-" where a refused file has none.
std::string SummaryTable(const std::vector<FileResult>& results);

// {"configuration": ..., "files": [...], "failed": N}: each file with its
// paths, status, levels (null where there are none, or not finite), clip
// count, loudness and headroom figures (null where not measured), seconds
// and report text.
std::string ReportJson(const std::string& configuration, const std::vector<FileResult>& results);

}  // namespace tessaro
