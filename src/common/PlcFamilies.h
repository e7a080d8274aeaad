#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tavrel::common {

/// PLC family codes (`PlcType`) as stored in a PLC's communication parameters.
namespace plctype {
inline constexpr std::int32_t OrbisA = 0;
inline constexpr std::int32_t Q40StandAlone = 1;
inline constexpr std::int32_t Q40ViaOrbis = 2;
inline constexpr std::int32_t OrbisB = 3;
inline constexpr std::int32_t OrbisC = 4;
inline constexpr std::int32_t Fjord = 5;
inline constexpr std::int32_t ModbusDevice = 6; ///< any Modbus device: items address the four tables directly
} // namespace plctype

/// How the PLCs of a family are read in a pass.
enum class PlcReading {
    Batched, ///< one batched request for all the PLC's enabled items
    ItemByItem ///< one driver read per operand
};

/// How a family keeps a timer's preset and current value: two registers of 10 ms ticks, or one register
/// holding the raw timer word (14-bit count, 2-bit time base).
enum class TimerFormat { Ticks, RawWord };

/// The picture the item grid shows beside the PLCs of a family.
enum class PlcPicture { None, Orbis, Q40 };

/// A serial framing: data bits, parity code (0 none, 1 odd, 2 even) and stop bits.
struct SerialFraming
{
    std::int32_t dataBits;
    std::int32_t parity;
    std::int32_t stopBits;
};

/// The highest legal address of one operand type on a family.
struct OperandLimit
{
    std::int32_t operandType;
    std::int32_t highest;
};

/// Everything the program knows about one PLC family. A new family is one more row of the table in
/// PlcFamilies.cpp, with the operand lists and limits it points to.
struct PlcFamily
{
    std::int32_t code; ///< the `PlcType` code
    std::string_view name; ///< as the Define PLC dialog lists it
    std::string_view series; ///< the short name the Define PLC dialog's refusals use ("Q40")
    PlcReading reading;
    TimerFormat timers;
    PlcPicture picture;
    SerialFraming framing; ///< what the Define PLC dialog proposes when the family is chosen
    std::span<const std::int32_t> offered; ///< the operand types the Define PLC dialog lists, in its order
    std::span<const std::int32_t> unsupported; ///< listed, but refused by the Define PLC dialog
    bool timersWritable; ///< whether "T (Preset)" and "T (Current)" items may be written
    std::span<const OperandLimit> limits; ///< the highest legal address of each operand type
    std::int32_t otherLimit; ///< the highest legal address of every other code; -1: none legal
};

/// Every family, in the order the Define PLC dialog lists them.
std::span<const PlcFamily> PlcFamilies();

/// The family of a PLC type code, or nullptr for a code without one.
const PlcFamily* FindPlcFamily(std::int32_t plcType);

/// The display name of a PLC type code; empty for an unknown code.
std::string_view PlcTypeName(std::int32_t code);

/// True for the PLC families that are read with one batched request per pass.
bool IsBatchedPlcType(std::int32_t plcType);

/// The framing the Define PLC dialog proposes for a PLC type; 8 data bits, no parity, 1 stop bit for a code
/// without a family.
SerialFraming ProposedFraming(std::int32_t plcType);

/// The operand types the Define PLC dialog lists for a PLC type, in its order; for a code without a family,
/// the ones every family lists.
std::span<const std::int32_t> OfferedOperandTypes(std::int32_t plcType);

/// The highest legal operand address of an operand type on a PLC type, or nothing where it is not legal.
std::optional<std::int32_t> OperandAddressLimit(std::int32_t plcType, std::int32_t operandType);

} // namespace tavrel::common
