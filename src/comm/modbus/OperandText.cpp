#include "comm/modbus/OperandText.h"

#include "common/OperandCatalogue.h"

#include <string_view>

namespace tavrel::comm::modbus {

std::string OperandName(std::int32_t operandType)
{
    const std::string_view name = common::OperandTypeName(operandType);
    return name.empty() ? "operand type " + std::to_string(operandType) : std::string(name);
}

std::string OperandRun(std::int32_t operandType, std::int64_t address, std::int64_t count)
{
    std::string text = OperandName(operandType) + " " + std::to_string(address);
    if (count > 1) {
        text += " to " + std::to_string(address + count - 1);
    }
    return text;
}

std::string TableNoun(Table table, int count)
{
    const bool one = count == 1;
    switch (table) {
    case Table::Coils:
        return one ? "coil" : "coils";
    case Table::DiscreteInputs:
        return one ? "discrete input" : "discrete inputs";
    case Table::HoldingRegisters:
        return one ? "holding register" : "holding registers";
    case Table::InputRegisters:
        return one ? "input register" : "input registers";
    }
    return {};
}

} // namespace tavrel::comm::modbus
