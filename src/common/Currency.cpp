#include "common/Currency.h"

namespace tavrel::common {

std::string CurrencyToText(Currency value, char decimalSeparator)
{
    // Work on the magnitude as unsigned so that the most negative value has a magnitude too.
    const bool negative = value.scaled < 0;
    const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(value.scaled)
                                             : static_cast<std::uint64_t>(value.scaled);
    const std::uint64_t scale = static_cast<std::uint64_t>(Currency::kScale);
    std::uint64_t fraction = magnitude % scale;

    std::string text = negative ? "-" : "";
    text += std::to_string(magnitude / scale);
    if (fraction != 0) {
        std::string decimals = std::to_string(fraction);
        decimals.insert(0, 4 - decimals.size(), '0');
        while (decimals.back() == '0') {
            decimals.pop_back();
        }
        text += decimalSeparator;
        text += decimals;
    }
    return text;
}

} // namespace tavrel::common
