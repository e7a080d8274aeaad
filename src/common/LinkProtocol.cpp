#include "common/LinkProtocol.h"

#include <iterator>

namespace tavrel::protocol {

namespace {

// One parser for both widths: item names are ASCII, so a name with any other character is no item name.
template<typename Char> std::optional<std::int32_t> ParseName(std::basic_string_view<Char> name)
{
    constexpr std::string_view kHead = "lbldde(";
    if (name.size() < kHead.size() + 2 || name.back() != Char(')')) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < kHead.size(); ++i) {
        // ASCII alone: a locale's case rules must not make another character match.
        const Char c = name[i];
        const Char lower = (c >= Char('A') && c <= Char('Z')) ? static_cast<Char>(c - Char('A') + Char('a')) : c;
        if (lower != static_cast<Char>(kHead[i])) {
            return std::nullopt;
        }
    }
    const auto digits = name.substr(kHead.size(), name.size() - kHead.size() - 1);
    if (digits.size() > 5 || (digits.size() > 1 && digits.front() == Char('0'))) {
        return std::nullopt;
    }
    std::int32_t index = 0;
    for (const Char c : digits) {
        if (c < Char('0') || c > Char('9')) {
            return std::nullopt;
        }
        index = index * 10 + static_cast<std::int32_t>(c - Char('0'));
    }
    if (index > kMaxLabelIndex) {
        return std::nullopt;
    }
    return index;
}

} // namespace

std::optional<Operation> ParseOperation(std::string_view name)
{
    for (std::size_t i = 0; i < std::size(kOperationNames); ++i) {
        if (kOperationNames[i] == name) {
            return static_cast<Operation>(i);
        }
    }
    return std::nullopt;
}

std::string LabelName(std::int32_t index)
{
    return std::string(kItemNameStart) + std::to_string(index) + std::string(kItemNameEnd);
}

std::optional<std::int32_t> ParseLabelName(std::string_view name)
{
    return ParseName(name);
}

std::optional<std::int32_t> ParseLabelName(std::wstring_view name)
{
    return ParseName(name);
}

} // namespace tavrel::protocol
