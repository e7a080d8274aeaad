#include "UiTestTools.h"

#include "common/OperandCatalogue.h"
#include "model/clsConfig.h"
#include "ui/frmConfigItems.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

using namespace tavrel;
using test::AddItem;
using test::Find;
using test::Project;
using ui::frmConfigItems;
namespace op = common::operand;
namespace dir = common::direction;

namespace {

void Choose(QWidget& window, const char* list, int code)
{
    auto* box = Find<QComboBox>(window, list);
    const int index = box->findData(code);
    if (index < 0) {
        qFatal("%s has no entry %d", list, code);
    }
    box->setCurrentIndex(index);
}

void Type(QWidget& window, const char* edit, const QString& text)
{
    Find<QLineEdit>(window, edit)->setText(text);
}

QString Shown(QWidget& window, const char* list)
{
    return Find<QComboBox>(window, list)->currentText();
}

QStringList Entries(QWidget& window, const char* list)
{
    auto* box = Find<QComboBox>(window, list);
    QStringList texts;
    for (int index = 0; index < box->count(); ++index) {
        texts << box->itemText(index);
    }
    return texts;
}

/// Presses OK; the text of the message it shows, or an empty text when it was accepted.
QString PressOk(frmConfigItems& dialog)
{
    test::ModalAnswerer answerer;
    answerer.PressOnMessageBox(QMessageBox::Ok);
    Find<QPushButton>(dialog, "cmdOK")->click();
    if (answerer.Messages().empty()) {
        return {};
    }
    const test::SeenMessage& message = answerer.Messages().front();
    if (message.icon != QMessageBox::Warning || message.title != QLatin1String("Tavrel")) {
        return QStringLiteral("wrong icon or title: ") + message.text;
    }
    return message.text;
}

/// Fills the item fields of a dialog prepared for a new PLC.
void FillItem(frmConfigItems& dialog, int plcType, int operandType, const QString& start, const QString& length,
              int direction)
{
    Find<QComboBox>(dialog, "cbPLC")->setEditText(QStringLiteral("Line_9"));
    Choose(dialog, "cbPLCType", plcType);
    Choose(dialog, "cbOpType", operandType);
    Type(dialog, "txtOpAddress", start);
    Type(dialog, "txtLength", length);
    Choose(dialog, "cbDirection", direction);
}

model::CommParams TcpParams(const std::string& remote)
{
    model::CommParams params;
    params.PathWay = 2;
    params.EthRemoteIP = remote;
    params.EthRemotePort = 502;
    params.TimeOut = 1000;
    params.NumRetries = 5;
    return params;
}

} // namespace

class frmConfigItemsTest : public QObject
{
    Q_OBJECT

private slots:
    void ValidationRulesAndTheirMessages_data()
    {
        QTest::addColumn<int>("plcType");
        QTest::addColumn<int>("operandType");
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("length");
        QTest::addColumn<int>("direction");
        QTest::addColumn<QString>("message");
        const QString notPositive = QStringLiteral("Length must be positive numeric value.");
        const QString notInRange = QStringLiteral("Length must be between 1 - 50");
        const QString q40Type = QStringLiteral("Q40 does not supports the selected Operand type.");
        const QString q40Timer = QStringLiteral("Timers cannot be writen in Q40.");
        const QString notLegal = QStringLiteral("Operand address is not legal.");
        const QString timerBit = QStringLiteral("Timer Bit cannot be writen.");
        const QString counterBit = QStringLiteral("Counter Bit cannot be writen.");
        const auto row = [](const char* name, int plcType, int operandType, const char* start, const char* length,
                            int direction, const QString& message) {
            QTest::newRow(name) << plcType << operandType << QString::fromLatin1(start) << QString::fromLatin1(length)
                                << direction << message;
        };
        row("length of letters", 0, op::MI, "0", "ab", dir::Read, notPositive);
        row("length 0", 0, op::MI, "0", "0", dir::Read, notInRange);
        row("length 51", 0, op::MI, "0", "51", dir::Read, notInRange);
        row("length 50 accepted", 0, op::MI, "0", "50", dir::Read, {});
        row("DW on Q40", 1, op::DW, "0", "1", dir::Read, q40Type);
        row("C (Bit) on Q40, even to read", 1, op::CBit, "0", "1", dir::Read, q40Type);
        row("T (Current) read/write on Q40", 1, op::TCurrent, "0", "1", dir::ReadWrite, q40Timer);
        row("T (Current) read on Q40 accepted", 1, op::TCurrent, "0", "1", dir::Read, {});
        row("T (Current) read/write on Orbis-A accepted", 0, op::TCurrent, "0", "1", dir::ReadWrite, {});
        row("MB 8190 x 2 on Orbis-A accepted", 0, op::MB, "8190", "2", dir::Read, {});
        row("MB 8191 x 2 on Orbis-A", 0, op::MB, "8191", "2", dir::Read, notLegal);
        row("MI 255 write on Q40 accepted", 1, op::MI, "255", "1", dir::Write, {});
        row("MI 250 x 10 write on Q40", 1, op::MI, "250", "10", dir::Write, notLegal);
        row("negative start address", 0, op::MI, "-1", "2", dir::Read, notLegal);
        row("XB on Orbis-B, which has no X range", 3, op::XB, "0", "1", dir::Read, notLegal);
        row("T (Bit) write on Orbis-A", 0, op::TBit, "0", "1", dir::Write, timerBit);
        row("T (Bit) read accepted", 1, op::TBit, "0", "1", dir::Read, {});
        row("C (Bit) read/write on Fjord", 5, op::CBit, "0", "1", dir::ReadWrite, counterBit);
        row("C (Bit) read on Orbis-C accepted", 4, op::CBit, "0", "1", dir::Read, {});
    }

