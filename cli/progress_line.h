#pragma once
// The console's progress line: a bar, the percentage and the live level
// texts, fitted to the terminal's width. Kept inline so that it can be
// tested without a terminal.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace tessaro {

inline constexpr int FullProgressBar = 30;  // columns of the bar when there is room
inline constexpr int MinProgressBar = 10;   // the bar shrinks to this before texts go

// "[#####     ]  42%  text  text": the bar filled by percent (clamped to
// 0..100), the percentage right-aligned in four columns, then the non-empty
// texts in order, two spaces before each. Texts are ASCII, one column a
// byte. The line takes at most width - 1 columns, since writing into the
// last column makes many terminals wrap: the bar shrinks first, down to
// MinProgressBar, then texts are dropped from the right, then the bar
// shrinks further and goes. Only when even the percentage does not fit is
// the line empty.
inline std::string ProgressLine(int percent, const std::vector<std::string>& texts, int width) {
    percent = std::clamp(percent, 0, 100);
    char percentText[8];
    constexpr int PercentColumns = 4;  // "%3d%%" of 0 to 100
    std::snprintf(percentText, sizeof percentText, "%3d%%", percent);
    const int columns = width - 1;

    std::vector<std::string> shown;
    int textColumns = 0;
    for (const std::string& text : texts) {
        if (text.empty()) continue;
        shown.push_back(text);
        textColumns += 2 + static_cast<int>(text.size());
    }
    // Besides the bar and the texts: "[", "] " and the percentage.
    constexpr int FrameColumns = 3 + PercentColumns;
    while (!shown.empty() && columns - FrameColumns - textColumns < MinProgressBar) {
        textColumns -= 2 + static_cast<int>(shown.back().size());
        shown.pop_back();
    }
    const int bar = std::min(FullProgressBar, columns - FrameColumns - textColumns);
    if (bar < 1) {
        return columns >= PercentColumns ? percentText : std::string();
    }

    const int filled = percent * bar / 100;
    std::string line = "[";
    line.append(filled, '#').append(bar - filled, ' ').append("] ").append(percentText);
    for (const std::string& text : shown) line.append("  ").append(text);
    return line;
}

}  // namespace tessaro
