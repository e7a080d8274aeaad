#include "common/Currency.h"

#include "common/NumberText.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

using namespace tavrel::common;

TEST(Currency, TextDropsTrailingZerosAndReadsBackExactly)
{
    const std::pair<std::int64_t, std::string_view> cases[] = {
        {0, "0"},
        {10000, "1"},
        {-10000, "-1"},
        {100000, "10"},
        {12300, "1.23"},
        {1, "0.0001"},
        {-1, "-0.0001"},
        {-5000, "-0.5"},
        {1000, "0.1"},
        {123456789, "12345.6789"},
        {std::numeric_limits<std::int64_t>::max(), "922337203685477.5807"},
        {std::numeric_limits<std::int64_t>::min(), "-922337203685477.5808"},
    };
    for (const auto& [scaled, expected] : cases) {
        SCOPED_TRACE("expected " + std::string(expected));
        EXPECT_EQ(CurrencyToText(Currency{scaled}), expected);
        const auto readBack = ParseCurrency(CurrencyToText(Currency{scaled}));
        ASSERT_TRUE(readBack.has_value());
        EXPECT_EQ(readBack->scaled, scaled);
    }
}
