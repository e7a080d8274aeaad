// The Define PLC dialog's part for item details and Modbus device addresses: what the shared check of an item's
// definition says of the item as typed.
#include "common/DeviceItems.h"
#include "common/NumberText.h"
#include "common/PlcFamilies.h"
#include "model/clsConfig.h"
#include "ui/DefinePlcLists.h"
#include "ui/ItemDetailsBox.h"
#include "ui/WindowTools.h"
#include "ui/frmConfigItems.h"

#include <QComboBox>
#include <QLineEdit>

#include <limits>

namespace tavrel::ui {

namespace {

/// The whole number of a field's text; 0 for a text that is not one (the field is marked for it already).
std::int32_t WholeNumber(const QLineEdit& field)
{
    const auto number = common::ParseWholeNumber(field.text().toStdString(), std::numeric_limits<std::int32_t>::min(),
                                                 std::numeric_limits<std::int32_t>::max());
    return number ? static_cast<std::int32_t>(*number) : 0;
}

} // namespace

using defineplc::ChosenCode;

std::optional<common::DeviceAddress> frmConfigItems::TypedDeviceAddress() const
{
    const auto operandType = ChosenCode(*m_cbOpType);
    if (ChosenCode(*m_cbPLCType) != common::plctype::ModbusDevice || !operandType) {
        return std::nullopt;
    }
    const auto place = common::ParseDeviceAddress(m_txtOpAddress->text().toStdString(), *operandType);
    return place ? std::optional<common::DeviceAddress>(*place) : std::nullopt;
}

void frmConfigItems::ShowDeviceAddress()
{
    if (const auto place = TypedDeviceAddress()) {
        SelectComboByItemData(*m_cbOpType, place->operandType);
        m_txtOpAddress->setText(QString::number(place->address));
    }
}

std::optional<std::string> frmConfigItems::ItemProblem(common::ItemDetails& details)
{
    auto read = m_details->ReadDetails(m_item != nullptr ? m_item->Details : common::ItemDetails {});
    if (!read) {
        return read.error();
    }
    details = *read;
    const std::int32_t plcType = ChosenCode(*m_cbPLCType).value_or(-1);
    const auto place = TypedDeviceAddress();
    const common::ItemDefinition definition { plcType,
                                              place ? place->operandType : ChosenCode(*m_cbOpType).value_or(-1),
                                              place ? place->address : WholeNumber(*m_txtOpAddress),
                                              WholeNumber(*m_txtLength),
                                              ChosenCode(*m_cbDirection).value_or(-1),
                                              details };
    if (auto checked = common::CheckItemDefinition(definition); !checked) {
        return checked.error();
    }
    // A tag name is unique in the project; the edited item's own name is no clash.
    std::vector<std::string> taken;
    if (m_project != nullptr) {
        for (const auto& plc : m_project->colPlcs()) {
            for (const auto& item : plc->colItems()) {
                if (item.get() != m_item && !item->Details.name.empty()) {
                    taken.push_back(item->Details.name);
                }
            }
        }
    }
    return common::TagNameClash(details.name, taken);
}

} // namespace tavrel::ui
