#pragma once

#include "comm/CommDriver.h"
#include "comm/modbus/OperandMap.h"
#include "common/Currency.h"
#include "common/Refusal.h"

#include <cstdint>
#include <optional>
#include <string>

namespace tavrel::comm::modbus {

/// Why bit `value` cannot be written to operand `address` of `operandType`, or nothing when it can: a bit takes 0
/// or 1.
std::optional<std::string> BitRefusal(std::int32_t operandType, std::int64_t address, std::uint8_t value);

/// Why `value` cannot be written to a double word or counter operand, or nothing when it can: it takes a whole
/// number from 0 to 4294967295.
std::optional<std::string> DoubleWordRefusal(std::int32_t operandType, std::int64_t address, common::Currency value);

/// Why `value` 10 ms ticks cannot be written to a timer operand whose timers are kept as `timers`, or nothing when
/// they can: a whole number of ticks up to the longest timer, and on a raw timer word no more than it holds.
std::optional<std::string> TimerRefusal(std::int32_t operandType, std::int64_t address, common::Currency value,
                                        TimerFormat timers);

/// Why `value` cannot be written to operand `address` of `operandType` on a PLC of the map and timer format, or
/// nothing when it can: NotWritable for an operand the map cannot place or that lives in a read-only table,
/// OutOfRange for a value the operand cannot hold (see the refusals above).
std::optional<common::Refusal> CheckWrite(const OperandMap& map, TimerFormat timers, std::int32_t operandType,
                                          std::int32_t address, const OperandWriteValue& value);

} // namespace tavrel::comm::modbus
