#include "common/OperandCatalogue.h"

#include "common/NumberText.h"

#include <algorithm>

namespace tavrel::common {

namespace {

using enum ExchangeKind;
using enum ValueField;

constexpr std::int32_t kNo = -1;

// Code, name, one-at-a-time read, write, batched request code, batched value field,
// highest address on PLC type 0 / types 3 and 4 / type 5.
constexpr std::array<OperandInfo, 21> kOperands{{
    {operand::MB, "MB", UInt8, UInt8, 1, LongValue, {8191, 4095, 511}},
    {operand::SB, "SB", UInt8, UInt8, 2, LongValue, {511, 511, 511}},
    {operand::MI, "MI", Int16, Int16, 3, LongValue, {4095, 2047, 255}},
    {operand::SI, "SI", Int16, Int16, 4, LongValue, {511, 511, 511}},
    {operand::ML, "ML", Int32, Int32, 5, LongValue, {511, 255, 31}},
    {operand::SL, "SL", Int32, Int32, 6, LongValue, {55, 55, 55}},
    {operand::MF, "MF", Float32, Float32, 7, SwappedFloatWord, {63, 23, 23}},
    {operand::I, "I", UInt8, None, 9, LongValue, {543, 543, 543}},
    {operand::O, "O", UInt8, UInt8, 10, LongValue, {543, 543, 543}},
    {operand::TBit, "T (Bit)", None, None, 11, LongValue, {383, 191, 31}},
    {operand::CBit, "C (Bit)", UInt8, None, 12, LongValue, {31, 23, 15}},
    {operand::DW, "DW", Currency, Currency, 16, CurrencyValue, {255, 63, 31}},
    {operand::SDW, "SDW", None, Currency, 36, CurrencyValue, {63, 63, 63}},
    {operand::TPreset, "T (Preset)", TimerWord, TimerTicks, 11, TimerPreset, {383, 191, 31}},
    {operand::TCurrent, "T (Current)", TimerWord, TimerTicks, 11, TimerCurrent, {383, 191, 31}},
    {operand::CCurrent, "C (Current)", Currency, Currency, 12, CurrencyValue, {31, 23, 15}},
    {operand::CPreset, "C (Preset)", Currency, Currency, 12, CounterPreset, {31, 23, 15}},
    {operand::XB, "XB", UInt8, UInt8, 64, LongValue, {1023, kNo, 63}},
    {operand::XI, "XI", Int16, Int16, 65, LongValue, {511, kNo, 31}},
    {operand::XL, "XL", Int32, Int32, 66, LongValue, {255, kNo, 15}},
    {operand::XDW, "XDW", Currency, Currency, 67, CurrencyValue, {63, kNo, 15}},
}};

constexpr std::array<std::string_view, 6> kPlcTypeNames{
    "Orbis-A models", "Q40/Q41/Reed Stand-alone", "Q40/Q41/Reed via Orbis",
    "Orbis-B models", "Orbis-C models",           "Fjord",
};

} // namespace

std::span<const OperandInfo> Operands() { return kOperands; }

const OperandInfo* FindOperand(std::int32_t code)
{
    const auto it = std::find_if(kOperands.begin(), kOperands.end(), [code](const auto& o) { return o.code == code; });
    return it == kOperands.end() ? nullptr : &*it;
}

std::string_view OperandTypeName(std::int32_t code)
{
    const OperandInfo* info = FindOperand(code);
    return info ? info->name : std::string_view{};
}

std::string_view IoDirectionName(std::int32_t code)
{
    switch (code) {
    case direction::Read:
        return "Read";
    case direction::Write:
        return "Write";
    case direction::ReadWrite:
        return "Read/Write";
    default:
        return {};
    }
}

std::string_view PlcTypeName(std::int32_t code)
{
    return code >= 0 && code < static_cast<std::int32_t>(kPlcTypeNames.size())
        ? kPlcTypeNames[static_cast<std::size_t>(code)]
        : std::string_view{};
}

bool IsBatchedPlcType(std::int32_t plcType)
{
    return plcType == plctype::OrbisA || plcType == plctype::OrbisB || plcType == plctype::OrbisC
        || plcType == plctype::Fjord;
}

std::optional<std::int32_t> OperandAddressLimit(std::int32_t plcType, std::int32_t operandType)
{
    // The Q40 family has one general limit, and a smaller one for its timers.
    if (plcType == plctype::Q40StandAlone || plcType == plctype::Q40ViaOrbis) {
        const bool timer = operandType == operand::TBit || operandType == operand::TPreset
            || operandType == operand::TCurrent;
        return timer ? 63 : 255;
    }
    const OperandInfo* info = FindOperand(operandType);
    if (info == nullptr) {
        return std::nullopt;
    }
    std::int32_t limit = kNo;
    switch (plcType) {
    case plctype::OrbisA:
        limit = info->limits[0];
        break;
    case plctype::OrbisB:
    case plctype::OrbisC:
        limit = info->limits[1];
        break;
    case plctype::Fjord:
        limit = info->limits[2];
        break;
    default:
        break;
    }
    return limit == kNo ? std::nullopt : std::optional<std::int32_t>(limit);
}

bool IsOperandRangeLegal(std::int32_t plcType, std::int32_t operandType, std::string_view startText,
                         std::string_view lengthText)
{
    const auto start = ParseDouble(startText);
    const auto length = ParseDouble(lengthText);
    if (!start || !length) {
        return false;
    }
    const double lastAddress = (*length - 1) + *start;
    if (lastAddress < 0) {
        return false;
    }
    const auto limit = OperandAddressLimit(plcType, operandType);
    return limit && lastAddress <= *limit;
}

} // namespace tavrel::common
