#pragma once

#include "common/ItemDetails.h"

#include <QGroupBox>

#include <array>

#include <optional>
#include <string>

#include <tl/expected.hpp>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLineEdit;

namespace tavrel::ui {

/// The "Details" group of the item dialog: a tag name, a description, a scaling, units, a deadband and whether its
/// history is recorded for every item, and for the item of a Modbus device its data type and byte order (the rows are
/// hidden on other PLC families).
class ItemDetailsBox : public QGroupBox
{
    Q_OBJECT

public:
    explicit ItemDetailsBox(QWidget* parent = nullptr);

    /// Shows the rows that a PLC family and operand type have: data type and byte order only on a Modbus device,
    /// where the empty data type stands for the table's own (bool or int16).
    void SetOperand(int plcType, std::optional<int> operandType);

    /// Shows an item's details.
    void ShowDetails(const common::ItemDetails& details);

    /// The details as typed, over `kept` (details the box has no field for stay as they are; on a PLC family without
    /// data types the data type and byte order read as none), or the problem of the first field that does not read;
    /// each such field is marked where it is typed.
    tl::expected<common::ItemDetails, std::string> ReadDetails(const common::ItemDetails& kept = {});

signals:
    /// A field changed.
    void changed();

private:
    void FillByteOrders();
    bool DeviceRowsShown() const;

    QFormLayout* m_form = nullptr;
    QLineEdit* m_txtTagName = nullptr;
    QLineEdit* m_txtDescription = nullptr;
    QComboBox* m_cbDataType = nullptr;
    QComboBox* m_cbByteOrder = nullptr;
    std::array<QLineEdit*, 4> m_txtScale {}; ///< raw low, raw high, value low, value high
    QLineEdit* m_txtUnits = nullptr;
    QLineEdit* m_txtDeadband = nullptr;
    QCheckBox* m_chkRecord = nullptr;
    int m_plcType = -1;
    std::optional<int> m_operandType;
};

} // namespace tavrel::ui
