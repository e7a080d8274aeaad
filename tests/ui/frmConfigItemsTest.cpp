#include "UiTestTools.h"

#include "common/OperandCatalogue.h"
#include "model/clsConfig.h"
#include "ui/frmConfigItems.h"

#include "app/ConnectionTest.h"
#include "comm/modbus/ModbusDriver.h"
#include "support/ModbusPeers.h"
#include "support/ScriptedServer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTest>

#include <algorithm>
#include <future>
#include <tuple>

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

/// Data bits, parity and stop bits as shown, such as "8 None 1".
QString Framing(QWidget& window)
{
    return Shown(window, "cbDataBits") + " " + Shown(window, "cbParity") + " " + Shown(window, "cbStopBits");
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

/// Fills the item fields of a dialog whose PLC is chosen already: an MB at 5, read.
void FillMbItem(frmConfigItems& dialog)
{
    Choose(dialog, "cbOpType", op::MB);
    Type(dialog, "txtOpAddress", QStringLiteral("5"));
    Type(dialog, "txtLength", QStringLiteral("1"));
    Choose(dialog, "cbDirection", dir::Read);
}

/// The Define PLC dialog over an empty project.
struct NewPlcDialog
{
    explicit NewPlcDialog(app::ConnectionTester tester = {})
        : dialog(nullptr, std::move(tester))
    {
        dialog.PrepareAddNewItems(project.config);
    }

    Project project;
    frmConfigItems dialog;
};

/// Why OK is disabled, as the dialog says it beside the button and in its tooltip; empty when it is enabled.
QString OkHint(frmConfigItems& dialog)
{
    auto* ok = Find<QPushButton>(dialog, "cmdOK");
    const QString hint = Find<QLabel>(dialog, "lblOkHint")->text();
    if (ok->toolTip() != hint || ok->isEnabled() != hint.isEmpty()) {
        return QStringLiteral("OK, its tooltip and the hint disagree: ") + hint;
    }
    return hint;
}

/// A new MI at 1 on an Orbis-A PLC over TCP/IP at 127.0.0.1:port, unit 1.
void FillTcpPlc(frmConfigItems& dialog, int port)
{
    FillItem(dialog, 0, op::MI, QStringLiteral("1"), QStringLiteral("1"), dir::Read);
    Choose(dialog, "cbConnectionType", static_cast<int>(model::PathWay::TcpIp));
    Choose(dialog, "cbUnitID", 1);
    Type(dialog, "ctIpCOnfig", QStringLiteral("127.0.0.1"));
    Type(dialog, "txtRemotePort", QString::number(port));
}

/// A loopback port that nobody listens on.
int ClosedPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost)) {
        qFatal("no free loopback port");
    }
    return server.serverPort();
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
        const auto row = [](const char* name, int plcType, int operandType, const char* start, const char* length,
                            int direction, const QString& message) {
            QTest::newRow(name) << plcType << operandType << QString::fromLatin1(start) << QString::fromLatin1(length)
                                << direction << message;
        };
        // The rules themselves are tested in the core (ItemRulesTest); here, that OK shows their refusals and
        // reads the choices and texts the rules are given.
        row("DW on Q40", 1, op::DW, "0", "1", dir::Read, "Q40 does not supports the selected Operand type.");
        row("T (Current) read/write on Q40", 2, op::TCurrent, "0", "1", dir::ReadWrite,
            "Timers cannot be writen in Q40.");
        row("MB 8191 x 2 on Orbis-A", 0, op::MB, "8191", "2", dir::Read,
            "Operand address is not legal. Address 0\u20138191 for MB on this PLC type.");
        row("T (Current) read/write on Orbis-A accepted", 0, op::TCurrent, "0", "1", dir::ReadWrite, {});
        row("length 50 accepted", 0, op::MI, "0", "50", dir::Read, {});
    }

    void ValidationRulesAndTheirMessages()
    {
        QFETCH(int, plcType);
        QFETCH(int, operandType);
        QFETCH(QString, start);
        QFETCH(QString, length);
        QFETCH(int, direction);
        QFETCH(QString, message);
        NewPlcDialog fresh;
        FillItem(fresh.dialog, plcType, operandType, start, length, direction);

        QCOMPARE(PressOk(fresh.dialog), message);
        QCOMPARE(fresh.dialog.OkFlag(), message.isEmpty());
        QCOMPARE(fresh.dialog.ApplyToModel(), message.isEmpty());
        QCOMPARE(fresh.project.config.colPlcs().size(), message.isEmpty() ? 1u : 0u);
    }

    void ChoosingAPlcTypeSetsItsFramingAndOperandsAndEmptiesTheOperandChoice()
    {
        NewPlcDialog fresh;
        frmConfigItems& dialog = fresh.dialog;
        FillItem(dialog, 5, op::MI, "1", "1", dir::Read);
        auto* ok = Find<QPushButton>(dialog, "cmdOK");
        auto* operands = Find<QComboBox>(dialog, "cbOpType");
        QVERIFY(ok->isEnabled());
        // The type; whether it has X operands (the last four of the list); the framing it sets.
        const std::tuple<int, bool, const char*> types[] { { 0, true, "8 None 1" },
                                                           { 3, true, "8 None 1" },
                                                           { 4, false, "8 None 1" },
                                                           { 1, false, "7 Even 1" },
                                                           { 2, false, "8 None 1" } };
        for (const auto& [plcType, xOperands, framing] : types) {
            Choose(dialog, "cbParity", 1);
            Choose(dialog, "cbStopBits", 2);
            Choose(dialog, "cbPLCType", plcType);
            QCOMPARE(Framing(dialog), QString::fromLatin1(framing));
            QCOMPARE(operands->count(), xOperands ? 21 : 17);
            QCOMPARE(operands->itemText(operands->count() - 1), QString::fromLatin1(xOperands ? "XDW" : "C (Bit)"));
            QCOMPARE(operands->currentIndex(), -1);
            QVERIFY(!ok->isEnabled());
            Choose(dialog, "cbOpType", op::MI);
            QVERIFY(ok->isEnabled());
        }
    }

    void EditingShowsTheStoredPlcAndMovesAVectorsElements()
    {
        Project project;
        model::CommParams params;
        params.SerialBaudRate = 9600;
        params.Parity = 1;
        params.StopBits = 2;
        params.SerialComPort = 4;
        params.PlcType = 1;
        model::clsPlc& plc = project.AddPlc("Mixer", params);
        model::Clsitem& vector = AddItem(plc, op::MI, 10, 5);
        frmConfigItems dialog;
        QVERIFY(dialog.PrepareEditItem(project.config, plc.Key, vector.Key));
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Edit item \u2013 lblDDE(1) to lblDDE(5) of Mixer"));
        QCOMPARE(Framing(dialog), QStringLiteral("8 Odd 2")); // the stored one, not the type's
        QCOMPARE(Shown(dialog, "cbBaudRate"), QStringLiteral("9600"));
        QCOMPARE(Shown(dialog, "cbPCPort"), QStringLiteral("COM 4"));
        QCOMPARE(Shown(dialog, "cbPLC"), QStringLiteral("Mixer"));
        QCOMPARE(Shown(dialog, "cbOpType"), QStringLiteral("MI"));
        QCOMPARE(Find<QLineEdit>(dialog, "txtOpAddress")->text(), QStringLiteral("10"));
        QCOMPARE(Find<QLineEdit>(dialog, "txtLength")->text(), QStringLiteral("5"));
        QVERIFY(!Find<QComboBox>(dialog, "cbPLC")->isEnabled());
        QVERIFY(!Find<QLineEdit>(dialog, "txtLength")->isEnabled());
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

    void DefineANewPlc()
    {
        NewPlcDialog fresh;
        frmConfigItems& dialog = fresh.dialog;
        FillItem(dialog, 3, op::MI, "10", "3", dir::ReadWrite);
        Find<QCheckBox>(dialog, "ckEnable")->setChecked(false);
        Choose(dialog, "cbUnitID", 70);
        QCOMPARE(Shown(dialog, "cbUnitID"), QStringLiteral("70   (RS485)"));
        Choose(dialog, "cbConnectionType", 2);
        QVERIFY(Find<QGroupBox>(dialog, "fSerial")->isHidden());
        QVERIFY(!Find<QGroupBox>(dialog, "fEthernet")->isHidden());
        Type(dialog, "ctIpCOnfig", QStringLiteral("10.0.0.5"));
        Type(dialog, "txtRemotePort", QStringLiteral("502"));
        QCOMPARE(Find<QLineEdit>(dialog, "txtScanMs")->text(), QStringLiteral("100")); // a new PLC's interval
        Find<QLineEdit>(dialog, "txtScanMs")->setText(QStringLiteral("1 s"));
        QVERIFY(PressOk(dialog).startsWith(QStringLiteral("Scan every must be a whole number of milliseconds")));
        Find<QLineEdit>(dialog, "txtScanMs")->setText(QStringLiteral("250"));

        QCOMPARE(PressOk(dialog), QString());
        QVERIFY(dialog.ApplyToModel());
        QCOMPARE(fresh.project.config.colPlcs().size(), 1u);
        const model::clsPlc& plc = *fresh.project.config.colPlcs().front();
        QCOMPARE(plc.Name, std::string("Line_9"));
        // The new PLC's serial defaults stay as they were; the scan interval is the one typed.
        const model::CommParams expected { .PathWay = model::PathWay::TcpIp,
                                           .UnitId = 70,
                                           .EthRemoteIP = "10.0.0.5",
                                           .EthRemotePort = 502,
                                           .PlcType = 3,
                                           .ScanMs = 250 };
        QVERIFY(plc.GetCommParams() == expected);
        QCOMPARE(plc.colItems().size(), 1u);
        const model::Clsitem& item = *plc.colItems().front();
        QVERIFY(item.IsArray);
        QCOMPARE(item.colItems().size(), 3u);
        QCOMPARE(item.colItems().at(2).OperandAddress, 12);
        QCOMPARE(item.IoDirection, dir::ReadWrite);
        QVERIFY(!item.IsEnable);
        QVERIFY(fresh.project.labels.IsLoaded(3));
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
        Find<QComboBox>(dialog, "cbPLC")->setCurrentIndex(0);
        QCOMPARE(Shown(dialog, "cbBaudRate"), QStringLiteral("9600"));
        QCOMPARE(Shown(dialog, "cbRetries"), QStringLiteral("5"));
        Choose(dialog, "cbBaudRate", 19200);
        FillMbItem(dialog);

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
        QTest::newRow("a prefix of an existing name") << "Line_1";
        QTest::newRow("another letter case") << "line_10";
        QTest::newRow("an existing name in full") << "Line_10";
    }

    void ATypedNameIsTakenLetterForLetter()
    {
        QFETCH(QString, typed);
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
        FillMbItem(dialog);
        QCOMPARE(PressOk(dialog), QString());
        QVERIFY(dialog.ApplyToModel());

        const auto& plcs = project.config.colPlcs();
        const auto holder
            = std::find_if(plcs.begin(), plcs.end(), [&](const auto& plc) { return plc->Name == typed.toStdString(); });
        QVERIFY(holder != plcs.end());
        QCOMPARE((*holder)->colItems().back()->OperandType, op::MB);
        QCOMPARE(plcs.size(), typed == QLatin1String("Line_10") ? 1u : 2u);
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
        model::clsPlc& tcp = project.AddPlc("Tcp",
                                            { .PathWay = model::PathWay::TcpIp,
                                              .TimeOut = 1000,
                                              .NumRetries = 5,
                                              .EthRemoteIP = "plc-7.local",
                                              .EthRemotePort = 502 });
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
        params.UnitId = 200;
        params.PlcType = 9;
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
        const auto row = [](const char* name, int pathWay, const char* port, const char* address,
                            const QString& message) {
            QTest::newRow(name) << pathWay << QString::fromLatin1(port) << QString::fromLatin1(address) << message;
        };
        row("port 65535", 2, "65535", "10.0.0.1", {});
        row("incomplete address", 2, "502", "10.0.1",
            "Remote IP must be four numbers from 0 to 255, separated by dots.");
        row("serial ignores the Ethernet fields", 1, "http", "10.0.1", {});
    }

    void RemotePortAndAddressAreCheckedForTcpIpOnly()
    {
        QFETCH(int, pathWay);
        QFETCH(QString, port);
        QFETCH(QString, address);
        QFETCH(QString, message);
        NewPlcDialog fresh;
        FillItem(fresh.dialog, 0, op::MI, "1", "1", dir::Read);
        Choose(fresh.dialog, "cbConnectionType", pathWay);
        Type(fresh.dialog, "txtRemotePort", port);
        Type(fresh.dialog, "ctIpCOnfig", address);
        QCOMPARE(PressOk(fresh.dialog), message);
        QCOMPARE(fresh.dialog.ApplyToModel(), message.isEmpty());
    }

    void AValueThatDoesNotFitIsMarkedWhereItIsTyped_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("problem");
        QTest::addColumn<QString>("fitting");
        const auto row = [](const char* field, const char* typed, const char* problem, const char* fitting) {
            QTest::newRow(typed) << QString::fromLatin1(field) << QString::fromLatin1(typed)
                                 << QString::fromUtf8(problem) << QString::fromLatin1(fitting);
        };
        row("ctIpCOnfig", "300.1.2.3", "Each part of an IP address is 0\u2013255", "30.1.2.3");
        row("txtOpAddress", "70000", "Address 0\u20134095 for MI on this PLC type", "4095");
        row("txtRemotePort", "0", "Port 1\u201365535", "1");
        row("txtRemotePort", "99999", "Port 1\u201365535", "65535");
        row("txtLength", "51", "Length 1\u201350", "50");
    }

    void AValueThatDoesNotFitIsMarkedWhereItIsTyped()
    {
        QFETCH(QString, field);
        QFETCH(QString, typed);
        QFETCH(QString, problem);
        QFETCH(QString, fitting);
        NewPlcDialog fresh;
        FillTcpPlc(fresh.dialog, 502);
        fresh.dialog.show();
        auto* edit = Find<QLineEdit>(fresh.dialog, field.toLatin1().constData());
        QCOMPARE(OkHint(fresh.dialog), QString());

        edit->clear();
        QTest::keyClicks(edit, typed);
        QCOMPARE(edit->text(), typed); // kept as typed, nothing cut off
        QCOMPARE(edit->toolTip(), problem);
        QVERIFY(!edit->styleSheet().isEmpty());
        QCOMPARE(OkHint(fresh.dialog), problem);

        edit->setText(fitting);
        QCOMPARE(edit->toolTip(), QString());
        QVERIFY(edit->styleSheet().isEmpty());
        QCOMPARE(OkHint(fresh.dialog), QString());
    }

    void ADisabledOkSaysWhatIsMissingAndANewTcpPlcProposesPort502()
    {
        NewPlcDialog fresh;
        frmConfigItems& dialog = fresh.dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Define PLC"));
        const std::pair<std::function<void()>, const char*> steps[] {
            { [] {}, "Give the PLC a name" },
            { [&] { Find<QComboBox>(dialog, "cbPLC")->setEditText(QStringLiteral("Line_9")); },
              "Choose an operand type" },
            { [&] { Choose(dialog, "cbOpType", op::MI); }, "Give the start address" },
            { [&] { Type(dialog, "txtOpAddress", QStringLiteral("7")); }, "Give the length" },
            { [&] { Type(dialog, "txtLength", QStringLiteral("1")); }, "Choose a direction" },
            { [&] { Choose(dialog, "cbDirection", dir::Read); }, "" },
            { [&] { Type(dialog, "txtRemotePort", QString()); }, "" }, // a serial PLC has no port
            { [&] { Choose(dialog, "cbConnectionType", static_cast<int>(model::PathWay::TcpIp)); },
              "Give the remote port" },
        };
        for (const auto& [step, hint] : steps) {
            step();
            QCOMPARE(OkHint(dialog), QString::fromLatin1(hint));
        }

        NewPlcDialog another;
        Choose(another.dialog, "cbConnectionType", static_cast<int>(model::PathWay::TcpIp));
        QCOMPARE(Find<QLineEdit>(another.dialog, "txtRemotePort")->text(), QStringLiteral("502"));
    }

    void TestConnectionRunsAwayFromTheWindow()
    {
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::promise<model::CommParams> tried;
        NewPlcDialog fresh([&tried, released](const model::CommParams& params) {
            tried.set_value(params);
            released.wait();
            return app::ConnectionTestResult { true, "the fake answered" };
        });
        FillTcpPlc(fresh.dialog, 5020);
        auto* test = Find<QPushButton>(fresh.dialog, "cmdTestConnection");
        auto* result = Find<QLabel>(fresh.dialog, "lblTestResult");
        test->click();

        // While the attempt hangs, the window takes its events.
        QVERIFY(!test->isEnabled());
        QCOMPARE(result->text(), QStringLiteral("Testing\u2026"));
        bool turned = false;
        QTimer::singleShot(0, [&turned] { turned = true; });
        QTRY_VERIFY(turned);
        QCOMPARE(result->text(), QStringLiteral("Testing\u2026"));
        const model::CommParams params = tried.get_future().get();
        QCOMPARE(params.EthRemoteIP, std::string("127.0.0.1"));
        QCOMPARE(params.EthRemotePort, 5020);
        QCOMPARE(params.UnitId, 1);

        release.set_value();
        QTRY_VERIFY(test->isEnabled());
        QCOMPARE(result->text(), QStringLiteral("the fake answered"));
    }

    void TestConnectionTriesTheParametersAsEntered_data()
    {
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QString>("said");
        QTest::newRow("the simulator") << "simulator"
                                       << "Connected to 127.0.0.1:%1, unit 1: the PLC answered";
        // A device need not have the register probed: its exception answer says it is there.
        QTest::newRow("an exception answer") << "exception"
                                             << "Connected to 127.0.0.1:%1, unit 1: the PLC answered";
        QTest::newRow("a closed port") << "none"
                                       << "No answer from 127.0.0.1:%1 within 6000 ms: ";
    }

    void TestConnectionTriesTheParametersAsEntered()
    {
        QFETCH(QString, peer);
        QFETCH(QString, said);
        std::optional<test::SimulatorProcess> plc;
        std::optional<test::ScriptedServer> device;
        int port = 0;
        if (peer == QStringLiteral("simulator")) {
            port = plc.emplace().Port();
        } else if (peer == QStringLiteral("exception")) {
            port = device.emplace(test::ScriptedServer::Behaviour::ExceptionAnswer).Port();
        } else {
            port = ClosedPort();
        }
        NewPlcDialog fresh(app::MakeConnectionTester([](const model::clsPlc& source) {
            return std::make_shared<comm::modbus::ModbusDriver>(comm::modbus::OperandMap {}, source.Params().PlcType);
        }));
        FillTcpPlc(fresh.dialog, port);
        auto* test = Find<QPushButton>(fresh.dialog, "cmdTestConnection");
        test->click();
        QTRY_VERIFY_WITH_TIMEOUT(test->isEnabled(), 8000);
        const QString text = Find<QLabel>(fresh.dialog, "lblTestResult")->text();
        QVERIFY2(text.startsWith(said.arg(port)), qPrintable(text));
    }

    void ANewPlcWhoseItemCannotBeAddedIsNotAdded()
    {
        NewPlcDialog fresh;
        QVERIFY(fresh.project.labels.Load(model::LabelArray::kMaxIndex)); // no label left after it
        FillItem(fresh.dialog, 0, op::MI, "1", "1", dir::Read);
        QCOMPARE(PressOk(fresh.dialog), QString());
        test::ModalAnswerer answerer;
        answerer.PressOnMessageBox(QMessageBox::Ok);
        QVERIFY(!fresh.dialog.ApplyToModel());
        QCOMPARE(answerer.Messages().size(), 1u);
        QVERIFY(answerer.Messages().front().text.startsWith(QStringLiteral("The item could not be added")));
        QVERIFY(fresh.project.config.colPlcs().empty());
    }
};

QTEST_MAIN(frmConfigItemsTest)
#include "frmConfigItemsTest.moc"
