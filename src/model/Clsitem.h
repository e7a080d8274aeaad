#pragma once

#include "common/ItemDetails.h"
#include "common/ItemValue.h"
#include "model/LabelArray.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tavrel::model {

/// The details of an item (data type, scaling, units, name ...): see common::ItemDetails.
using ItemDetails = common::ItemDetails;

/// One item of a PLC: a run of operands of one type from one address, with a direction and an enabled flag.
/// A single item holds one label; a vector item holds none and has one child per operand, each with its own.
/// The fields are plain properties: they store and return their value and do nothing else.
class Clsitem
{
public:
    common::ItemValue PrevValue; ///< the label text last published or last accepted as a poke
    std::int32_t Key = 0; ///< unique among the items of a PLC; children carry their parent's
    std::int32_t OperandType = 0; ///< operand type code
    /// First operand; a child's is its parent's plus its position times ElementStride().
    std::int32_t OperandAddress = 0;
    model::Label Label; ///< the DDE label of a single item or a child; none for a vector
    bool IsArray = false; ///< true for a vector item
    bool IsEnable = false; ///< takes part in reads and writes
    common::ItemValue Currentvalue; ///< the value most recently taken from the PLC
    std::int32_t IoDirection = 0; ///< direction code
    ItemDetails Details; ///< data type, scaling, units, name; a vector's children carry copies (their own names)
    /// Why the device would not give this value in the current run ("register 3999 does not exist on the
    /// device"); empty while it does.
    std::string BadReason;

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

    /// Builds `pNumItems` children with this item's type, direction and details, addresses ElementStride() apart,
    /// the given enable flag and key, and the labels of `pLabels` in order; child k >= 1 is named NAME[k] when the
    /// item has a name. Start address, type and details are taken from this item, which the caller sets first. No
    /// child is made past the last label or the largest address.
    void AddIChildItems(std::int32_t pNumItems, std::int32_t pStartAddress, std::int32_t pOperansType,
                        const std::vector<model::Label>& pLabels, bool pIsEnable, std::int32_t pKey);

    /// The number of operands: the number of children of a vector, else 1.
    std::int32_t Length() const { return static_cast<std::int32_t>(Operands().size()); }

    /// How far apart the addresses of a vector's elements lie: the registers of one value of a device item with a
    /// data type, else 1.
    std::int32_t ElementStride() const;

    /// The label index of the first operand: the first child's for a vector.
    std::int32_t FirstLabelIndex() const;

private:
    std::vector<Clsitem> m_children;
};

} // namespace tavrel::model
