#include "common/ValueConversions.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

using namespace tavrel::common;
using namespace std::string_view_literals;

TEST(ValueConversions, TimerTicksGiveElevenCharactersWithinTheLegalRange)
{
    const std::pair<std::int32_t, std::string_view> cases[] = {
        {0, "00:00:00.00"}, {99, "00:00:00.99"}, {100, "00:00:01.00"}, {6000, "00:01:00.00"},
        {366123, "01:01:01.23"}, {35999999, "99:59:59.99"}, {36000000, "99:59:59.99"},
        {std::numeric_limits<std::int32_t>::max(), "99:59:59.99"}, {-5, "00:00:00.00"},
        {std::numeric_limits<std::int32_t>::min(), "00:00:00.00"},
    };
    for (const auto& [ticks, text] : cases) {
        SCOPED_TRACE("ticks " + std::to_string(ticks));
        EXPECT_EQ(TimerTicksToText(ticks), text);
        EXPECT_EQ(TimerTextToTicks(TimerTicksToText(ticks)), ClampTimerTicks(ticks));
    }
    EXPECT_EQ(ClampTimerTicks(std::numeric_limits<std::int64_t>::max()), kMaxTimerTicks);
    EXPECT_EQ(ClampTimerTicks(std::numeric_limits<std::int64_t>::min()), 0);
}

TEST(ValueConversions, TimerTextsAddTheirFieldsAndLimitOnlyTheTotal)
{
    const std::pair<std::string_view, std::int32_t> cases[] = {
        {"01:01:01.23", 366123}, {"99:99:99.99", 35999999}, {"00:75:00.00", 450000}, {"", 0},
        {"1:02:03.04", 304},     // the slices "1:" and "2:" are not numbers
        {"-1:00:00.00", 0},      // -360000, limited
        {"01:-1:00.00", 354000}, // a negative field counts; only the total is limited
        {"01x01y01z23", 366123}, // the separators are not looked at
        {"01:01:01.2x", 366100}, {"01:01:01.5", 366105}, {" 1: 1: 1. 1", 366101}, {"aa:bb:cc.dd", 0},
        {"01:01:01.23 and more", 366123}, {"01:0\0:01.23"sv, 360123},
    };
    for (const auto& [text, ticks] : cases) {
        SCOPED_TRACE("text \"" + std::string(text) + "\"");
        EXPECT_EQ(TimerTextToTicks(text), ticks);
    }
}

TEST(ValueConversions, OnlyTimerTextsThatATimerCanHoldAreTakenAsPokes)
{
    const std::pair<std::string_view, std::int32_t> taken[] = {
        { "00:00:00.00", 0 },      { "01:01:01.23", 366123 },         { " 00:01:30.00 ", 9000 },
        { "00:75:00.00", 450000 }, { "99:59:59.99", kMaxTimerTicks },
    };
    for (const auto& [text, ticks] : taken) {
        EXPECT_EQ(ParseTimerText(text), ticks) << text;
    }
    for (const std::string_view text :
         { ""sv, "abc"sv, "10"sv, "1:02:03.04"sv, "01:01:01.2"sv, "01x01y01z23"sv, "-1:00:00.00"sv,
           "01:01:01.23 and more"sv, "01:01:01,23"sv, "01:0\0:01.23"sv }) {
        EXPECT_EQ(ParseTimerText(text), tl::make_unexpected(NumberError::NotANumber)) << text;
    }
    EXPECT_EQ(ParseTimerText("99:99:99.99"), tl::make_unexpected(NumberError::OutOfRange));
    EXPECT_EQ(ParseTimerText("99:60:00.00"), tl::make_unexpected(NumberError::OutOfRange));
}

