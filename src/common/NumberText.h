#pragma once

#include "common/Currency.h"

#include <cstdint>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

namespace tavrel::common {

/// Why a text did not give a number.
enum class NumberError {
    NotANumber, ///< not a decimal number: empty, blanks only, a sign alone, letters, an embedded NUL
    OutOfRange, ///< a number, but outside the range of the kind asked for
};

/// "not a number" or "out of range".
std::string_view NumberErrorText(NumberError error);

/// The decimal number written in a text: blanks around allowed, an optional sign, digits with an optional
/// decimal separator and fraction, an optional exponent ("1.5E+07"). The number is kept exactly as written.
struct DecimalText
{
    bool negative = false;
    std::string digits; ///< significant digits, no leading or trailing zeros; empty for zero
    std::int64_t exponent = 0; ///< the value is 0.digits times 10 to the power of exponent

    /// Reads `text`; fails with NotANumber for anything that is not such a number.
    static tl::expected<DecimalText, NumberError> Parse(std::string_view text, char decimalSeparator = '.');
};

/// The whole number of a text within [minimum, maximum]: a fraction is rounded to the nearest whole number,
/// a half to the even neighbour. Fails with NotANumber or OutOfRange; never wraps or clamps.
tl::expected<std::int64_t, NumberError> ParseWholeNumber(std::string_view text, std::int64_t minimum,
                                                         std::int64_t maximum, char decimalSeparator = '.');

/// The currency of a text, kept to four decimals (a fifth rounded half to even).
tl::expected<Currency, NumberError> ParseCurrency(std::string_view text, char decimalSeparator = '.');

/// The single-precision number nearest to the text; OutOfRange beyond the largest finite float.
tl::expected<float, NumberError> ParseSingle(std::string_view text, char decimalSeparator = '.');

/// The double-precision number nearest to the text; OutOfRange beyond the largest finite double.
tl::expected<double, NumberError> ParseDouble(std::string_view text, char decimalSeparator = '.');

/// The single-precision text form: at most seven significant digits without trailing zeros, plain decimal
/// notation for decimal exponents -4 to 6, otherwise a mantissa, "E", a sign and at least two exponent digits.
std::string SingleToText(float value, char decimalSeparator = '.');

/// The same text form with 1 to 17 significant digits: plain decimal notation for decimal exponents -4 to
/// significantDigits - 1, otherwise "E" notation; "NaN", "INF" and "-INF" for the values that are no numbers.
std::string DoubleToText(double value, int significantDigits = 15, char decimalSeparator = '.');

} // namespace tavrel::common
