#include "app/text_format.h"

#include <charconv>
#include <cmath>

namespace tessaro {
namespace {

std::string FixedDigits(double value) {
    if (std::isnan(value)) return std::signbit(value) ? "-nan" : "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buffer[400];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 2);
    return std::string(buffer, result.ptr);
}

// Replaces the first conversion (the first '%' up to its conversion letter).
std::string Substitute(std::string_view format, const std::string& value) {
    const std::size_t start = format.find('%');
    if (start == std::string_view::npos) return std::string(format);
    const std::size_t end = format.find_first_of("sdf", start);
    if (end == std::string_view::npos) return std::string(format);
    std::string out(format.substr(0, start));
    out += value;
    out += format.substr(end + 1);
    return out;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

}  // namespace

std::string FormatFixed2(double value) { return FixedDigits(value); }

std::string FormatFixed2Blank(double value) {
    std::string digits = FixedDigits(value);
    return digits.front() == '-' ? digits : " " + digits;
}

std::string FormatText(std::string_view format, std::string_view text) {
    return Substitute(format, std::string(text));
}

std::string FormatNumber(std::string_view format, int64_t value) {
    return Substitute(format, std::to_string(value));
}

std::string FormatLevel(std::string_view format, double value) {
    const std::size_t start = format.find('%');
    const bool blankFlag =
        start != std::string_view::npos && start + 1 < format.size() && format[start + 1] == ' ';
    return Substitute(format, blankFlag ? FormatFixed2Blank(value) : FormatFixed2(value));
}

int CountLines(std::string_view text) {
    int lines = 1;
    for (std::size_t at = text.find("\r\n"); at != std::string_view::npos;
         at = text.find("\r\n", at + 2)) {
        ++lines;
    }
    return lines;
}

std::optional<double> ParseFiniteNumber(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '-' || text.front() == '+')) return std::nullopt;
    }
    if (text.empty()) return std::nullopt;
    double value = 0;
    const auto result =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::general);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return std::nullopt;
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

}  // namespace tessaro
