// Number and timer texts as clients poke them: every reader must agree on what is a number, keep within the
// range asked for, and give back what its own text form says.

#include "FuzzSupport.h"

#include "common/Currency.h"
#include "common/NumberText.h"
#include "common/ValueConversions.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

using namespace tavrel::common;
using tavrel::fuzz::Require;

namespace {

constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

struct Range
{
    std::int64_t minimum;
    std::int64_t maximum;
};

// The ranges pokes are read in: a byte, a word, a long and the widest.
constexpr Range kRanges[] = {{0, 255}, {-32768, 32767}, {-2147483648LL, 2147483647LL}, {kInt64Min, kInt64Max}};

bool IsNotANumber(NumberError error) { return error == NumberError::NotANumber; }

void CheckDecimalForm(const DecimalText& number, const std::string& text)
{
    Require(number.digits.find_first_not_of("0123456789") == std::string::npos, "decimal digits are digits", text);
    if (number.digits.empty()) {
        Require(!number.negative && number.exponent == 0, "zero has one form", text);
        return;
    }
    Require(number.digits.front() != '0' && number.digits.back() != '0', "digits carry no leading or trailing zero",
            text);
}

void CheckWholeNumbers(std::string_view text, char separator, bool isNumber)
{
    const auto widest = ParseWholeNumber(text, kInt64Min, kInt64Max, separator);
    Require(isNumber == (widest || !IsNotANumber(widest.error())), "whole numbers agree on what is a number",
            std::string(text));
    for (const Range& range : kRanges) {
        const auto value = ParseWholeNumber(text, range.minimum, range.maximum, separator);
        if (widest && *widest >= range.minimum && *widest <= range.maximum) {
            Require(value && *value == *widest, "a number within the range reads the same in every range",
                    std::string(text));
        } else if (isNumber) {
            Require(!value && value.error() == NumberError::OutOfRange, "a number outside the range is out of range",
                    std::string(text));
        }
    }
    if (widest) {
        const auto again = ParseWholeNumber(std::to_string(*widest), kInt64Min, kInt64Max);
        Require(again && *again == *widest, "a whole number reads back from its digits", std::string(text));
    }
}

void CheckCurrency(std::string_view text, char separator, bool isNumber)
{
    const auto currency = ParseCurrency(text, separator);
    Require(isNumber == (currency || !IsNotANumber(currency.error())), "currency agrees on what is a number",
            std::string(text));
    if (!currency) {
        return;
    }
    const std::string shown = CurrencyToText(*currency, separator);
    const auto again = ParseCurrency(shown, separator);
    Require(again && *again == *currency, "a currency reads back from its text", std::string(text) + " -> " + shown);

    const auto whole = ParseWholeNumber(text, kInt64Min, kInt64Max, separator);
    Require(whole.has_value(), "a currency is also a whole number", std::string(text));
    // Both round the same exact number, one to 4 decimals and one to none: they differ by half a unit at most.
    // Split the currency so that nothing overflows near the ends of its range.
    const std::int64_t units = currency->scaled / Currency::kScale;
    const std::int64_t rest = currency->scaled % Currency::kScale;
    const bool near = *whole >= units - 1 && *whole <= units + 1;
    const std::int64_t difference = near ? (units - *whole) * Currency::kScale + rest : kInt64Max;
    Require(difference >= -Currency::kScale / 2 && difference <= Currency::kScale / 2,
            "a currency and the whole number of one text are half a unit apart at most", std::string(text));
}

// The single-precision text form of a finite float reads back to a float of the same text.
void CheckSingleText(float value, char separator, const std::string& origin)
{
    const std::string shown = SingleToText(value, separator);
    if (!std::isfinite(value)) {
        Require(shown == "NaN" || shown == "INF" || shown == "-INF", "a float that is no number says so", origin);
        return;
    }
    const auto again = ParseSingle(shown, separator);
    Require(again.has_value(), "the text of a finite float is a number", origin + " -> " + shown);
    // Below the smallest normal float a float has fewer significant bits than seven digits describe: the float
    // nearest "1E-38" is 9.999999E-39, and so its text is stable only for normal floats.
    if (std::fabs(value) >= std::numeric_limits<float>::min()) {
        Require(SingleToText(*again, separator) == shown, "a float's text is stable", origin + " -> " + shown);
    }
    const float tolerance = std::fabs(value) * 1e-6f;
    Require(*again == value || std::fabs(*again - value) <= tolerance, "a float's text keeps seven digits",
            origin + " -> " + shown);
}

void CheckFloats(std::string_view text, char separator, bool isNumber)
{
    const auto single = ParseSingle(text, separator);
    const auto wide = ParseDouble(text, separator);
    Require(isNumber == (single || !IsNotANumber(single.error())), "single agrees on what is a number",
            std::string(text));
    Require(isNumber == (wide || !IsNotANumber(wide.error())), "double agrees on what is a number", std::string(text));
    if (single) {
        Require(std::isfinite(*single), "a single read from a text is finite", std::string(text));
        CheckSingleText(*single, separator, std::string(text));
    }
    if (wide) {
        Require(std::isfinite(*wide), "a double read from a text is finite", std::string(text));
    }
}

void CheckTimerText(std::string_view text)
{
    const std::int32_t ticks = TimerTextToTicks(text);
    Require(ticks >= 0 && ticks <= kMaxTimerTicks, "timer ticks stay within 00:00:00.00 to 99:59:59.99",
            std::string(text));
    const std::string shown = TimerTicksToText(ticks);
    Require(shown.size() == 11 && shown[2] == ':' && shown[5] == ':' && shown[8] == '.', "a timer text is hh:mm:ss.cc",
            shown);
    Require(TimerTextToTicks(shown) == ticks, "a timer text reads back to its ticks", std::string(text) + " -> " + shown);
    Require(ParseTimerText(shown) == ticks, "a shown timer text is taken as a poke", shown);
    // A poke is taken only where the field-by-field reading of the text, blanks around it dropped, gives the same
    // ticks without limiting them.
    if (const auto poked = ParseTimerText(text)) {
        const std::string_view form = text.substr(text.find_first_not_of(' '), 11);
        Require(*poked == TimerTextToTicks(form), "a timer poke means what the timer text means", std::string(text));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    // The first byte picks the decimal separator of the locale; the rest is the text.
    const char separator = (data[0] & 1) != 0 ? ',' : '.';
    const std::string_view text = tavrel::fuzz::AsText(data + 1, size - 1);
    const std::string owned(text);

    const auto decimal = DecimalText::Parse(text, separator);
    if (decimal) {
        CheckDecimalForm(*decimal, owned);
    } else {
        Require(decimal.error() == NumberError::NotANumber, "a text that is no number is NotANumber", owned);
    }
    CheckWholeNumbers(text, separator, decimal.has_value());
    CheckCurrency(text, separator, decimal.has_value());
    CheckFloats(text, separator, decimal.has_value());
    CheckTimerText(text);

    // Every slice a timer field or a mid-text number may take.
    for (std::size_t start = 0; start <= text.size() + 1 && start < 16; ++start) {
        (void)MidNumber(text, start, (data[0] >> 1) & 7);
    }
    (void)IsValidIpAddressText(text);
    (void)IsNonNegativeNumberText(text);

    // The bytes as a float word as it comes from the PLC, halves exchanged.
    if (text.size() >= 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, text.data(), sizeof word);
        const std::string shown = FloatTextFromSwappedWord(static_cast<std::int32_t>(word), separator);
        std::uint32_t swapped = word;
        SwapWordHalves(swapped);
        CheckSingleText(std::bit_cast<float>(swapped), separator, "word " + std::to_string(word));
        Require(shown == SingleToText(std::bit_cast<float>(swapped), separator), "a float word reads as its float",
                shown);
        Require(static_cast<std::uint32_t>(SwappedWordFromFloat(std::bit_cast<float>(swapped))) == word,
                "exchanging the halves twice gives the word back", shown);
    }
    return 0;
}
