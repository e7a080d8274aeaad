#include "common/ItemValue.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

using namespace tavrel::common;

namespace {

struct EqualityCase
{
    ItemValue value;
    std::string text;                   ///< its text form
    std::vector<std::string> different; ///< texts that look alike but are not equal
};

} // namespace

TEST(ItemValue, EqualsExactlyTheTextOfItsTextForm)
{
    const EqualityCase cases[] = {
        {ItemValue(), "", {"0", " "}},
        {ItemValue(std::int16_t{5}), "5", {"05", "5.0", " 5", "+5"}},
        {ItemValue(std::int16_t{-32768}), "-32768", {"-32768.0"}},
        {ItemValue(std::uint8_t{255}), "255", {"\xff"}},
        {ItemValue(std::uint8_t{0}), "0", {"", "-0"}},
        {ItemValue(std::int32_t{-2147483647 - 1}), "-2147483648", {}},
        {ItemValue(1.5f), "1.5", {"1.50", "1,5"}},
        {ItemValue(1e7f), "1E+07", {"10000000"}},
        {ItemValue(Currency{12300}), "1.23", {"1.2300"}},
        {ItemValue(Currency::FromWhole(7)), "7", {"7.0"}},
        {ItemValue("Abc"), "Abc", {"abc", "Abc "}},
        {ItemValue(std::string()), "", {}},
    };
    for (const EqualityCase& c : cases) {
        SCOPED_TRACE("text \"" + c.text + "\"");
        EXPECT_EQ(c.value.ToText(), c.text);
        EXPECT_TRUE(c.value == c.text);
        EXPECT_TRUE(c.value == c.text.c_str());
        for (const std::string& other : c.different) {
            EXPECT_FALSE(c.value == other) << "equals \"" << other << "\"";
        }
    }
}

TEST(ItemValue, ValuesOfDifferentKindsWithTheSameTextAreEqual)
{
    const ItemValue five16(std::int16_t{5});
    EXPECT_TRUE(five16 == ItemValue(std::int32_t{5}));
    EXPECT_TRUE(five16 == ItemValue(std::uint8_t{5}));
    EXPECT_TRUE(five16 == ItemValue(5.0f));
    EXPECT_TRUE(five16 == ItemValue(Currency::FromWhole(5)));
    EXPECT_TRUE(five16 == ItemValue("5"));
    EXPECT_FALSE(five16 == ItemValue(std::int16_t{6}));
    EXPECT_TRUE(ItemValue() == ItemValue(""));
    const float notANumber = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(ItemValue(notANumber) == ItemValue(notANumber));
}

TEST(ItemValue, TextUsesTheGivenDecimalSeparatorForFractions)
{
    EXPECT_EQ(ItemValue(-2.5f).ToText(','), "-2,5");
    EXPECT_EQ(ItemValue(Currency{5}).ToText(','), "0,0005");
    EXPECT_EQ(ItemValue(std::int32_t{1000}).ToText(','), "1000");
    EXPECT_EQ(ItemValue("1.5").ToText(','), "1.5");
}
