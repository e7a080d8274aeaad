#pragma once

#include "comm/modbus/OperandMap.h"

#include <cstdint>
#include <string>

namespace tavrel::comm::modbus {

/// The catalogue's name of an operand type code ("MB", "T (Preset)"), or "operand type N" for a code it lacks.
std::string OperandName(std::int32_t operandType);

/// `count` operands from `address` on, for messages: "MI 3", or "MI 3 to 9".
std::string OperandRun(std::int32_t operandType, std::int64_t address, std::int64_t count);

/// What `count` bits or registers of a table are called in messages: "coil", "holding registers", ...
std::string TableNoun(Table table, int count);

} // namespace tavrel::comm::modbus
