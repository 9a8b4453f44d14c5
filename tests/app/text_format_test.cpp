#include "app/text_format.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

namespace tessaro {
namespace {

TEST(TextFormat, FixedTwoDecimalsAsPrintf) {
    const double values[] = {0.0, -0.0, 0.5, -3.5, -20.004, 1.005, 123456.789, -0.001, 2.675};
    for (double v : values) {
        char expected[64];
        std::snprintf(expected, sizeof expected, "%.2f", v);
        EXPECT_EQ(FormatFixed2(v), expected) << v;
        std::snprintf(expected, sizeof expected, "% .2f", v);
        EXPECT_EQ(FormatFixed2Blank(v), expected) << v;
    }
    EXPECT_EQ(FormatFixed2(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(FormatFixed2Blank(-std::numeric_limits<double>::infinity()), "-inf");
    EXPECT_EQ(FormatFixed2Blank(std::numeric_limits<double>::infinity()), " inf");
}

TEST(TextFormat, FormatsFillTheirConversion) {
    EXPECT_EQ(FormatLevel("RMS Input Level: %.2f dB", -20.004), "RMS Input Level: -20.00 dB");
    EXPECT_EQ(FormatLevel("Peak Output value:% .2f dB", 0.5), "Peak Output value: 0.50 dB");
    EXPECT_EQ(FormatLevel("Peak Output value:% .2f dB", -3.5), "Peak Output value:-3.50 dB");
    EXPECT_EQ(FormatNumber("Value Clipped:   %d", -7), "Value Clipped:   -7");
    EXPECT_EQ(FormatNumber("Sample Rate:   %d Hz", 44100), "Sample Rate:   44100 Hz");
    EXPECT_EQ(FormatText("Input File:   %s", "a%d.wav"), "Input File:   a%d.wav");
}

TEST(TextFormat, IgnoresTheUsersLocale) {
    // A locale with a decimal comma, where the machine has one.
    const char* previous = std::setlocale(LC_ALL, nullptr);
    const std::string saved = previous ? previous : "C";
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "no de_DE locale";
    EXPECT_EQ(FormatFixed2(1.5), "1.50");
    EXPECT_EQ(ParseFiniteNumber("1.5"), 1.5);
    std::setlocale(LC_ALL, saved.c_str());
}

TEST(GainParsing, AcceptsNumbersWithBlanksOnly) {
    EXPECT_EQ(ParseFiniteNumber("0"), 0.0);
    EXPECT_EQ(ParseFiniteNumber("  -6.5 "), -6.5);
    EXPECT_EQ(ParseFiniteNumber("+3"), 3.0);
    EXPECT_EQ(ParseFiniteNumber("1e1"), 10.0);
    EXPECT_EQ(ParseFiniteNumber(".5"), 0.5);
    for (const char* bad : {"", "   ", "abc", "3dB", "1,5", "inf", "-inf", "nan", "1e999", "+-3",
                            "--3", "0x10", "3 4"}) {
        EXPECT_FALSE(ParseFiniteNumber(bad).has_value()) << bad;
    }
}

TEST(LogLines, CountedAsAnEditControlCountsThem) {
    EXPECT_EQ(CountLines(""), 1);
    EXPECT_EQ(CountLines("one"), 1);
    EXPECT_EQ(CountLines("one\r\ntwo"), 2);
    EXPECT_EQ(CountLines("one\r\n\r\n\r\n"), 4);
    EXPECT_EQ(CountLines("bare\nnewline"), 1);
}

}  // namespace
}  // namespace tessaro
