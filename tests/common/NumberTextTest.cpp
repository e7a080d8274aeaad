#include "common/NumberText.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

using namespace tavrel::common;
using namespace std::string_view_literals;

namespace {

constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt16Min = -32768;
constexpr std::int64_t kInt16Max = 32767;

// The value as text, or the error's text, so that a table can name either.
std::string Describe(const tl::expected<std::int64_t, NumberError>& result)
{
    return result ? std::to_string(*result) : std::string(NumberErrorText(result.error()));
}

std::string Describe(const tl::expected<Currency, NumberError>& result)
{
    return result ? std::to_string(result->scaled) : std::string(NumberErrorText(result.error()));
}

template<typename Floating>
std::string Describe(const tl::expected<Floating, NumberError>& result)
{
    if (!result) {
        return std::string(NumberErrorText(result.error()));
    }
    char buffer[64];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, *result).ptr; // shortest exact form
    return std::string(buffer, end);
}

struct WholeCase
{
    std::string_view text;
    std::int64_t minimum;
    std::int64_t maximum;
    std::string_view expected;
};

} // namespace

TEST(NumberText, WholeNumbersRoundHalvesToEvenAndReportErrors)
{
    const WholeCase cases[] = {
        {" \t42 \t", kInt16Min, kInt16Max, "42"}, {"+5", kInt16Min, kInt16Max, "5"},
        {"-0", kInt16Min, kInt16Max, "0"}, {"0.5", kInt16Min, kInt16Max, "0"},
        {"1.5", kInt16Min, kInt16Max, "2"}, {"-2.5", kInt16Min, kInt16Max, "-2"},
        {"2.5000000000000000000001", kInt16Min, kInt16Max, "3"}, {".5", kInt16Min, kInt16Max, "0"},
        {"7.", kInt16Min, kInt16Max, "7"}, {"1.5E+2", kInt16Min, kInt16Max, "150"},
        {"15e-1", kInt16Min, kInt16Max, "2"}, {"0.04", kInt16Min, kInt16Max, "0"},
        // The edges of a 16-bit kind: a half beyond the edge is out of range unless it rounds back to even.
        {"32767.4999", kInt16Min, kInt16Max, "32767"}, {"32767.5", kInt16Min, kInt16Max, "out of range"},
        {"-32768.5", kInt16Min, kInt16Max, "-32768"}, {"-32767.5", kInt16Min, kInt16Max, "-32768"},
        {"-32768.50001", kInt16Min, kInt16Max, "out of range"}, {"255.5", 0, 255, "out of range"},
        // The edges of 64 bits, and beyond.
        {"9223372036854775807", kInt64Min, kInt64Max, "9223372036854775807"},
        {"9223372036854775807.5", kInt64Min, kInt64Max, "out of range"},
        {"-9223372036854775808", kInt64Min, kInt64Max, "-9223372036854775808"},
        {"-9223372036854775809", kInt64Min, kInt64Max, "out of range"},
        {"18446744073709551616", kInt64Min, kInt64Max, "out of range"},
        {"1e19", kInt64Min, kInt64Max, "out of range"},
        {"1e999999999999999999999999", kInt64Min, kInt64Max, "out of range"},
        {"1e-999999999999999999999999", kInt64Min, kInt64Max, "0"},
        {"0e999999999999999999999999", kInt64Min, kInt64Max, "0"},
        // Not numbers at all.
        {"", kInt64Min, kInt64Max, "not a number"}, {"   ", kInt64Min, kInt64Max, "not a number"},
        {"+", kInt64Min, kInt64Max, "not a number"}, {" - ", kInt64Min, kInt64Max, "not a number"},
        {".", kInt64Min, kInt64Max, "not a number"}, {"--1", kInt64Min, kInt64Max, "not a number"},
        {"- 1", kInt64Min, kInt64Max, "not a number"}, {"1 2", kInt64Min, kInt64Max, "not a number"},
        {"1.2.3", kInt64Min, kInt64Max, "not a number"}, {"1e", kInt64Min, kInt64Max, "not a number"},
        {"1e+", kInt64Min, kInt64Max, "not a number"}, {"e5", kInt64Min, kInt64Max, "not a number"},
        {"0x10", kInt64Min, kInt64Max, "not a number"}, {"inf", kInt64Min, kInt64Max, "not a number"},
        {"\0"sv, kInt64Min, kInt64Max, "not a number"}, {"5\0"sv, kInt64Min, kInt64Max, "not a number"},
        {"1\0" "2"sv, kInt64Min, kInt64Max, "not a number"},
    };
    for (const WholeCase& c : cases) {
        SCOPED_TRACE("text \"" + std::string(c.text) + "\"");
        EXPECT_EQ(Describe(ParseWholeNumber(c.text, c.minimum, c.maximum)), c.expected);
    }
}

