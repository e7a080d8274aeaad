#pragma once

#include "common/DeviceValues.h"
#include "common/ItemDetails.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

namespace tavrel::common {

// The items of a Modbus device (PLC family 6) address the four Modbus tables directly, with a data type and byte
// order each; every item of every family may carry a scaling, units, a tag name and a description. This is the one
// place that says which of these fit together: the item dialog, the items CSV and the project loader all ask it.

/// The highest protocol address of each Modbus table.
inline constexpr std::int32_t kHighestDeviceAddress = 65535;

/// The longest a tag name may be, in characters.
inline constexpr std::size_t kMaxTagNameLength = 100;

/// A place in the Modbus tables: the device operand type of the table (operand::Coil ... HoldingRegister) and the
/// protocol address (0-65535).
struct DeviceAddress
{
    std::int32_t operandType;
    std::int32_t address;
    friend bool operator==(const DeviceAddress&, const DeviceAddress&) = default;
};

/// Whether an operand type code is one of the four device tables.
bool IsDeviceOperand(std::int32_t operandType);

/// Whether a device table holds registers (input and holding registers) rather than bits.
bool IsRegisterTable(std::int32_t operandType);

/// Whether the items of a device table may be written (coils and holding registers).
bool IsWritableTable(std::int32_t operandType);

/// The data type of a device item: its own, else bool for the bit tables and int16 for the registers.
DataType DeviceDataType(std::int32_t operandType, const ItemDetails& details);

/// The registers (or bits, in the bit tables) one value of a device item takes; a vector's element k starts at
/// its address + k times this.
std::int32_t DeviceValueWidth(std::int32_t operandType, const ItemDetails& details);

/// A 1-based reference as device manuals write them: five digits (00001-09999 coils, 10001-19999 discrete inputs,
/// 30001-39999 input registers, 40001-49999 holding registers) or six (000001-065536, 100001-165536,
/// 300001-365536, 400001-465536). Nothing when the text has not that shape (not five or six digits, or a first
/// digit naming no table); the reason when it has the shape but names no register (40000, 470000).
tl::expected<std::optional<DeviceAddress>, std::string> ParseModbusReference(std::string_view text);

/// The place an address typed for a device item names: a reference (ParseModbusReference), which brings its own
/// table, else a protocol address 0-65535 in the table chosen (`operandType`). Blanks around are ignored. A
/// protocol address from 10000 whose first digit is 1, 3 or 4 reads as a five-digit reference; its six-digit
/// reference reaches it in any table.
tl::expected<DeviceAddress, std::string> ParseDeviceAddress(std::string_view text, std::int32_t operandType);

/// The reference of a place, six digits ("400001" for holding register 0).
std::string ModbusReferenceText(const DeviceAddress& place);

/// Whether the values of an item are numbers that a scaling, units and a deadband apply to: every device type
/// but string, bool and bit(K); on the other families the integer, long, float, double-word and counter
/// operands, not bits and not timers.
bool IsNumericItem(std::int32_t plcType, std::int32_t operandType, const ItemDetails& details);

/// Why a tag name cannot be one, or nothing: empty is no name (allowed); else 1 to kMaxTagNameLength ASCII
/// letters, digits, '_', '.' and '-', and never a label name (lblDDE(n), any case).
std::optional<std::string> TagNameProblem(std::string_view name);

/// A tag name as names are compared: in lower case.
std::string FoldedTagName(std::string_view name);

/// Whether two tag names are the same name (names are compared without regard to case).
bool SameTagName(std::string_view a, std::string_view b);

/// Why `name` cannot join the names already in the project (`taken`, the names of the other items), or nothing:
/// a name is unique in the project without regard to case. An empty name never clashes.
std::optional<std::string> TagNameClash(std::string_view name, std::span<const std::string> taken);

/// The tag name of element k of an item named `name`: the name itself for k = 0, else "name[k]"; empty without a
/// name.
std::string ElementTagName(std::string_view name, std::int32_t k);

/// The kind of value an item holds, as clients type it.
enum class ValueKind { Bit, Int16, UInt16, Int32, UInt32, Int64, UInt64, Float, Double, Text, Timer };

/// The kind of an item's values: a device item's by its data type (bool and bit(K) Bit, strings Text); on families
/// 0-5 bits Bit, MI SI XI Int16, ML SL XL Int32, MF Float, the double words and counters Double (currency values),
/// timers Timer; a scaled value Double.
ValueKind ItemValueKind(std::int32_t plcType, std::int32_t operandType, const ItemDetails& details);

/// The whole definition of one item as stored: its PLC's family, operand type, first address, length (number of
/// values), direction and details.
struct ItemDefinition
{
    std::int32_t plcType;
    std::int32_t operandType;
    std::int32_t address;
    std::int32_t length;
    std::int32_t direction;
    const ItemDetails& details;
};

/// Whether an item's definition holds together; else the reason, for the user. On a Modbus device: a device
/// table, an address 0-65535, a length 1-kMaxItemLength, a data type that fits the table (only bool in coils and
/// discrete inputs), a byte order that fits the type, no write to a read-only table, no written value wider than
/// one write request (123 registers), the whole range within 65535 (address + length x registers). On every family: a
/// data type or byte order only on a device item, a scaling (with rawLow != rawHigh and low != high, all finite) and a
/// deadband (not negative) only on a numeric item, a tag name of the right shape. The operand rules of families 0-5
/// stay CheckItemDraft's, and the name's uniqueness TagNameClash's.
tl::expected<void, std::string> CheckItemDefinition(const ItemDefinition& item);

} // namespace tavrel::common