    void ValidationRulesAndTheirMessages()
    {
        QFETCH(int, plcType);
        QFETCH(int, operandType);
        QFETCH(QString, start);
        QFETCH(QString, length);
        QFETCH(int, direction);
        QFETCH(QString, message);
        Project project;
        frmConfigItems dialog;
        dialog.PrepareAddNewItems(project.config);
        FillItem(dialog, plcType, operandType, start, length, direction);

        QCOMPARE(PressOk(dialog), message);
        QCOMPARE(dialog.OkFlag(), message.isEmpty());
        QCOMPARE(dialog.ApplyToModel(), message.isEmpty());
        QCOMPARE(project.config.colPlcs().size(), message.isEmpty() ? 1u : 0u);
    }

    void UnitIdsArePaddedAndNamedByBus()
    {
        Project project;
        frmConfigItems dialog;
        dialog.PrepareAddNewItems(project.config);
        const QStringList units = Entries(dialog, "cbUnitID");
        QCOMPARE(units.size(), 128);
        QCOMPARE(units.at(0), QStringLiteral("Direct"));
        QCOMPARE(units.at(1), QStringLiteral("1    (CANbus)"));
        QCOMPARE(units.at(63), QStringLiteral("63   (CANbus)"));
        QCOMPARE(units.at(64), QStringLiteral("64   (RS485)"));
        QCOMPARE(units.at(100), QStringLiteral("100  (RS485)"));
        QCOMPARE(Find<QComboBox>(dialog, "cbUnitID")->itemData(100).toInt(), 100);
    }

    void XOperandsOnlyForTheFirstTwoFamilies_data()
    {
        QTest::addColumn<int>("plcType");
        QTest::addColumn<bool>("xTypes");
        QTest::newRow("Orbis-A") << 0 << true;
        QTest::newRow("Orbis-B") << 3 << true;
        QTest::newRow("Orbis-C") << 4 << false;
        QTest::newRow("Q40 stand-alone") << 1 << false;
        QTest::newRow("Q40 via Orbis") << 2 << false;
        QTest::newRow("Fjord") << 5 << false;
    }

    void XOperandsOnlyForTheFirstTwoFamilies()
    {
        QFETCH(int, plcType);
        QFETCH(bool, xTypes);
        Project project;
        frmConfigItems dialog;
        dialog.PrepareAddNewItems(project.config);
        Choose(dialog, "cbPLCType", plcType == 0 ? 5 : 0); // make the choice below a change
        Choose(dialog, "cbPLCType", plcType);
        const QStringList operands = Entries(dialog, "cbOpType");
        QCOMPARE(operands.mid(0, 3), (QStringList { "I", "O", "T (Current)" }));
        QCOMPARE(operands.size(), xTypes ? 21 : 17);
        QCOMPARE(operands.constLast(), xTypes ? QStringLiteral("XDW") : QStringLiteral("C (Bit)"));
    }

