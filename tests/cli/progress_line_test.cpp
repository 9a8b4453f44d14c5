#include "cli/progress_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tessaro::testing {
namespace {

// The five live texts as a run shows them, at their widest.
const std::vector<std::string> LevelTexts = {
    "RMS Input Level: -100.00 dB", "Peak Input Level: -100.00 dB", "RMS Output Level: -100.00 dB",
    "Peak Output Level: -100.00 dB", "Value Clipped: 2147483647"};

int BarColumns(const std::string& line) {
    return line.starts_with('[') ? static_cast<int>(line.find(']')) - 1 : 0;
}

int TextsShown(const std::string& line) {
    std::size_t shown = 0;
    while (shown < LevelTexts.size() && line.find(LevelTexts[shown]) != std::string::npos) ++shown;
    return static_cast<int>(shown);
}

class CliProgressLineWidth : public ::testing::TestWithParam<int> {};

TEST_P(CliProgressLineWidth, FitsWithThePercentageAndTheFirstTextsWhole) {
    const int width = GetParam();
    for (const int percent : {0, 7, 42, 100}) {
        SCOPED_TRACE(percent);
        const std::string line = ProgressLine(percent, LevelTexts, width);
        EXPECT_LE(static_cast<int>(line.size()), width - 1) << line;
        const auto percentAt = line.find(std::to_string(percent) + "%");
        ASSERT_NE(percentAt, std::string::npos) << line;
        EXPECT_EQ(std::count(line.begin(), line.end(), '#'), percent * BarColumns(line) / 100);

        std::string expected = line.substr(0, line.find('%') + 1);
        const int shown = TextsShown(line);
        for (int i = 0; i < shown; ++i) expected += "  " + LevelTexts[i];
        EXPECT_EQ(line, expected);
        if (shown < static_cast<int>(LevelTexts.size())) {
            // A text goes only when it would not fit beside the smallest bar.
            const std::size_t withNext =
                line.size() - BarColumns(line) + MinProgressBar + 2 + LevelTexts[shown].size();
            EXPECT_GT(withNext, static_cast<std::size_t>(width - 1)) << line;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(TerminalWidths, CliProgressLineWidth,
                         ::testing::Values(5, 12, 20, 40, 80, 120, 200));

TEST(CliProgressLine, ShrinksTheBarBeforeDroppingATextAsTheTerminalNarrows) {
    const std::string full = ProgressLine(50, LevelTexts, 1000);
    ASSERT_EQ(BarColumns(full), FullProgressBar);
    ASSERT_EQ(TextsShown(full), 5);
    const int fullWidth = static_cast<int>(full.size()) + 1;
    for (int narrower = 1; narrower <= FullProgressBar - MinProgressBar; ++narrower) {
        const std::string line = ProgressLine(50, LevelTexts, fullWidth - narrower);
        EXPECT_EQ(BarColumns(line), FullProgressBar - narrower) << line;
        EXPECT_EQ(TextsShown(line), 5) << line;
    }
    const int tooNarrow = fullWidth - (FullProgressBar - MinProgressBar) - 1;
    EXPECT_EQ(TextsShown(ProgressLine(50, LevelTexts, tooNarrow)), 4);
}

}  // namespace
}  // namespace tessaro::testing