TEST(NumberText, TheCallersDecimalSeparatorIsTheOnlyOneAccepted)
{
    EXPECT_EQ(Describe(ParseWholeNumber("1,5", kInt64Min, kInt64Max, ',')), "2");
    EXPECT_EQ(Describe(ParseWholeNumber("1.5", kInt64Min, kInt64Max, ',')), "not a number");
    EXPECT_EQ(Describe(ParseCurrency("-0,25", ',')), "-2500");
    EXPECT_EQ(Describe(ParseSingle("1,5e3", ',')), "1500");
    EXPECT_EQ(Describe(ParseDouble("2,5", ',')), "2.5");
    EXPECT_EQ(SingleToText(-1.5e-7f, ','), "-1,5E-07");
    EXPECT_EQ(SingleToText(1234567.0f, ','), "1234567");
    EXPECT_EQ(Describe(ParseSingle(SingleToText(1234.5f, ','), ',')), "1234.5");
}

TEST(NumberText, CurrencyKeepsFourDecimalsAndRoundsTheFifthHalfToEven)
{
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"-1.5", "-15000"}, {"1.23456", "12346"}, {"0.00005", "0"}, {"0.00015", "2"}, {"0.00025", "2"},
        {"0.000250001", "3"}, {"-0.00015", "-2"}, {"922337203685477.5807", "9223372036854775807"},
        {"922337203685477.58075", "out of range"}, {"-922337203685477.5808", "-9223372036854775808"},
        {"-922337203685477.58085", "-9223372036854775808"}, {"-922337203685477.58086", "out of range"},
        {"1e15", "out of range"}, {"-", "not a number"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE("text \"" + std::string(text) + "\"");
        EXPECT_EQ(Describe(ParseCurrency(text)), expected);
    }
}

TEST(NumberText, FloatingNumbersAreNearestOrOutOfRange)
{
    EXPECT_EQ(Describe(ParseSingle("0.1")), "0.1");
    EXPECT_EQ(Describe(ParseSingle("16777217")), "16777216"); // a tie between floats goes to even
    EXPECT_EQ(Describe(ParseSingle("3.4028235e38")), "3.4028235e+38");
    EXPECT_EQ(Describe(ParseSingle("3.5e38")), "out of range");
    EXPECT_EQ(Describe(ParseSingle("1e-50")), "0");
    EXPECT_EQ(Describe(ParseSingle("inf")), "not a number");
    EXPECT_EQ(Describe(ParseDouble("1e308")), "1e+308");
    EXPECT_EQ(Describe(ParseDouble("1e309")), "out of range");
    EXPECT_EQ(Describe(ParseDouble("1e-400")), "0");
}

TEST(NumberText, TextsOfManyDigitsGiveTheirValue)
{
    const std::string zeros(150000, '0');
    const std::string nines(100000, '9');

    EXPECT_EQ(Describe(ParseWholeNumber(nines, kInt64Min, kInt64Max)), "out of range");
    EXPECT_EQ(Describe(ParseDouble(nines)), "out of range");
    EXPECT_EQ(Describe(ParseSingle("-" + nines)), "out of range");
    EXPECT_EQ(Describe(ParseCurrency(nines)), "out of range");
    EXPECT_EQ(Describe(ParseWholeNumber(zeros + "7", kInt64Min, kInt64Max)), "7");
    EXPECT_EQ(Describe(ParseWholeNumber("0." + zeros + "1", kInt64Min, kInt64Max)), "0");
    EXPECT_EQ(Describe(ParseWholeNumber("0.5" + zeros + "1", kInt64Min, kInt64Max)), "1");
    EXPECT_EQ(Describe(ParseWholeNumber("2.5" + zeros, kInt64Min, kInt64Max)), "2");

    // A long run of zeros moves the point as far as the exponent moves it back.
    EXPECT_EQ(Describe(ParseWholeNumber("0." + zeros + "1e150011", kInt64Min, kInt64Max)), "10000000000");
    EXPECT_EQ(Describe(ParseDouble("0." + zeros + "1e150011")), "1e+10");
    EXPECT_EQ(Describe(ParseWholeNumber("1" + zeros + "e-150000", kInt64Min, kInt64Max)), "1");
    EXPECT_EQ(Describe(ParseSingle("1" + zeros + "e-150001")), "0.1");
}

TEST(NumberText, SingleTextHasSevenDigitsAndTheExponentRule)
{
    const std::pair<float, std::string_view> cases[] = {
        {0.0f, "0"}, {-0.0f, "0"}, {100.0f, "100"}, {-1.5f, "-1.5"}, {0.1f, "0.1"}, {1.0f / 3.0f, "0.3333333"},
        {1234567.25f, "1234567"}, {9999999.0f, "9999999"}, {1e7f, "1E+07"}, {12345678.0f, "1.234568E+07"},
        {-16777216.0f, "-1.677722E+07"}, {0.0001f, "0.0001"}, {-0.00012345678f, "-0.0001234568"},
        {0.00001f, "1E-05"}, {-1.5e-7f, "-1.5E-07"},
        // Rounding to seven digits that reaches the next power of ten takes that power's notation.
        {9.9999997e-5f, "0.0001"}, {999999.96875f, "1000000"}, {99999992.0f, "9.999999E+07"},
        {std::numeric_limits<float>::max(), "3.402823E+38"},
        {std::numeric_limits<float>::denorm_min(), "1.401298E-45"},
    };
    for (const auto& [value, expected] : cases) {
        SCOPED_TRACE("expected " + std::string(expected));
        EXPECT_EQ(SingleToText(value), expected);
    }
}