    void ChoosingAPlcTypeSetsItsFraming_data()
    {
        QTest::addColumn<int>("plcType");
        QTest::addColumn<QString>("framing");
        QTest::newRow("Q40 stand-alone: 7 even 1") << 1 << "7 Even 1";
        QTest::newRow("Q40 via Orbis: 8 none 1") << 2 << "8 None 1";
        QTest::newRow("Fjord: 8 none 1") << 5 << "8 None 1";
    }

    void ChoosingAPlcTypeSetsItsFraming()
    {
        QFETCH(int, plcType);
        QFETCH(QString, framing);
        Project project;
        frmConfigItems dialog;
        dialog.PrepareAddNewItems(project.config);
        Choose(dialog, "cbParity", 1);
        Choose(dialog, "cbStopBits", 2);
        Choose(dialog, "cbPLCType", plcType);
        QCOMPARE(Shown(dialog, "cbDataBits") + " " + Shown(dialog, "cbParity") + " " + Shown(dialog, "cbStopBits"),
                 framing);
    }

    void AStoredPlcShowsItsOwnFraming()
    {
        Project project;
        model::CommParams params;
        params.PlcType = 1;
        params.DataBits = 8;
        params.Parity = 1;
        params.StopBits = 2;
        params.SerialBaudRate = 9600;
        params.SerialComPort = 4;
        model::clsPlc& plc = project.AddPlc("Mixer", params);
        AddItem(plc, op::MI, 3);
        frmConfigItems dialog;
        QVERIFY(dialog.PrepareEditItem(project.config, plc.Key, plc.colItems().front()->Key));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Edit PLC"));
        QCOMPARE(Shown(dialog, "cbDataBits") + " " + Shown(dialog, "cbParity") + " " + Shown(dialog, "cbStopBits"),
                 QStringLiteral("8 Odd 2"));
        QCOMPARE(Shown(dialog, "cbBaudRate"), QStringLiteral("9600"));
        QCOMPARE(Shown(dialog, "cbPCPort"), QStringLiteral("COM 4"));
        QCOMPARE(Shown(dialog, "cbOpType"), QStringLiteral("MI"));
        QCOMPARE(Find<QLineEdit>(dialog, "txtOpAddress")->text(), QStringLiteral("3"));
        QVERIFY(!Find<QComboBox>(dialog, "cbPLC")->isEnabled());
        QVERIFY(!Find<QLineEdit>(dialog, "txtLength")->isEnabled());
    }

    void ChangingThePlcTypeEmptiesTheOperandChoice()
    {
        Project project;
        frmConfigItems dialog;
        dialog.PrepareAddNewItems(project.config);
        FillItem(dialog, 0, op::MI, "1", "1", dir::Read);
        auto* ok = Find<QPushButton>(dialog, "cmdOK");
        QVERIFY(ok->isEnabled());
        Choose(dialog, "cbPLCType", 4);
        QCOMPARE(Find<QComboBox>(dialog, "cbOpType")->currentIndex(), -1);
        QVERIFY(!ok->isEnabled());
        Choose(dialog, "cbOpType", op::MI);
        QVERIFY(ok->isEnabled());
    }