TEST(ValueConversions, MidNumberReadsAWholeNumberFromASliceOrGivesZero)
{
    struct Case
    {
        std::string_view text;
        std::size_t start;
        std::size_t length;
        std::int32_t number;
    };
    const Case cases[] = {
        {"abc12def", 4, 2, 12}, {"x 7 y", 2, 3, 7}, {"-4", 1, 2, -4}, {"2.5", 1, 3, 2}, {"3.5", 1, 3, 4},
        {"12", 2, 5, 2}, // the slice ends with the text
        {"12", 3, 2, 0}, // starts after the text
        {"12", 0, 2, 0}, // there is no position 0
        {"", 1, 2, 0}, {"-", 1, 1, 0}, {"2147483647", 1, 10, 2147483647},
        {"2147483648", 1, 10, 0}, // does not fit
        {"-2147483648", 1, 11, -2147483647 - 1}, {"12", 1, std::string_view::npos, 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("text \"" + std::string(c.text) + "\" from " + std::to_string(c.start));
        EXPECT_EQ(MidNumber(c.text, c.start, c.length), c.number);
    }
}

TEST(ValueConversions, TimerWordCountIsScaledByItsTimeBase)
{
    const std::pair<std::uint16_t, std::int32_t> cases[] = {
        {0x0000, 0},     {0x0005, 50},     {0x4005, 5000},      {0x8005, 500},
        {0xC005, 50000}, {0x3FFF, 163830}, {0xFFFF, 163830000}, {0x4000, 0},
    };
    for (const auto& [word, number] : cases) {
        SCOPED_TRACE("word " + std::to_string(word));
        EXPECT_EQ(TimerWordToNumber(word), number);
    }
}

TEST(ValueConversions, SwappedFloatWordsHaveTheirHalvesExchanged)
{
    std::uint32_t word = 0x12345678;
    SwapWordHalves(word);
    EXPECT_EQ(word, 0x56781234U);

    EXPECT_EQ(FloatTextFromSwappedWord(0x00003F80), "1");
    EXPECT_EQ(FloatTextFromSwappedWord(0), "0");
    EXPECT_EQ(FloatTextFromSwappedWord(0x0000BFC0), "-1.5");
    EXPECT_EQ(FloatTextFromSwappedWord(0x00003FC0, ','), "1,5");
    EXPECT_EQ(SwappedWordFromFloat(1.0f), 0x00003F80);
    EXPECT_EQ(FloatTextFromSwappedWord(SwappedWordFromFloat(-1234.5f)), "-1234.5");
}

TEST(ValueConversions, NonNegativeNumberTextsFitInThirtyTwoBits)
{
    const std::string_view nonNegative[] = {"0", " 12 ", "+3", "-0", "1.5", "2147483647", "1e3"};
    for (const std::string_view text : nonNegative) {
        EXPECT_TRUE(IsNonNegativeNumberText(text)) << "\"" << text << "\"";
    }
    const std::string_view others[] = {"-1", "-0.5000001", "abc", "", "   ", "+", "2147483648", "1e10", "5\0"sv};
    for (const std::string_view text : others) {
        EXPECT_FALSE(IsNonNegativeNumberText(text)) << "\"" << text << "\"";
    }
}

TEST(ValueConversions, IpAddressTextsAreFourNumbersFrom0To255)
{
    const std::string_view valid[] = {"192.168.1.10", "0.0.0.0", "255.255.255.255", " 10 . 0 .0. 1 "};
    for (const std::string_view text : valid) {
        EXPECT_TRUE(IsValidIpAddressText(text)) << "\"" << text << "\"";
    }
    const std::string manyParts(100000, '.');
    const std::string_view invalid[] = {"1.2.3", "1.2.3.4.5", "1.2.3.256", "1.2.3.-1", "1..3.4", "1.2.3.4.", ".1.2.3",
                                        "",      "...",       "a.b.c.d",   "1.2.3.4x", "1.2.3.\0"sv, manyParts};
    for (const std::string_view text : invalid) {
        EXPECT_FALSE(IsValidIpAddressText(text)) << "\"" << text << "\"";
    }
}
