#include "UiTestTools.h"

#include "common/DeviceItems.h"
#include "common/OperandCatalogue.h"
#include "common/PlcFamilies.h"
#include "model/clsConfig.h"
#include "ui/frmConfigItems.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

using namespace tavrel;
using test::AddItem;
using test::Find;
using test::Project;
using ui::frmConfigItems;
namespace op = common::operand;
namespace dir = common::direction;

namespace {

constexpr int kDevice = common::plctype::ModbusDevice;

void Choose(QWidget& window, const char* list, int code)
{
    auto* box = Find<QComboBox>(window, list);
    box->setCurrentIndex(box->findData(code));
    if (box->currentIndex() < 0) {
        qFatal("%s has no entry %d", list, code);
    }
}

void Type(QWidget& window, const char* edit, const QString& text)
{
    Find<QLineEdit>(window, edit)->setText(text);
}

/// Why OK is disabled, as the hint beside it says; empty when OK is enabled.
QString OkHint(frmConfigItems& dialog)
{
    const QString hint = Find<QLabel>(dialog, "lblOkHint")->text();
    return Find<QPushButton>(dialog, "cmdOK")->isEnabled() == hint.isEmpty() ? hint : QStringLiteral("disagree");
}

/// A new Modbus device PLC "Meter" with one item typed, details left empty.
struct DeviceDialog
{
    DeviceDialog(int operandType, const QString& address, const QString& length = QStringLiteral("1"),
                 int direction = dir::Read)
    {
        dialog.PrepareAddNewItems(project.config);
        Find<QComboBox>(dialog, "cbPLC")->setEditText(QStringLiteral("Meter"));
        Choose(dialog, "cbPLCType", kDevice);
        Choose(dialog, "cbOpType", operandType);
        Type(dialog, "txtOpAddress", address);
        Type(dialog, "txtLength", length);
        Choose(dialog, "cbDirection", direction);
    }

    void DataType(const QString& text) { Find<QComboBox>(dialog, "cbDataType")->setEditText(text); }

    Project project;
    frmConfigItems dialog;
};

} // namespace

class frmConfigItemsDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void TheFamilyOffersTheFourTablesAndTheDataTypeRowsOnlyOnADevice()
    {
        DeviceDialog fresh(op::HoldingRegister, QStringLiteral("0"));
        auto* operands = Find<QComboBox>(fresh.dialog, "cbOpType");
        QCOMPARE(operands->count(), 4);
        QCOMPARE(operands->itemText(2), QStringLiteral("Input register"));
        QVERIFY(Find<QComboBox>(fresh.dialog, "cbDataType")->isVisibleTo(&fresh.dialog));
        Choose(fresh.dialog, "cbPLCType", common::plctype::OrbisA);
        QVERIFY(!Find<QComboBox>(fresh.dialog, "cbDataType")->isVisibleTo(&fresh.dialog));
        QVERIFY(Find<QLineEdit>(fresh.dialog, "txtUnits")->isVisibleTo(&fresh.dialog));
    }

    void AReferenceIsShownBackAsTableAndAddress_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<int>("table");
        QTest::addColumn<QString>("address");
        QTest::newRow("five digits") << "40001" << op::HoldingRegister << "0";
        QTest::newRow("six digits") << "300010" << op::InputRegister << "9";
        QTest::newRow("coil") << "00017" << op::Coil << "16";
        QTest::newRow("a protocol address stays") << "9999" << op::DiscreteInput << "9999";
    }

    void AReferenceIsShownBackAsTableAndAddress()
    {
        QFETCH(QString, typed);
        QFETCH(int, table);
        QFETCH(QString, address);
        DeviceDialog fresh(op::DiscreteInput, typed);
        emit Find<QLineEdit>(fresh.dialog, "txtOpAddress")->editingFinished();
        QCOMPARE(Find<QComboBox>(fresh.dialog, "cbOpType")->currentData().toInt(), table);
        QCOMPARE(Find<QLineEdit>(fresh.dialog, "txtOpAddress")->text(), address);
    }

    void WhatCannotBeIsRefusedWithTheReason_data()
    {
        QTest::addColumn<int>("table");
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("direction");
        QTest::addColumn<QString>("dataType");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("reason");
        QTest::newRow("32-bit in a coil") << op::Coil << "0" << dir::Read << "int32"
                                          << ""
                                          << "holds one bit";
        QTest::newRow("write to an input register") << op::InputRegister << "0" << dir::Write << ""
                                                    << ""
                                                    << "read-only";
        QTest::newRow("past 65535") << op::HoldingRegister << "65534" << dir::Read << "float64"
                                    << ""
                                    << "past 65535";
        QTest::newRow("no data type") << op::HoldingRegister << "0" << dir::Read << "float33"
                                      << ""
                                      << "Data type";
        QTest::newRow("a label name") << op::HoldingRegister << "0" << dir::Read << ""
                                      << "lblDDE(4)"
                                      << "label name";
        QTest::newRow("a name taken") << op::HoldingRegister << "0" << dir::Read << ""
                                      << "TOTAL"
                                      << "taken";
        QTest::newRow("accepted") << op::HoldingRegister << "65532" << dir::ReadWrite << "uint64"
                                  << "Total2"
                                  << "";
    }

    void WhatCannotBeIsRefusedWithTheReason()
    {
        QFETCH(int, table);
        QFETCH(QString, address);
        QFETCH(int, direction);
        QFETCH(QString, dataType);
        QFETCH(QString, name);
        QFETCH(QString, reason);
        DeviceDialog fresh(table, address, QStringLiteral("1"), direction);
        common::ItemDetails total;
        total.name = "Total";
        AddItem(fresh.project.AddPlc("Line_1"), op::MI, 0).Details = total;
        fresh.DataType(dataType);
        Type(fresh.dialog, "txtTagName", name);
        const QString hint = OkHint(fresh.dialog);
        QVERIFY2(reason.isEmpty() ? hint.isEmpty() : hint.contains(reason), qPrintable(hint));
    }

    void OkAddsTheItemWithItsDetails()
    {
        DeviceDialog fresh(op::InputRegister, QStringLiteral("30001"), QStringLiteral("3"));
        emit Find<QLineEdit>(fresh.dialog, "txtOpAddress")->editingFinished();
        fresh.DataType(QStringLiteral("float32"));
        Choose(fresh.dialog, "cbByteOrder", static_cast<int>(common::ByteOrder::CDAB));
        Type(fresh.dialog, "txtTagName", QStringLiteral("Voltage"));
        Type(fresh.dialog, "txtDescription", QStringLiteral("L1 to L3"));
        Type(fresh.dialog, "txtUnits", QStringLiteral("V"));
        Type(fresh.dialog, "txtScaleRawLow", QStringLiteral("0"));
        Type(fresh.dialog, "txtScaleRawHigh", QStringLiteral("10"));
        QVERIFY(OkHint(fresh.dialog).contains(QStringLiteral("all four")));
        Type(fresh.dialog, "txtScaleLow", QStringLiteral("0"));
        Type(fresh.dialog, "txtScaleHigh", QStringLiteral("1"));
        Type(fresh.dialog, "txtDeadband", QStringLiteral("-0.5"));
        QVERIFY(OkHint(fresh.dialog).contains(QStringLiteral("Deadband")));
        Type(fresh.dialog, "txtDeadband", QStringLiteral("0.5"));
        QCOMPARE(OkHint(fresh.dialog), QString());
        Find<QPushButton>(fresh.dialog, "cmdOK")->click();
        QVERIFY(fresh.dialog.ApplyToModel());

        const model::Clsitem& item = *fresh.project.config.colPlcs().at(0)->colItems().at(0);
        QCOMPARE(item.OperandType, op::InputRegister);
        QCOMPARE(item.Details.dataType, common::DataType { common::BaseType::Float32 });
        QCOMPARE(item.Details.byteOrder, common::ByteOrder::CDAB);
        QCOMPARE(item.Details.units, std::string("V"));
        QCOMPARE(item.Details.description, std::string("L1 to L3"));
        QVERIFY(item.Details.scaling == (common::Scaling { 0, 10, 0, 1 }));
        QCOMPARE(item.Details.deadband, std::optional<double>(0.5));
        QCOMPARE(item.colItems().at(2).OperandAddress, 4); // two registers a value
        QCOMPARE(item.colItems().at(2).Details.name, std::string("Voltage[2]"));
    }

    void EditingShowsTheDetailsAndChangesTheRecordFlag()
    {
        Project project;
        model::CommParams params;
        params.PlcType = kDevice;
        model::clsPlc& plc = project.AddPlc("Meter", params);
        model::Clsitem& item = AddItem(plc, op::HoldingRegister, 10, 2);
        item.Details.dataType = common::DataType { common::BaseType::String, 4 };
        item.Details.byteOrder = common::ByteOrder::BADC;
        item.Details.name = "Tag";
        item.Details.deadband = 2;
        item.Details.record = true;
        frmConfigItems dialog;
        QVERIFY(dialog.PrepareEditItem(project.config, plc.Key, item.Key));
        QCOMPARE(Find<QComboBox>(dialog, "cbDataType")->currentText(), QStringLiteral("string(4)"));
        QVERIFY(Find<QComboBox>(dialog, "cbByteOrder")->currentText().startsWith(QStringLiteral("BA")));
        QCOMPARE(Find<QLineEdit>(dialog, "txtTagName")->text(), QStringLiteral("Tag"));
        QVERIFY(Find<QCheckBox>(dialog, "chkRecord")->isChecked());
        Find<QCheckBox>(dialog, "chkRecord")->setChecked(false);
        Find<QComboBox>(dialog, "cbDataType")->setEditText(QStringLiteral("int32"));
        Choose(dialog, "cbByteOrder", static_cast<int>(common::ByteOrder::DCBA));
        Find<QPushButton>(dialog, "cmdOK")->click();
        QVERIFY(dialog.ApplyToModel());
        QCOMPARE(item.Details.byteOrder, common::ByteOrder::DCBA);
        QCOMPARE(item.Details.deadband, std::optional<double>(2));
        QVERIFY(!item.Details.record);
        QVERIFY(!item.colItems().at(1).Details.record);
        QCOMPARE(item.colItems().at(1).OperandAddress, 12);
        QCOMPARE(item.colItems().at(1).Details.name, std::string("Tag[1]"));
    }
};

QTEST_MAIN(frmConfigItemsDeviceTest)
#include "frmConfigItemsDeviceTest.moc"
