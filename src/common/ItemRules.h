#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

namespace tavrel::common {

/// The most operands one item may have.
inline constexpr std::int32_t kMaxItemLength = 50;

/// An item as the Define PLC dialog takes it: the codes chosen from its lists and the texts typed into it.
struct ItemDraft
{
    std::int32_t plcType;
    std::int32_t operandType;
    std::int32_t direction;
    std::string_view startText;
    std::string_view lengthText;
};

/// The first operand address and the number of operands of an accepted item.
struct ItemRun
{
    std::int32_t start;
    std::int32_t length;
};

/// The run of a draft that keeps every rule of its PLC family; else the message that names the first rule it
/// breaks, in this order: the length, the operand types the family refuses, timer writes on a family whose timers
/// take none, the legal addresses (with their range), writes to a timer or counter bit.
tl::expected<ItemRun, std::string> CheckItemDraft(const ItemDraft& draft);

} // namespace tavrel::common
