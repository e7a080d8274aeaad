#pragma once

#include "common/Currency.h"

#include <cstdint>
#include <string>
#include <variant>

namespace tavrel::common {

/// The value an item took from its PLC or last published: empty, a number of one of the PLC's kinds, or a
/// text. Two values are equal exactly when their text forms are equal, character for character.
class ItemValue
{
public:
    using Storage = std::variant<std::monostate, std::uint8_t, std::int16_t, std::int32_t, float, Currency, std::string>;

    ItemValue() = default;
    ItemValue(std::uint8_t value) : m_value(value) {}
    ItemValue(std::int16_t value) : m_value(value) {}
    ItemValue(std::int32_t value) : m_value(value) {}
    ItemValue(float value) : m_value(value) {}
    ItemValue(Currency value) : m_value(value) {}
    ItemValue(std::string value) : m_value(std::move(value)) {}
    ItemValue(const char* value) : m_value(std::string(value)) {}

    bool IsEmpty() const { return std::holds_alternative<std::monostate>(m_value); }
    const Storage& Value() const { return m_value; }

    /// Empty text, decimal digits for whole kinds, the single-precision form for a float, the currency
    /// form, or the text itself.
    std::string ToText(char decimalSeparator = '.') const;

    friend bool operator==(const ItemValue& a, const ItemValue& b) { return a.ToText() == b.ToText(); }
    friend bool operator==(const ItemValue& a, const std::string& text) { return a.ToText() == text; }
    // Without it a literal ("5") converts both ways, to a text and to an ItemValue, and the compare is ambiguous.
    friend bool operator==(const ItemValue& a, const char* text) { return a.ToText() == text; }

private:
    Storage m_value;
};

} // namespace tavrel::common
