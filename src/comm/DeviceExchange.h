#pragma once

#include "comm/CommDriver.h"
#include "common/BinaryMix.h"
#include "common/ItemValue.h"
#include "common/OperandCatalogue.h"
#include "common/Refusal.h"
#include "model/Clsitem.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::comm {

// What sets the items of a Modbus device (PLC family 6) and the scaled items of every family apart from the plain
// operands: their values are decoded from registers by data type and byte order, and a scaling turns the raw value
// into the engineering value clients see and poke.

/// The engineering value of a raw value read for an item: the value itself without a scaling, else the scaled
/// number as text with seven significant digits and '.'. A raw value that is no number is kept as it is.
common::ItemValue EngineeringValue(const model::ItemDetails& details, const common::ItemValue& raw);

/// The value to write for an engineering text poked into a scaled item of families 0-5 whose write takes `kind`:
/// converted back and rounded to the raw type (int16, int32, float32, or uint32 for the double words and
/// counters). Refuses with BadValue a text that is no number, with OutOfRange one whose raw value does not fit.
tl::expected<OperandWriteValue, common::Refusal>
ScaledWriteValue(common::ExchangeKind kind, const model::ItemDetails& details, std::string_view text);

/// One value of a device item as a read gave it: its text, or why there is none.
struct DeviceValue
{
    std::optional<common::ItemValue> value;
    std::string problem; ///< why the device gave no value ("register 3999 does not exist on the device")
};

/// The values of a device entry, one per operand of `item` (a vector's elements in order), decoded by the item's
/// data type, byte order and scaling. A value the driver reported as a problem, or whose registers are missing
/// from the entry, has a problem and no value: no value is ever taken from another value's registers.
std::vector<DeviceValue> DecodeDeviceEntry(const model::Clsitem& item, const common::BinaryMixEntry& entry);

/// The words a device poke writes: the registers of `text` by the item's data type, byte order and scaling (a
/// coil: one word 0 or 1), and for a bit(K) the mask of its bit; or the refusal (a read-only table: NotWritable;
/// a text that is no value: BadValue; a value that does not fit: OutOfRange).
struct DeviceWords
{
    std::vector<std::uint16_t> words;
    std::uint16_t bitMask = 0;
};
tl::expected<DeviceWords, common::Refusal> EncodeDevicePoke(std::int32_t operandType, const model::ItemDetails& details,
                                                            std::string_view text);

} // namespace tavrel::comm
