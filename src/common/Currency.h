#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace tavrel::common {

/// Fixed-point number of double words, counters and written timer values: the number times 10,000.
struct Currency
{
    static constexpr std::int64_t kScale = 10000;

    std::int64_t scaled = 0;

    /// The currency that holds the whole number `whole`; the caller keeps it within +/- 922,337,203,685,477.
    static constexpr Currency FromWhole(std::int64_t whole) { return Currency{whole * kScale}; }

    friend constexpr auto operator<=>(const Currency&, const Currency&) = default;
};

/// Digits with a leading "-" when negative, no group separators, at most four decimals with trailing
/// zeros dropped, and no decimal separator for a whole number.
std::string CurrencyToText(Currency value, char decimalSeparator = '.');

} // namespace tavrel::common
