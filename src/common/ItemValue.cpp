#include "common/ItemValue.h"

#include "common/NumberText.h"

namespace tavrel::common {

std::string ItemValue::ToText(char decimalSeparator) const
{
    struct Visitor
    {
        char separator;
        std::string operator()(std::monostate) const { return {}; }
        std::string operator()(std::uint8_t v) const { return std::to_string(v); }
        std::string operator()(std::int16_t v) const { return std::to_string(v); }
        std::string operator()(std::int32_t v) const { return std::to_string(v); }
        std::string operator()(float v) const { return SingleToText(v, separator); }
        std::string operator()(Currency v) const { return CurrencyToText(v, separator); }
        std::string operator()(const std::string& v) const { return v; }
    };
    return std::visit(Visitor{decimalSeparator}, m_value);
}

} // namespace tavrel::common