    void DefineANewPlc()
    {
        Project project;
        frmConfigItems dialog;
        dialog.PrepareAddNewItems(project.config);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Define PLC"));
        QVERIFY(Find<QCheckBox>(dialog, "ckEnable")->isChecked());
        QCOMPARE(Find<QLineEdit>(dialog, "txtRemotePort")->text(), QStringLiteral("0"));
        FillItem(dialog, 3, op::MI, "10", "3", dir::ReadWrite);
        Find<QCheckBox>(dialog, "ckEnable")->setChecked(false);
        Choose(dialog, "cbUnitID", 70);
        Choose(dialog, "cbConnectionType", 2);
        QVERIFY(Find<QGroupBox>(dialog, "fSerial")->isHidden());
        QVERIFY(!Find<QGroupBox>(dialog, "fEthernet")->isHidden());
        Type(dialog, "ctIpCOnfig", QStringLiteral("10.0.0.5"));
        Type(dialog, "txtRemotePort", QStringLiteral("502"));

        QCOMPARE(PressOk(dialog), QString());
        QVERIFY(dialog.ApplyToModel());
        QCOMPARE(project.config.colPlcs().size(), 1u);
        const model::clsPlc& plc = *project.config.colPlcs().front();
        QCOMPARE(plc.Name, std::string("Line_9"));
        model::CommParams expected; // the new PLC's serial defaults stay as they were
        expected.PlcType = 3;
        expected.UnitId = 70;
        expected.PathWay = 2;
        expected.EthRemoteIP = "10.0.0.5";
        expected.EthRemotePort = 502;
        QVERIFY(plc.GetCommParams() == expected);
        QCOMPARE(plc.colItems().size(), 1u);
        const model::Clsitem& item = *plc.colItems().front();
        QVERIFY(item.IsArray);
        QCOMPARE(item.colItems().size(), 3u);
        QCOMPARE(item.colItems().at(2).OperandAddress, 12);
        QCOMPARE(item.IoDirection, dir::ReadWrite);
        QVERIFY(!item.IsEnable);
        QVERIFY(project.labels.IsLoaded(3));
    }

    void DefineOntoAnExistingPlc()
    {
        Project project;
        model::CommParams params;
        params.SerialBaudRate = 9600;
        params.NumRetries = 5;
        model::clsPlc& existing = project.AddPlc("Line_1", params);
        AddItem(existing, op::MI, 0);
        project.AddPlc("Line_2");

        frmConfigItems dialog;
        dialog.PrepareAddNewItems(project.config);
        QCOMPARE(Shown(dialog, "cbBaudRate"), QStringLiteral("57600")); // a new PLC's defaults first
        Find<QComboBox>(dialog, "cbPLC")->setCurrentIndex(0);
        QCOMPARE(Shown(dialog, "cbBaudRate"), QStringLiteral("9600"));
        QCOMPARE(Shown(dialog, "cbRetries"), QStringLiteral("5"));
        Choose(dialog, "cbBaudRate", 19200);
        Choose(dialog, "cbOpType", op::MB);
        Type(dialog, "txtOpAddress", QStringLiteral("5"));
        Type(dialog, "txtLength", QStringLiteral("1"));
        Choose(dialog, "cbDirection", dir::Read);

        QCOMPARE(PressOk(dialog), QString());
        QVERIFY(dialog.ApplyToModel());
        QCOMPARE(project.config.colPlcs().size(), 2u);
        QCOMPARE(existing.colItems().size(), 2u);
        QCOMPARE(existing.colItems().back()->OperandType, op::MB);
        QCOMPARE(existing.GetCommParams().SerialBaudRate, 19200);
        QCOMPARE(existing.GetCommParams().NumRetries, 5);
    }

