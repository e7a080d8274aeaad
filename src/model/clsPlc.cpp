#include "model/clsPlc.h"

#include <algorithm>
#include <limits>

namespace tavrel::model {

Clsitem* clsPlc::FindItem(std::int32_t pItemKey) const
{
    const auto it
        = std::find_if(m_items.begin(), m_items.end(), [pItemKey](const auto& item) { return item->Key == pItemKey; });
    return it == m_items.end() ? nullptr : it->get();
}

tl::expected<void, std::string> clsPlc::RemoveItem(std::int32_t pItemKey)
{
    const auto it
        = std::find_if(m_items.begin(), m_items.end(), [pItemKey](const auto& item) { return item->Key == pItemKey; });
    if (it == m_items.end()) {
        return tl::make_unexpected("PLC '" + Name + "' has no item with key " + std::to_string(pItemKey));
    }
    (*it)->UnloadLabels();
    m_items.erase(it);
    return {};
}

std::string clsPlc::GetCommParamsAsString() const
{
    switch (m_commParams.PathWay) {
    case PathWay::Serial:
        return "COM " + std::to_string(m_commParams.SerialComPort) + " ; "
            + std::to_string(m_commParams.SerialBaudRate);
    case PathWay::TcpIp:
        return "TCP/IP ; " + m_commParams.EthRemoteIP + " ; " + std::to_string(m_commParams.EthRemotePort);
    default:
        return {};
    }
}

tl::expected<void, std::string> clsPlc::AddItems(std::int32_t pNumItems, std::int32_t pStartAddress,
                                                 std::int32_t pOperandType, std::int32_t pIoDirection, bool pIsEnable,
                                                 std::int32_t& pStartLabelIndex, const ItemDetails& pDetails)
{
    if (pNumItems < 1) {
        return tl::make_unexpected("an item needs at least one operand, not " + std::to_string(pNumItems));
    }
    if (std::int64_t { pStartAddress } + pNumItems - 1 > std::numeric_limits<std::int32_t>::max()) {
        return tl::make_unexpected("operands " + std::to_string(pStartAddress) + " to "
                                   + std::to_string(std::int64_t { pStartAddress } + pNumItems - 1)
                                   + " pass the largest address");
    }
    const std::int32_t startLabel = pStartLabelIndex == -1 ? GetNextLabelIndex() : pStartLabelIndex;
    if (startLabel < 1 || std::int64_t { startLabel } + pNumItems - 1 > LabelArray::kMaxIndex) {
        return tl::make_unexpected("labels " + std::to_string(startLabel) + " to "
                                   + std::to_string(std::int64_t { startLabel } + pNumItems - 1) + " are outside 1 to "
                                   + std::to_string(LabelArray::kMaxIndex));
    }

    std::vector<Label> labels;
    labels.reserve(static_cast<std::size_t>(pNumItems));
    for (std::int32_t index = startLabel; index < startLabel + pNumItems; ++index) {
        if (auto loaded = m_labels->Load(index); !loaded) {
            // Give back what this call loaded, so no label is left without an item.
            for (const Label& label : labels) {
                (void)m_labels->Unload(label.Index());
            }
            return tl::make_unexpected(loaded.error());
        }
        labels.emplace_back(*m_labels, index);
    }
    pStartLabelIndex = startLabel;

    auto item = std::make_unique<Clsitem>();
    item->OperandType = pOperandType;
    item->OperandAddress = pStartAddress;
    item->IoDirection = pIoDirection;
    item->IsEnable = pIsEnable;
    item->Key = GetNextItemKey();
    item->Details = pDetails;
    if (pNumItems == 1) {
        item->IsArray = false;
        item->Label = labels.front();
    } else {
        item->IsArray = true;
        item->AddIChildItems(pNumItems, pStartAddress, pOperandType, labels, pIsEnable, item->Key);
    }
    m_items.push_back(std::move(item));
    return {};
}

std::int32_t clsPlc::GetNextItemKey() const
{
    std::int32_t largest = 1;
    for (const auto& item : m_items) {
        for (const Clsitem& operand : item->Operands()) {
            largest = std::max(largest, operand.Key);
        }
    }
    return largest + 1;
}

std::int32_t clsPlc::GetNextLabelIndex() const
{
    return std::max(m_labels->HighestIndex(), 0) + 1;
}

} // namespace tavrel::model
