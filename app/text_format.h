#pragma once
// Number formatting and parsing for the dialog, independent of the user's
// locale: a decimal comma must change neither the report nor the gain parse.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro {

// As printf "%.2f" in the C locale ("-inf", "nan" for non-finite values).
std::string FormatFixed2(double value);

// As printf "% .2f": a blank before values that carry no minus sign.
std::string FormatFixed2Blank(double value);

// Replaces each "%s", "%d", "%.2f" and "% .2f" of a message format in turn;
// used only with the program's own formats.
std::string FormatText(std::string_view format, std::string_view text);
std::string FormatNumber(std::string_view format, int64_t value);
std::string FormatLevel(std::string_view format, double value);

// Lines of a text whose lines end in "\r\n", as an edit control counts
// them: an empty text is one line.
int CountLines(std::string_view text);

// A decimal number with optional surrounding blanks and nothing else, as the
// gain field accepts it; nothing for any other text, infinities and NaNs.
std::optional<double> ParseFiniteNumber(std::string_view text);

}  // namespace tessaro
