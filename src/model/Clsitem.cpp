#include "model/Clsitem.h"

#include "common/DeviceItems.h"

#include <limits>

namespace tavrel::model {

void Clsitem::UnloadLabels()
{
    for (const Clsitem& operand : Operands()) {
        if (operand.Label.IsSet()) {
            (void)operand.Label.Array()->Unload(operand.Label.Index());
        }
    }
}

void Clsitem::AddIChildItems(std::int32_t pNumItems, std::int32_t /*pStartAddress*/, std::int32_t /*pOperansType*/,
                             const std::vector<model::Label>& pLabels, bool pIsEnable, std::int32_t pKey)
{
    // No child past the largest address: its address could not be written.
    const std::int64_t lastAddress = std::numeric_limits<std::int32_t>::max();
    const std::int64_t stride = ElementStride();
    for (std::int32_t i = 0; i < pNumItems && static_cast<std::size_t>(i) < pLabels.size()
         && std::int64_t { OperandAddress } + i * stride <= lastAddress;
         ++i) {
        Clsitem child;
        child.OperandType = OperandType;
        child.IoDirection = IoDirection;
        child.OperandAddress = static_cast<std::int32_t>(OperandAddress + i * stride);
        child.IsEnable = pIsEnable;
        child.IsArray = false;
        child.Key = pKey;
        child.Details = Details;
        child.Details.name = common::ElementTagName(Details.name, i);
        child.Label = pLabels[static_cast<std::size_t>(i)];
        m_children.push_back(std::move(child));
    }
}

std::int32_t Clsitem::ElementStride() const
{
    return Details.dataType ? static_cast<std::int32_t>(common::RegisterCount(*Details.dataType)) : 1;
}

std::int32_t Clsitem::FirstLabelIndex() const
{
    const auto operands = Operands();
    return operands.empty() ? 0 : operands.front().Label.Index();
}

} // namespace tavrel::model
