#pragma once

#include "comm/CommDriver.h"

#include <cstdint>
#include <variant>

namespace tavrel::comm {

using ByteOperation = bool (CommDriver::*)(std::int16_t, std::int16_t, std::span<std::uint8_t>, std::uint8_t&);
using WordOperation = bool (CommDriver::*)(std::int16_t, std::int16_t, std::span<std::int16_t>, std::uint8_t&);
using LongOperation = bool (CommDriver::*)(std::int16_t, std::int16_t, std::span<std::int32_t>, std::uint8_t&);
using FloatOperation = bool (CommDriver::*)(std::int16_t, std::int16_t, std::span<float>, std::uint8_t&);
using CurrencyOperation = bool (CommDriver::*)(std::int16_t, std::int16_t, std::span<common::Currency>, std::uint8_t&);

/// One driver operation for one operand, or none.
using DriverOperation
    = std::variant<std::monostate, ByteOperation, WordOperation, LongOperation, FloatOperation, CurrencyOperation>;

/// The driver operations that read and write one operand of an operand type.
struct OperandOperations
{
    DriverOperation read;
    DriverOperation write;
};

/// The operations of an operand type code; both empty for a code without an operand.
OperandOperations OperationsOf(std::int32_t operandType);

} // namespace tavrel::comm
