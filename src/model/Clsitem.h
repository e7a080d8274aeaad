#pragma once

#include "common/DeviceValues.h"
#include "common/ItemValue.h"
#include "model/LabelArray.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tavrel::model {

/// What an item holds beyond its operands: how a Modbus device item's registers read (data type, byte order), the
/// engineering value of a numeric item (scaling, units), a tag name and description, and what clients and the
/// history do with its changes. Every field empty or default leaves the item as its PLC family reads it; a project
/// stores them in the Items columns of the same names (NULL for the defaults).
struct ItemDetails
{
    std::optional<common::DataType> dataType; ///< device items only; none: bool for bit tables, int16 for registers
    common::ByteOrder byteOrder = common::ByteOrder::ABCD; ///< device items of more than one register (or bytes)
    std::optional<common::Scaling> scaling; ///< numeric items of any family
    std::string units; ///< engineering units shown beside the value
    std::string name; ///< tag name; empty for none. A vector's children carry the name of each element
    std::string description;
    std::optional<double> deadband; ///< smallest numeric change that clients are told of
    bool record = false; ///< whether the item's history is kept

    friend bool operator==(const ItemDetails&, const ItemDetails&) = default;
};

/// One item of a PLC: a run of operands of one type from one address, with a direction and an enabled flag.
/// A single item holds one label; a vector item holds none and has one child per operand, each with its own.
/// The fields are plain properties: they store and return their value and do nothing else.
class Clsitem
{
public:
    common::ItemValue PrevValue; ///< the label text last published or last accepted as a poke
    std::int32_t Key = 0; ///< unique among the items of a PLC; children carry their parent's
    std::int32_t OperandType = 0; ///< operand type code
    std::int32_t OperandAddress = 0; ///< first operand; a child's is its parent's plus its position
    model::Label Label; ///< the DDE label of a single item or a child; none for a vector
    bool IsArray = false; ///< true for a vector item
    bool IsEnable = false; ///< takes part in reads and writes
    common::ItemValue Currentvalue; ///< the value most recently taken from the PLC
    std::int32_t IoDirection = 0; ///< direction code
    ItemDetails Details; ///< data type, scaling, units, name; a vector's children carry copies (their own names)

    /// The children of a vector item in address order; empty for every other item.
    std::vector<Clsitem>& colItems() { return m_children; }
    const std::vector<Clsitem>& colItems() const { return m_children; }

    /// The operands the item stands for, in address order: the children of a vector, else the item itself.
    std::span<Clsitem> Operands() { return IsArray ? std::span<Clsitem>(m_children) : std::span<Clsitem>(this, 1); }
    std::span<const Clsitem> Operands() const
    {
        return IsArray ? std::span<const Clsitem>(m_children) : std::span<const Clsitem>(this, 1);
    }

    /// Gives the item's labels back: each child's of a vector, else its own. Children stay in place.
    void UnloadLabels();

    /// Builds `pNumItems` children with this item's type, direction and consecutive addresses, the given
    /// enable flag and key, and the labels of `pLabels` in order. Start address and type are taken from
    /// this item, which the caller sets first. No child is made past the last label or the largest address.
    void AddIChildItems(std::int32_t pNumItems, std::int32_t pStartAddress, std::int32_t pOperansType,
                        const std::vector<model::Label>& pLabels, bool pIsEnable, std::int32_t pKey);

    /// The number of operands: the number of children of a vector, else 1.
    std::int32_t Length() const { return static_cast<std::int32_t>(Operands().size()); }

    /// The label index of the first operand: the first child's for a vector.
    std::int32_t FirstLabelIndex() const;

private:
    std::vector<Clsitem> m_children;
};

} // namespace tavrel::model
