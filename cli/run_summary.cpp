#include "cli/run_summary.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tessaro {
namespace {

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// Quotes text as a JSON string. Bytes of 0x80 and above pass unchanged, so
// UTF-8 names stay readable.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

// JSON has no infinities: the level of silence is null.
std::string JsonNumber(std::optional<double> value, int decimals) {
    return value && std::isfinite(*value) ? Fixed(*value, decimals) : "null";
}

std::string LoudnessJson(const LoudnessReport& report) {
    std::string out;
    const std::pair<const char*, const std::optional<Loudness>*> sides[] = {
        {"input", &report.input}, {"output", &report.output}};
    for (const auto& side : sides) {
        const std::optional<Loudness>& figures = *side.second;
        const auto field = [&figures](double Loudness::*member) {
            return JsonNumber(figures ? std::optional((*figures).*member) : std::nullopt, 2);
        };
        const std::string name = side.first;
        out += "\"" + name + "_loudness_lufs\": " + field(&Loudness::integratedLufs) + ", \"" +
               name + "_loudness_range_lu\": " + field(&Loudness::rangeLu) + ", \"" + name +
               "_true_peak_dbtp\": " + field(&Loudness::truePeakDb) + ",\n     ";
    }
    const auto& filter = report.filter;
    return out + "\"filter_peak_gain_db\": " +
           JsonNumber(filter ? std::optional(filter->peakOverFrequencyDb) : std::nullopt, 2) +
           ", \"no_clip_gain_db\": " +
           JsonNumber(filter ? std::optional(filter->noClipGainDb) : std::nullopt, 2) +
           ", \"gain_without_clips_db\": " + JsonNumber(report.gainWithoutClipsDb, 2);
}

}  // namespace

std::string SummaryTable(const std::vector<FileResult>& results) {
    const std::vector<std::string> header = {"File",    "Status",   "In RMS",  "In peak",
                                             "Out RMS", "Out peak", "Clipped", "Seconds"};
    std::vector<std::vector<std::string>> rows = {header};
    for (const FileResult& result : results) {
        std::vector<std::string> row = {result.input, result.status};
        if (result.levels) {
            const FileResult::Levels& levels = *result.levels;
            for (double level :
                 {levels.inputRms, levels.inputPeak, levels.outputRms, levels.outputPeak}) {
                row.push_back(Fixed(level, 2));
            }
            row.push_back(std::to_string(levels.clipped));
        } else {
            row.insert(row.end(), 5, "-");
        }
        row.push_back(Fixed(result.seconds, 2));
        rows.push_back(std::move(row));
    }
    std::vector<std::size_t> widths(header.size(), 0);
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
    }
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            // File and status read left-aligned, numbers right-aligned.
            const std::string pad(widths[c] - row[c].size(), ' ');
            line += c < 2 ? row[c] + pad : pad + row[c];
            if (c + 1 < row.size()) line += "  ";
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    return out;
}

std::string ReportJson(const std::string& configuration, const std::vector<FileResult>& results) {
    std::string out = "{\n  \"configuration\": " + JsonString(configuration) + ",\n  \"files\": [";
    int failed = 0;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const FileResult& result = results[i];
        if (!result.ok) ++failed;
        const auto level = [&](double FileResult::Levels::*field) {
            return JsonNumber(result.levels ? std::optional((*result.levels).*field) : std::nullopt,
                              2);
        };
        out += i == 0 ? "\n" : ",\n";
        out += "    {\"input\": " + JsonString(result.input) +
               ", \"output\": " + JsonString(result.output) +
               ", \"status\": " + JsonString(result.status) +
               ", \"ok\": " + (result.ok ? "true" : "false") +
               ",\n     \"input_rms_db\": " + level(&FileResult::Levels::inputRms) +
               ", \"input_peak_db\": " + level(&FileResult::Levels::inputPeak) +
               ", \"output_rms_db\": " + level(&FileResult::Levels::outputRms) +
               ", \"output_peak_db\": " + level(&FileResult::Levels::outputPeak) +
               ", \"clipped\": " +
               (result.levels ? std::to_string(result.levels->clipped) : std::string("null")) +
               ",\n     " + LoudnessJson(result.loudness) +
               ", \"seconds\": " + Fixed(result.seconds, 3) +
               ",\n     \"report\": " + JsonString(result.report) + "}";
    }
    out += results.empty() ? "],\n" : "\n  ],\n";
    return out + "  \"failed\": " + std::to_string(failed) + "\n}\n";
}

}  // namespace tessaro
