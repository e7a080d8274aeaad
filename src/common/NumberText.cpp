#include "common/NumberText.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <system_error>

namespace tavrel::common {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}
bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Exponents are saturated this far beyond the length of the text: the digits of the text can move the
// point by no more than its length, so a saturated exponent still puts the number far outside every
// kind's range, on the same side as the written one.
constexpr std::int64_t kExponentMargin = 100000;

// Rounds the decimal number to a whole number, halves to even. Sets `tooLarge` when the magnitude
// does not fit in 64 unsigned bits.
std::uint64_t RoundToWhole(const DecimalText& number, std::int64_t extraExponent, bool& tooLarge)
{
    tooLarge = false;
    const std::int64_t exponent = number.exponent + extraExponent;
    if (number.digits.empty() || exponent < 0) {
        return 0; // zero, or below 0.1: rounds to 0 (0.0x is below a half)
    }
    const auto wholeDigits = static_cast<std::size_t>(exponent);
    if (wholeDigits > 20) {
        tooLarge = true;
        return 0;
    }
    std::uint64_t whole = 0;
    for (std::size_t i = 0; i < wholeDigits; ++i) {
        const unsigned digit = i < number.digits.size() ? static_cast<unsigned>(number.digits[i] - '0') : 0U;
        if (whole > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            tooLarge = true;
            return 0;
        }
        whole = whole * 10 + digit;
    }
    if (wholeDigits < number.digits.size()) {
        const char first = number.digits[wholeDigits];
        // Digits are stored without trailing zeros, so anything after the first fraction digit is nonzero.
        const bool restNonZero = wholeDigits + 1 < number.digits.size();
        const bool roundUp = first > '5' || (first == '5' && (restNonZero || whole % 2 == 1));
        if (roundUp) {
            if (whole == std::numeric_limits<std::uint64_t>::max()) {
                tooLarge = true;
                return 0;
            }
            ++whole;
        }
    }
    return whole;
}

tl::expected<std::int64_t, NumberError> RoundedInRange(const DecimalText& number, std::int64_t extraExponent,
                                                       std::int64_t minimum, std::int64_t maximum)
{
    bool tooLarge = false;
    const std::uint64_t magnitude = RoundToWhole(number, extraExponent, tooLarge);
    if (tooLarge) {
        return tl::make_unexpected(NumberError::OutOfRange);
    }
    std::int64_t value = 0;
    if (number.negative) {
        constexpr std::uint64_t kMostNegative = std::uint64_t { 1 } << 63;
        if (magnitude > kMostNegative) {
            return tl::make_unexpected(NumberError::OutOfRange);
        }
        value = magnitude == kMostNegative ? std::numeric_limits<std::int64_t>::min()
                                           : -static_cast<std::int64_t>(magnitude);
    } else {
        if (magnitude > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return tl::make_unexpected(NumberError::OutOfRange);
        }
        value = static_cast<std::int64_t>(magnitude);
    }
    if (value < minimum || value > maximum) {
        return tl::make_unexpected(NumberError::OutOfRange);
    }
    return value;
}

// A number too small for the kind reads as zero; only a number too large is out of range.
bool IsOverflow(const DecimalText& number)
{
    return number.exponent > 0;
}

// "-0.digitsEexponent", which from_chars reads whatever the separator of the original text.
std::string CanonicalText(const DecimalText& number)
{
    std::string text = number.negative ? "-0." : "0.";
    text += number.digits.empty() ? "0" : number.digits;
    text += 'e';
    text += std::to_string(number.exponent);
    return text;
}

} // namespace

std::string_view NumberErrorText(NumberError error)
{
    return error == NumberError::NotANumber ? "not a number" : "out of range";
}

tl::expected<DecimalText, NumberError> DecimalText::Parse(std::string_view text, char decimalSeparator)
{
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && IsBlank(text[end - 1])) {
        --end;
    }
    std::size_t pos = begin;
    DecimalText number;
    if (pos < end && (text[pos] == '+' || text[pos] == '-')) {
        number.negative = text[pos] == '-';
        ++pos;
    }

    std::string mantissa; // every digit as written, the separator left out
    std::int64_t pointPosition = -1;
    bool anyDigit = false;
    for (; pos < end; ++pos) {
        const char c = text[pos];
        if (IsDigit(c)) {
            anyDigit = true;
            mantissa += c;
        } else if (c == decimalSeparator && pointPosition < 0) {
            pointPosition = static_cast<std::int64_t>(mantissa.size());
        } else {
            break;
        }
    }
    if (!anyDigit) {
        return tl::make_unexpected(NumberError::NotANumber);
    }
    if (pointPosition < 0) {
        pointPosition = static_cast<std::int64_t>(mantissa.size());
    }

    std::int64_t exponent = 0;
    const std::int64_t exponentLimit = static_cast<std::int64_t>(text.size()) + kExponentMargin;
    if (pos < end && (text[pos] == 'e' || text[pos] == 'E')) {
        ++pos;
        bool exponentNegative = false;
        if (pos < end && (text[pos] == '+' || text[pos] == '-')) {
            exponentNegative = text[pos] == '-';
            ++pos;
        }
        if (pos >= end || !IsDigit(text[pos])) {
            return tl::make_unexpected(NumberError::NotANumber);
        }
        for (; pos < end && IsDigit(text[pos]); ++pos) {
            exponent = std::min(exponent * 10 + (text[pos] - '0'), exponentLimit);
        }
        if (exponentNegative) {
            exponent = -exponent;
        }
    }
    if (pos != end) {
        return tl::make_unexpected(NumberError::NotANumber);
    }

    // Normalise to 0.digits x 10^exponent with neither leading nor trailing zeros.
    std::size_t firstNonZero = mantissa.find_first_not_of('0');
    if (firstNonZero == std::string::npos) {
        number.negative = false; // "-0" is zero
        return number;
    }
    const std::size_t lastNonZero = mantissa.find_last_not_of('0');
    number.digits = mantissa.substr(firstNonZero, lastNonZero - firstNonZero + 1);
    number.exponent = pointPosition - static_cast<std::int64_t>(firstNonZero) + exponent;
    return number;
}

