#include "common/OperandCatalogue.h"

#include "common/NumberText.h"

#include <algorithm>
#include <array>

namespace tavrel::common {

namespace {

using enum ExchangeKind;
using enum ValueField;

// Code, name, one-at-a-time read, write, batched request code, batched value field.
// The device tables are never read or written one operand at a time: their PLCs are read in batches and written
// through the device's own path, so their one-at-a-time kinds are None.
constexpr std::array<OperandInfo, 25> kOperands { {
    { operand::MB, "MB", UInt8, UInt8, 1, LongValue },
    { operand::SB, "SB", UInt8, UInt8, 2, LongValue },
    { operand::MI, "MI", Int16, Int16, 3, LongValue },
    { operand::SI, "SI", Int16, Int16, 4, LongValue },
    { operand::ML, "ML", Int32, Int32, 5, LongValue },
    { operand::SL, "SL", Int32, Int32, 6, LongValue },
    { operand::MF, "MF", Float32, Float32, 7, SwappedFloatWord },
    { operand::I, "I", UInt8, None, 9, LongValue },
    { operand::O, "O", UInt8, UInt8, 10, LongValue },
    { operand::TBit, "T (Bit)", None, None, 11, LongValue },
    { operand::CBit, "C (Bit)", UInt8, None, 12, LongValue },
    { operand::DW, "DW", Currency, Currency, 16, CurrencyValue },
    { operand::SDW, "SDW", None, Currency, 36, CurrencyValue },
    { operand::TPreset, "T (Preset)", TimerWord, TimerTicks, 11, TimerPreset },
    { operand::TCurrent, "T (Current)", TimerWord, TimerTicks, 11, TimerCurrent },
    { operand::CCurrent, "C (Current)", Currency, Currency, 12, CurrencyValue },
    { operand::CPreset, "C (Preset)", Currency, Currency, 12, CounterPreset },
    { operand::XB, "XB", UInt8, UInt8, 64, LongValue },
    { operand::XI, "XI", Int16, Int16, 65, LongValue },
    { operand::XL, "XL", Int32, Int32, 66, LongValue },
    { operand::XDW, "XDW", Currency, Currency, 67, CurrencyValue },
    { operand::Coil, "Coil", None, None, 100, LongValue },
    { operand::DiscreteInput, "Discrete input", None, None, 101, LongValue },
    { operand::InputRegister, "Input register", None, None, 102, LongValue },
    { operand::HoldingRegister, "Holding register", None, None, 103, LongValue },
} };

} // namespace

std::span<const OperandInfo> Operands()
{
    return kOperands;
}

const OperandInfo* FindOperand(std::int32_t code)
{
    const auto it = std::find_if(kOperands.begin(), kOperands.end(), [code](const auto& o) { return o.code == code; });
    return it == kOperands.end() ? nullptr : &*it;
}

std::string_view OperandTypeName(std::int32_t code)
{
    const OperandInfo* info = FindOperand(code);
    return info ? info->name : std::string_view {};
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