    void ATypedNameIsTakenLetterForLetter_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("target");
        QTest::newRow("a prefix of an existing name") << "Line_1"
                                                      << "Line_1";
        QTest::newRow("another letter case") << "line_10"
                                             << "line_10";
        QTest::newRow("an existing name in full") << "Line_10"
                                                  << "Line_10";
    }

    void ATypedNameIsTakenLetterForLetter()
    {
        QFETCH(QString, typed);
        QFETCH(QString, target);
        Project project;
        AddItem(project.AddPlc("Line_10"), op::MI, 0);
        frmConfigItems dialog;
        dialog.PrepareAddNewItems(project.config);
        dialog.show();
        dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dialog)); // completion works only in a window that has the focus
        auto* name = Find<QComboBox>(dialog, "cbPLC");
        name->setFocus();
        QVERIFY(name->lineEdit()->hasFocus());
        QTest::keyClicks(name->lineEdit(), typed);
        QCOMPARE(name->currentText(), typed);
        Choose(dialog, "cbOpType", op::MB);
        Type(dialog, "txtOpAddress", QStringLiteral("5"));
        Type(dialog, "txtLength", QStringLiteral("1"));
        Choose(dialog, "cbDirection", dir::Read);
        QCOMPARE(PressOk(dialog), QString());
        QVERIFY(dialog.ApplyToModel());

        const model::clsPlc* holder = nullptr;
        for (const auto& plc : project.config.colPlcs()) {
            if (plc->Name == target.toStdString()) {
                holder = plc.get();
            }
        }
        QVERIFY(holder != nullptr);
        QCOMPARE(holder->colItems().back()->OperandType, op::MB);
        QCOMPARE(project.config.colPlcs().size(), target == QLatin1String("Line_10") ? 1u : 2u);
    }

    void EditingAVectorMovesItsElements()
    {
        Project project;
        model::clsPlc& plc = project.AddPlc("Line_1");
        model::Clsitem& vector = AddItem(plc, op::MI, 10, 5);
        frmConfigItems dialog;
        QVERIFY(dialog.PrepareEditItem(project.config, plc.Key, vector.Key));
        QCOMPARE(Find<QLineEdit>(dialog, "txtLength")->text(), QStringLiteral("5"));
        QCOMPARE(Shown(dialog, "cbPLC"), QStringLiteral("Line_1"));
        Type(dialog, "txtOpAddress", QStringLiteral("20"));
        Choose(dialog, "cbOpType", op::SI);
        Choose(dialog, "cbDirection", dir::Write);
        Find<QCheckBox>(dialog, "ckEnable")->setChecked(false);

        QCOMPARE(PressOk(dialog), QString());
        QVERIFY(dialog.ApplyToModel());
        QCOMPARE(vector.OperandAddress, 20);
        for (std::size_t position = 0; position < 5; ++position) {
            const model::Clsitem& element = vector.colItems().at(position);
            QCOMPARE(element.OperandAddress, 20 + static_cast<int>(position));
            QCOMPARE(element.OperandType, op::SI);
            QCOMPARE(element.IoDirection, dir::Write);
            QVERIFY(!element.IsEnable);
        }
    }

    void CancelChangesNothing()
    {
        Project project;
        model::clsPlc& plc = project.AddPlc("Line_1");
        model::Clsitem& item = AddItem(plc, op::MI, 10);
        {
            frmConfigItems dialog;
            dialog.PrepareAddNewItems(project.config);
            FillItem(dialog, 0, op::MI, "1", "1", dir::Read);
            Find<QPushButton>(dialog, "cmdCancel")->click();
            QVERIFY(!dialog.OkFlag());
            QVERIFY(!dialog.ApplyToModel());
        }
        {
            frmConfigItems dialog;
            QVERIFY(dialog.PrepareEditItem(project.config, plc.Key, item.Key));
            Type(dialog, "txtOpAddress", QStringLiteral("99"));
            Choose(dialog, "cbBaudRate", 2400);
            dialog.reject(); // as closing the window does
            QVERIFY(!dialog.ApplyToModel());
        }
        QCOMPARE(project.config.colPlcs().size(), 1u);
        QCOMPARE(plc.colItems().size(), 1u);
        QCOMPARE(item.OperandAddress, 10);
        QCOMPARE(plc.GetCommParams(), model::CommParams {});
    }

    void TimeOutAndRetriesAreSerialSettings()
    {
        Project project;
        model::clsPlc& serial = project.AddPlc("Serial");
        AddItem(serial, op::MI, 0);
        model::clsPlc& tcp = project.AddPlc("Tcp", TcpParams("plc-7.local"));
        AddItem(tcp, op::MI, 0);
        for (model::clsPlc* plc : { &serial, &tcp }) {
            frmConfigItems dialog;
            QVERIFY(dialog.PrepareEditItem(project.config, plc->Key, plc->colItems().front()->Key));
            Choose(dialog, "cbRetries", 12);
            Choose(dialog, "cbTimeOut", 10000);
            QCOMPARE(PressOk(dialog), QString());
            QVERIFY(dialog.ApplyToModel());
        }
        QCOMPARE(serial.GetCommParams().NumRetries, 12);
        QCOMPARE(serial.GetCommParams().TimeOut, 10000);
        QCOMPARE(tcp.GetCommParams().NumRetries, 5);
        QCOMPARE(tcp.GetCommParams().TimeOut, 1000);
        QCOMPARE(tcp.GetCommParams().EthRemoteIP, std::string("plc-7.local")); // a host name stays one
    }

    void AStoredValueOutsideTheListsMustBeReplaced()
    {
        Project project;
        model::CommParams params;
        params.PlcType = 9;
        params.UnitId = 200;
        model::clsPlc& plc = project.AddPlc("Odd", params);
        AddItem(plc, op::MI, 0);
        frmConfigItems dialog;
        QVERIFY(dialog.PrepareEditItem(project.config, plc.Key, plc.colItems().front()->Key));
        QCOMPARE(Shown(dialog, "cbPLCType"), QStringLiteral("(unknown: 9)"));
        QCOMPARE(Shown(dialog, "cbUnitID"), QStringLiteral("(unknown: 200)"));
        Choose(dialog, "cbOpType", op::MI);

        QCOMPARE(PressOk(dialog),
                 QStringLiteral("PLC type 9 is not one this program knows; choose one from the list."));
        Choose(dialog, "cbPLCType", 5);
        Choose(dialog, "cbOpType", op::MI);
        QCOMPARE(PressOk(dialog),
                 QStringLiteral("Unit ID 200 is not one this program knows; choose one from the list."));
        Choose(dialog, "cbUnitID", 7);
        QCOMPARE(PressOk(dialog), QString());
        QVERIFY(dialog.ApplyToModel());
        QCOMPARE(plc.GetCommParams().PlcType, 5);
        QCOMPARE(plc.GetCommParams().UnitId, 7);
    }

    void RemotePortAndAddressAreCheckedForTcpIpOnly_data()
    {
        QTest::addColumn<int>("pathWay");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("message");
        const QString badPort = QStringLiteral("Remote Port must be a whole number from 0 to 65535.");
        const QString badAddress = QStringLiteral("Remote IP must be four numbers from 0 to 255, separated by dots.");
        const auto row = [](const char* name, int pathWay, const char* port, const char* address,
                            const QString& message) {
            QTest::newRow(name) << pathWay << QString::fromLatin1(port) << QString::fromLatin1(address) << message;
        };
        row("port 502", 2, "502", "10.0.0.1", {});
        row("port 65535", 2, "65535", "10.0.0.1", {});
        row("port 65536", 2, "65536", "10.0.0.1", badPort);
        row("port of letters", 2, "http", "10.0.0.1", badPort);
        row("negative port", 2, "-1", "10.0.0.1", badPort);
        row("fractional port", 2, "502.5", "10.0.0.1", badPort);
        row("incomplete address", 2, "502", "10.0.1", badAddress);
        row("serial ignores the Ethernet fields", 1, "http", "10.0.1", {});
    }

    void RemotePortAndAddressAreCheckedForTcpIpOnly()
    {
        QFETCH(int, pathWay);
        QFETCH(QString, port);
        QFETCH(QString, address);
        QFETCH(QString, message);
        Project project;
        frmConfigItems dialog;
        dialog.PrepareAddNewItems(project.config);
        FillItem(dialog, 0, op::MI, "1", "1", dir::Read);
        Choose(dialog, "cbConnectionType", pathWay);
        Type(dialog, "txtRemotePort", port);
        Type(dialog, "ctIpCOnfig", address);
        QCOMPARE(PressOk(dialog), message);
        QCOMPARE(dialog.ApplyToModel(), message.isEmpty());
    }

    void ANewPlcWhoseItemCannotBeAddedIsNotAdded()
    {
        Project project;
        QVERIFY(project.labels.Load(model::LabelArray::kMaxIndex)); // no label left after it
        frmConfigItems dialog;
        dialog.PrepareAddNewItems(project.config);
        FillItem(dialog, 0, op::MI, "1", "1", dir::Read);
        QCOMPARE(PressOk(dialog), QString());
        test::ModalAnswerer answerer;
        answerer.PressOnMessageBox(QMessageBox::Ok);
        QVERIFY(!dialog.ApplyToModel());
        QCOMPARE(answerer.Messages().size(), 1u);
        QVERIFY(answerer.Messages().front().text.startsWith(QStringLiteral("The item could not be added")));
        QVERIFY(project.config.colPlcs().empty());
    }
};

QTEST_MAIN(frmConfigItemsTest)
#include "frmConfigItemsTest.moc"
