#include "common/ItemRules.h"

#include "common/FieldRanges.h"
#include "common/NumberText.h"
#include "common/OperandCatalogue.h"
#include "common/ValueConversions.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <utility>

namespace tavrel::common {

namespace {

std::optional<std::int32_t> WholeNumber(std::string_view text)
{
    const auto number
        = ParseWholeNumber(text, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
    return number ? std::optional<std::int32_t>(static_cast<std::int32_t>(*number)) : std::nullopt;
}

} // namespace

tl::expected<ItemRun, std::string> CheckItemDraft(const ItemDraft& draft)
{
    using namespace operand;
    const auto refuse = [](std::string message) { return tl::make_unexpected(std::move(message)); };

    if (!IsNonNegativeNumberText(draft.lengthText)) {
        return refuse("Length must be positive numeric value.");
    }
    const std::int32_t length = WholeNumber(draft.lengthText).value_or(0);
    if (length < 1 || length > kMaxItemLength) {
        return refuse("Length must be between 1 - " + std::to_string(kMaxItemLength));
    }
    const bool writes = draft.direction != direction::Read;
    if (const PlcFamily* family = FindPlcFamily(draft.plcType)) {
        const auto& unsupported = family->unsupported;
        if (std::find(unsupported.begin(), unsupported.end(), draft.operandType) != unsupported.end()) {
            return refuse(std::string(family->series) + " does not supports the selected Operand type.");
        }
        if (writes && !family->timersWritable && (draft.operandType == TPreset || draft.operandType == TCurrent)) {
            return refuse("Timers cannot be writen in " + std::string(family->series) + ".");
        }
    }
    // The range test compares only the last address with 0, so a negative start is refused here as well.
    const auto start = WholeNumber(draft.startText);
    if (!IsOperandRangeLegal(draft.plcType, draft.operandType, draft.startText, draft.lengthText) || !start
        || *start < 0) {
        return refuse("Operand address is not legal. " + AddressRangeText(draft.plcType, draft.operandType) + ".");
    }
    if (writes && draft.operandType == TBit) {
        return refuse("Timer Bit cannot be writen.");
    }
    if (writes && draft.operandType == CBit) {
        return refuse("Counter Bit cannot be writen.");
    }
    return ItemRun { *start, length };
}

} // namespace tavrel::common
