#pragma once

#include "common/DeviceValues.h"

#include <optional>
#include <string>

namespace tavrel::common {

/// What an item holds beyond its operands: how a Modbus device item's registers read (data type, byte order), the
/// engineering value of a numeric item (scaling, units), a tag name and description, and what clients and the
/// history do with its changes. Every field empty or default leaves the item as its PLC family reads it; a project
/// stores them in the Items columns of the same names (NULL for the defaults).
struct ItemDetails
{
    std::optional<DataType> dataType; ///< device items only; none: bool for bit tables, int16 for registers
    ByteOrder byteOrder = ByteOrder::ABCD; ///< device items of more than one register (or bytes)
    std::optional<Scaling> scaling; ///< numeric items of any family
    std::string units; ///< engineering units shown beside the value
    std::string name; ///< tag name; empty for none. A vector's children carry the name of each element
    std::string description;
    std::optional<double> deadband; ///< smallest numeric change that clients are told of
    bool record = false; ///< whether the item's history is kept

    friend bool operator==(const ItemDetails&, const ItemDetails&) = default;
};

} // namespace tavrel::common
