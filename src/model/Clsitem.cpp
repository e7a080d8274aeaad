#include "model/Clsitem.h"

#include <limits>

namespace tavrel::model {

void Clsitem::UnloadLabels()
{
    if (IsArray) {
        for (const Clsitem& child : m_children) {
            if (child.Label.IsSet()) {
                (void)child.Label.Array()->Unload(child.Label.Index());
            }
        }
    } else if (Label.IsSet()) {
        (void)Label.Array()->Unload(Label.Index());
    }
}

void Clsitem::AddIChildItems(std::int32_t pNumItems, std::int32_t /*pStartAddress*/, std::int32_t /*pOperansType*/,
                             const std::vector<model::Label>& pLabels, bool pIsEnable, std::int32_t pKey)
{
    // No child past the largest address: its address could not be written.
    const std::int64_t lastAddress = std::numeric_limits<std::int32_t>::max();
    for (std::int32_t i = 0; i < pNumItems && static_cast<std::size_t>(i) < pLabels.size()
         && std::int64_t{OperandAddress} + i <= lastAddress;
         ++i) {
        Clsitem child;
        child.OperandType = OperandType;
        child.IoDirection = IoDirection;
        child.OperandAddress = OperandAddress + i;
        child.IsEnable = pIsEnable;
        child.IsArray = false;
        child.Key = pKey;
        child.Label = pLabels[static_cast<std::size_t>(i)];
        m_children.push_back(std::move(child));
    }
}

std::int32_t Clsitem::FirstLabelIndex() const
{
    if (IsArray) {
        return m_children.empty() ? 0 : m_children.front().Label.Index();
    }
    return Label.Index();
}

} // namespace tavrel::model