tl::expected<std::int64_t, NumberError> ParseWholeNumber(std::string_view text, std::int64_t minimum,
                                                         std::int64_t maximum, char decimalSeparator)
{
    return DecimalText::Parse(text, decimalSeparator).and_then([&](const DecimalText& number) {
        return RoundedInRange(number, 0, minimum, maximum);
    });
}

tl::expected<Currency, NumberError> ParseCurrency(std::string_view text, char decimalSeparator)
{
    return DecimalText::Parse(text, decimalSeparator)
        .and_then([](const DecimalText& number) {
            return RoundedInRange(number, 4, std::numeric_limits<std::int64_t>::min(),
                                  std::numeric_limits<std::int64_t>::max());
        })
        .map([](std::int64_t scaled) { return Currency { scaled }; });
}

tl::expected<double, NumberError> ParseDouble(std::string_view text, char decimalSeparator)
{
    return DecimalText::Parse(text, decimalSeparator).and_then([](const DecimalText& number) {
        const std::string canonical = CanonicalText(number);
        double value = 0;
        const auto result = std::from_chars(canonical.data(), canonical.data() + canonical.size(), value);
        if (result.ec == std::errc::result_out_of_range && IsOverflow(number)) {
            return tl::expected<double, NumberError>(tl::make_unexpected(NumberError::OutOfRange));
        }
        if (std::isinf(value)) {
            return tl::expected<double, NumberError>(tl::make_unexpected(NumberError::OutOfRange));
        }
        return tl::expected<double, NumberError>(value);
    });
}

tl::expected<float, NumberError> ParseSingle(std::string_view text, char decimalSeparator)
{
    return DecimalText::Parse(text, decimalSeparator).and_then([](const DecimalText& number) {
        // from_chars rounds the decimal text straight to the nearest float (no double rounding).
        const std::string canonical = CanonicalText(number);
        float value = 0;
        const auto result = std::from_chars(canonical.data(), canonical.data() + canonical.size(), value);
        if (result.ec == std::errc::result_out_of_range && IsOverflow(number)) {
            return tl::expected<float, NumberError>(tl::make_unexpected(NumberError::OutOfRange));
        }
        if (std::isinf(value)) {
            return tl::expected<float, NumberError>(tl::make_unexpected(NumberError::OutOfRange));
        }
        return tl::expected<float, NumberError>(value);
    });
}

std::string SingleToText(float value, char decimalSeparator)
{
    return DoubleToText(static_cast<double>(value), 7, decimalSeparator);
}

std::string DoubleToText(double value, int significantDigits, char decimalSeparator)
{
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-INF" : "INF";
    }
    if (value == 0.0) {
        return "0";
    }
    // The exponent is taken after rounding (9999999.5 is 1E+07 at seven digits). to_chars is used because it
    // ignores the process locale, which the window sets from the environment.
    char buffer[64];
    const int fractionDigits = significantDigits - 1;
    const auto sci
        = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, fractionDigits);
    const std::string scientific(buffer, sci.ptr);
    const std::size_t ePos = scientific.find('e');
    const int exponent = std::atoi(scientific.c_str() + ePos + 1);

    auto trimZeros = [](std::string digits) {
        if (digits.find('.') != std::string::npos) {
            while (digits.back() == '0') {
                digits.pop_back();
            }
            if (digits.back() == '.') {
                digits.pop_back();
            }
        }
        return digits;
    };

    std::string text;
    if (exponent >= -4 && exponent <= fractionDigits) {
        const auto plain
            = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, fractionDigits - exponent);
        text = trimZeros(std::string(buffer, plain.ptr));
    } else {
        text = trimZeros(scientific.substr(0, ePos));
        text += 'E';
        text += exponent < 0 ? '-' : '+';
        const int magnitude = std::abs(exponent);
        if (magnitude < 10) {
            text += '0';
        }
        text += std::to_string(magnitude);
    }
    if (decimalSeparator != '.') {
        for (char& c : text) {
            if (c == '.') {
                c = decimalSeparator;
            }
        }
    }
    return text;
}

} // namespace tavrel::common
