#pragma once

#include "common/Currency.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tavrel::common {

/// One operand value as the batched read fills it.
struct OperandValue
{
    std::int32_t LongValue = 0; ///< bits and words; for "MF" the float's bits with its two halves exchanged
    std::int32_t TimerCurrent = 0; ///< timer current value in 10 ms ticks
    std::int32_t TimerPreset = 0; ///< timer preset in 10 ms ticks
    Currency CurrencyValue; ///< double words and counter current values
    Currency CounterPreset; ///< counter preset
};

/// One request of a PLC's batched read: a run of operands of one batched request code.
struct BinaryMixEntry
{
    std::int32_t Reserved = 0;
    std::int32_t MixType = 0; ///< the batched request code of the operand type; 0 only in an empty list
    std::int32_t StartAddress = 0;
    std::int32_t Count = 0;
    std::vector<OperandValue> Values; ///< empty when built; filled by the driver, one per operand
    // A Modbus device's entry (mix types 100-103, the device operand types) reads `Count` values of `Width` registers
    // (or bits) each, one after another from StartAddress, and leaves Values empty.
    std::int32_t Width = 1;
    std::vector<std::uint16_t> Words {}; ///< filled by the driver: Count x Width registers, or bits as 0 and 1
    /// Filled by the driver: per value, why the device would not give it ("register 3999 does not exist on the
    /// device"), empty for a value read; an empty list when every value was read.
    std::vector<std::string> Problems {};
};

} // namespace tavrel::common
