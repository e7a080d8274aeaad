#pragma once

// The legal addresses of an operand type depend on the PLC family, so the family table comes with the catalogue.
#include "common/PlcFamilies.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tavrel::common {

/// Operand type codes as stored in project files.
namespace operand {
inline constexpr std::int32_t MB = 1;
inline constexpr std::int32_t SB = 2;
inline constexpr std::int32_t MI = 3;
inline constexpr std::int32_t SI = 4;
inline constexpr std::int32_t ML = 5;
inline constexpr std::int32_t SL = 6;
inline constexpr std::int32_t MF = 7;
inline constexpr std::int32_t I = 9;
inline constexpr std::int32_t O = 10;
inline constexpr std::int32_t TBit = 11;
inline constexpr std::int32_t CBit = 12;
inline constexpr std::int32_t DW = 16;
inline constexpr std::int32_t SDW = 36;
inline constexpr std::int32_t TPreset = 39;
inline constexpr std::int32_t TCurrent = 44;
inline constexpr std::int32_t CCurrent = 45;
inline constexpr std::int32_t CPreset = 46;
inline constexpr std::int32_t XB = 64;
inline constexpr std::int32_t XI = 65;
inline constexpr std::int32_t XL = 66;
inline constexpr std::int32_t XDW = 67;
// The four Modbus tables, addressed directly by the items of a Modbus device (PLC family 6).
inline constexpr std::int32_t Coil = 100;
inline constexpr std::int32_t DiscreteInput = 101;
inline constexpr std::int32_t InputRegister = 102;
inline constexpr std::int32_t HoldingRegister = 103;
} // namespace operand

/// Direction codes of an item.
namespace direction {
inline constexpr std::int32_t Read = 0;
inline constexpr std::int32_t Write = 1;
inline constexpr std::int32_t ReadWrite = 2;
} // namespace direction

/// The element kind of a one-operand driver read or write.
enum class ExchangeKind {
    None, ///< no driver operation
    UInt8, ///< bit operands, as an unsigned byte
    Int16, ///< 16-bit signed integer
    Int32, ///< 32-bit signed integer
    Float32, ///< IEEE single precision
    Currency, ///< 64-bit fixed point
    TimerWord, ///< read: the raw 16-bit timer word (count and time base)
    TimerTicks ///< write: a timer text turned into 10 ms ticks, sent as a currency
};

/// The field of a batched-read value record that an operand type takes its value from.
enum class ValueField {
    LongValue,
    SwappedFloatWord, ///< LongValue, holding a float with its 16-bit halves exchanged
    TimerCurrent,
    TimerPreset,
    CurrencyValue,
    CounterPreset
};

/// Everything the program knows about one operand type.
struct OperandInfo
{
    std::int32_t code;
    std::string_view name;
    ExchangeKind read; ///< one-at-a-time read; None: never read one at a time
    ExchangeKind write; ///< write; None: never written
    std::int32_t batchCode; ///< mix type sent in a batched read
    ValueField field; ///< where a batched read leaves the value
};

/// The whole catalogue in code order.
std::span<const OperandInfo> Operands();

/// The catalogue entry of a code, or nothing for a code without an operand behind it.
const OperandInfo* FindOperand(std::int32_t code);

/// The display name of an operand type code; empty for a code without a name.
std::string_view OperandTypeName(std::int32_t code);

/// "Read", "Write", "Read/Write", or empty for any other code.
std::string_view IoDirectionName(std::int32_t code);

/// Whether a run of `lengthText` operands starting at `startText` lies within the legal addresses.
/// Texts that are not numbers give false; fractions are kept; only the last address is compared with 0.
bool IsOperandRangeLegal(std::int32_t plcType, std::int32_t operandType, std::string_view startText,
                         std::string_view lengthText);

} // namespace tavrel::common
