#include "UiTestTools.h"

#include "app/AuditTrail.h"
#include "app/Program.h"
#include "common/OperandCatalogue.h"
#include "mqtt/MqttBridge.h"
#include "storage/ProjectDatabase.h"
#include "ui/EventsPane.h"
#include "ui/ItemGrid.h"
#include "ui/RunStatus.h"
#include "ui/TrendWindow.h"
#include "ui/frmMain.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QTcpServer>
#include <QTest>
#include <QToolBar>

#include <fstream>

using namespace tavrel;
using ui::frmMain;
using ui::ItemGrid;
namespace op = common::operand;
namespace dir = common::direction;

namespace {

const QStringList kRowTools { "ID_DeleteItem", "ID_CopyReadCommand", "ID_CopyWriteMacro", "ID_CopyStopPlcMacro",
                              "ID_CopyRunPlcMacro" };
const QStringList kProjectTools { "ID_Refresh", "ID_Run", "ID_CopyRunStopDDE" };

/// The window over a program with PLC Line_1 (a single MI on lblDDE(9), a vector of three MI on lblDDE(5..7))
/// and PLC Line_2 (a single MB on lblDDE(20)). Rows: L S p H p E E E L S.
class Fixture
{
public:
    explicit Fixture(bool withProject = true)
    {
        if (withProject) {
            model::clsConfig& project = under.program.Project();
            model::clsPlc& line1 = test::AddPlc(project, "Line_1");
            test::AddItem(line1, op::MI, 10, 1, 9, dir::ReadWrite);
            test::AddItem(line1, op::MI, 0, 3, 5, dir::ReadWrite);
            test::AddItem(test::AddPlc(project, "Line_2"), op::MB, 1, 1, 20, dir::ReadWrite);
        }
        window = std::make_unique<frmMain>(under.program);
    }

    QAction* Tool(const char* name, const char* band = "barMain") const
    {
        QAction* tool = window->Tool(QString::fromLatin1(band), QString::fromLatin1(name));
        if (tool == nullptr) {
            qFatal("no tool %s in %s", name, band);
        }
        return tool;
    }

    QStringList EnabledTools(const char* band) const
    {
        QStringList enabled;
        const QList<QAction*> tools = QString::fromLatin1(band) == QLatin1String("barMain")
            ? window->findChild<QToolBar*>(QStringLiteral("barMain"))->actions()
            : window->Band(QString::fromLatin1(band))->actions();
        for (QAction* tool : tools) {
            if (!tool->isSeparator() && tool->isEnabled() && tool->isVisible()) {
                enabled << tool->objectName();
            }
        }
        return enabled;
    }

    ItemGrid& Grid() const { return window->Grid(); }

    test::ProgramUnderTest under;
    std::unique_ptr<frmMain> window;
};

QString Clipboard()
{
    return QGuiApplication::clipboard()->text();
}

} // namespace

class frmMainTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QGuiApplication::clipboard()->setText(QStringLiteral("before")); }

    void CommandStatesFollowTheProjectAndTheRow_data()
    {
        QTest::addColumn<bool>("withProject");
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("projectTools");
        QTest::addColumn<bool>("rowTools");
        QTest::newRow("empty project") << false << -1 << false << false;
        QTest::newRow("PLCs, no current row") << true << -1 << true << false;
        QTest::newRow("a single item") << true << 1 << true << true;
        QTest::newRow("a vector element") << true << 6 << true << true;
    }

    void CommandStatesFollowTheProjectAndTheRow()
    {
        QFETCH(bool, withProject);
        QFETCH(int, row);
        QFETCH(bool, projectTools);
        QFETCH(bool, rowTools);
        Fixture fixture(withProject);
        fixture.Grid().SetCurrentItemRow(row);
        for (const QString& name : kProjectTools) {
            QCOMPARE(fixture.Tool(qPrintable(name))->isEnabled(), projectTools);
        }
        for (const QString& name : kRowTools) {
            QCOMPARE(fixture.Tool(qPrintable(name))->isEnabled(), rowTools);
        }
        QVERIFY(fixture.Tool("ID_New")->isEnabled());
    }

    void ARunLeavesOnlyStopAndTheToggleMacro()
    {
        Fixture fixture;
        fixture.window->show();
        fixture.Grid().SetCurrentItemRow(1);
        fixture.window->RunTool(QStringLiteral("ID_Run"));
        QVERIFY(fixture.under.program.IsRunning());
        QCOMPARE(fixture.Tool("ID_Run")->text(), QStringLiteral("Stop"));
        QCOMPARE(fixture.Tool("ID_Run", "popConnaction")->text(), QStringLiteral("Stop"));
        QVERIFY(!fixture.Tool("ID_Run", "popConnaction")->isChecked()); // a caption, not a ticked entry
        auto* toolbar = fixture.window->findChild<QToolBar*>(QStringLiteral("barMain"));
        QCOMPARE(toolbar->toggleViewAction()->text(), QStringLiteral("Toolbar")); // as its context menu shows it
        QVERIFY(!fixture.Tool("ID_Run")->isEnabled()); // until the first pass is over
        QVERIFY(test::WaitFor([&] { return fixture.Tool("ID_Run")->isEnabled(); }));

        QCOMPARE(fixture.EnabledTools("barMain"), (QStringList { "ID_CopyRunStopDDE", "ID_Run" }));
        QCOMPARE(fixture.EnabledTools("popFile"), QStringList());
        QVERIFY(!fixture.window->close());
        QVERIFY(fixture.window->isVisible());
        fixture.window->RunTool(QStringLiteral("ID_New")); // refused while running
        QCOMPARE(fixture.under.program.Project().colPlcs().size(), 2u);

        fixture.window->RunTool(QStringLiteral("ID_Run"));
        QVERIFY(!fixture.under.program.IsRunning());
        QCOMPARE(fixture.Tool("ID_Run")->text(), QStringLiteral("Run"));
        QCOMPARE(fixture.EnabledTools("popFile").size(), 6);
        for (const QString& name : kRowTools + kProjectTools) {
            QVERIFY2(fixture.Tool(qPrintable(name))->isEnabled(), qPrintable(name));
        }
        QVERIFY(fixture.window->close());
    }

    void AClickDuringTheFirstPassIsNotActedOn()
    {
        Fixture fixture;
        fixture.window->show();
        // A slow first pass: the user clicks Run again while it goes on.
        int clicks = 0;
        fixture.under.script.FillBinaryMix = [&](std::vector<common::BinaryMixEntry>&) {
            if (clicks++ == 0) {
                QTimer::singleShot(0, fixture.window.get(), [&] { fixture.Tool("ID_Run")->trigger(); });
            }
        };
        fixture.window->RunTool(QStringLiteral("ID_Run"));
        QVERIFY(test::WaitFor([&] { return clicks >= 3; }));
        QVERIFY(fixture.under.program.IsRunning());
        QCOMPARE(fixture.Tool("ID_Run")->text(), QStringLiteral("Stop"));
        fixture.Tool("ID_Run")->trigger();
        QVERIFY(!fixture.under.program.IsRunning());
    }

    void ARemoteRunWaitsForTheDefinePlcDialog()
    {
        Fixture fixture;
        fixture.window->show();
        test::ModalAnswerer answerer;
        answerer.Then([&](QWidget* dialog) {
            (void)fixture.under.program.Service().Execute({}, "Tavrel_RUN/STOP");
            dialog->findChild<QPushButton*>(QStringLiteral("cmdCancel"))->click();
        });
        fixture.window->RunTool(QStringLiteral("ID_AddNewItem"));
        QCOMPARE(answerer.Pending(), 0u);
        QVERIFY(!fixture.under.program.IsRunning());
        QCOMPARE(fixture.window->statusBar()->currentMessage(),
                 QStringLiteral("Run/stop not acted on: a dialog that changes the project is open."));
    }

    void ARefreshGivesTheToolsBack()
    {
        Fixture fixture;
        fixture.under.script.Clear();
        bool disabledDuringRefresh = false;
        connect(&fixture.under.program, &app::Program::projectChanged, this,
                [&] { disabledDuringRefresh = !fixture.Tool("ID_New")->isEnabled(); });
        fixture.window->RunTool(QStringLiteral("ID_Refresh"));
        QVERIFY(disabledDuringRefresh);
        QVERIFY(!fixture.under.script.Calls(false).empty());
        QVERIFY(!fixture.under.program.IsRunning());
        QCOMPARE(fixture.Tool("ID_Run")->text(), QStringLiteral("Run"));
        QCOMPARE(fixture.EnabledTools("popFile").size(), 6);
        QVERIFY(fixture.Tool("ID_Refresh")->isEnabled());
        QVERIFY(!fixture.Tool("ID_DeleteItem")->isEnabled()); // still no current row
    }

    void WhileRunningValuesArriveAndTheStatusBarTellsTheRunsHealth()
    {
        Fixture fixture;
        fixture.under.script.FillBinaryMix = [](std::vector<common::BinaryMixEntry>& entries) {
            for (auto& entry : entries) {
                for (auto& value : entry.Values) {
                    value.LongValue = 1;
                }
            }
        };
        ui::RunStatus& status = fixture.window->Status();
        QVERIFY(!status.isVisibleTo(fixture.window.get()));
        status.AddPart([] { return QStringLiteral("link clients 3"); });
        status.AddPart([] { return QString(); });
        fixture.window->RunTool(QStringLiteral("ID_Run"));
        QVERIFY(status.isVisibleTo(fixture.window.get()));
        QVERIFY(
            test::WaitFor([&] { return fixture.Grid().item(1, ItemGrid::kColValue)->text() == QStringLiteral("1"); }));
        QCOMPARE(fixture.Grid().item(9, ItemGrid::kColValue)->text(), QStringLiteral("1"));
        QVERIFY(test::WaitFor([&] { return fixture.under.program.PassCount() >= 2; }));
        status.Renew();
        QVERIFY2(status.text().contains(QStringLiteral("PLCs connected 2/2")), qPrintable(status.text()));
        QVERIFY(status.text().contains(QStringLiteral(" passes/s")));
        QVERIFY(status.text().contains(QStringLiteral("last pass ")));
        QVERIFY(status.text().endsWith(QStringLiteral("|  link clients 3")));

        fixture.under.script.Always("ReadBinaryMix", test::DriverAnswer::Fails());
        QVERIFY(test::WaitFor([&] {
            return fixture.Grid().item(9, ItemGrid::kColValue)->foreground().color() == ItemGrid::kStaleValue;
        }));
        QCOMPARE(fixture.Grid().item(9, ItemGrid::kColValue)->text(), QStringLiteral("1")); // the last value kept
        QVERIFY(fixture.Grid().item(9, ItemGrid::kColCommParams)->text().endsWith(QStringLiteral(" (NOT CONNECTED)")));
        QVERIFY(fixture.window->statusBar()->currentMessage().contains(QStringLiteral(" is not connected: ")));
        QVERIFY(fixture.window->Events().Lines().front().contains(QStringLiteral("PLC 'Line_2' not connected: ")));
        QVERIFY(fixture.window->Events().Lines().front().contains(QStringLiteral("next try in ")));
        status.Renew();
        QVERIFY2(status.text().contains(QStringLiteral("PLCs connected 0/2")), qPrintable(status.text()));
        // Every PLC down: no pass comes until a reconnect is due, and the rate says so rather than the last one.
        QVERIFY2(test::WaitFor([&] { return status.text().startsWith(QStringLiteral("0.0 passes/s")); }),
                 qPrintable(status.text()));

        QVERIFY(test::WaitFor([&] { return fixture.under.program.IsRunToolEnabled(); }));
        fixture.window->RunTool(QStringLiteral("ID_Run"));
        QVERIFY(!fixture.under.program.IsRunning());
        QVERIFY(!status.isVisibleTo(fixture.window.get()));
    }

    void ClipboardTextsOfEachRowKind_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QString>("text");
        const QString crlf = QStringLiteral("\r\n");
        QTest::newRow("single item: one formula") << 1 << "ID_CopyReadCommand"
                                                  << "=Tavrel|Items!'lblDDE(9)'";
        QTest::newRow("vector header: a line per element") << 3 << "ID_CopyReadCommand"
                                                           << "=Tavrel|Items!'lblDDE(5)'" + crlf
                + "=Tavrel|Items!'lblDDE(6)'" + crlf + "=Tavrel|Items!'lblDDE(7)'" + crlf;
        QTest::newRow("element: its own formula") << 6 << "ID_CopyReadCommand"
                                                  << "=Tavrel|Items!'lblDDE(6)'";
        QTest::newRow("element: its own write block") << 7 << "ID_CopyWriteMacro"
                                                      << "DDE Name: lblDDE(7)" + crlf;
        QTest::newRow("stop macro of the row's PLC") << 9 << "ID_CopyStopPlcMacro"
                                                     << "\"Line_2_STOP\"" + crlf;
        QTest::newRow("run macro of an element's PLC") << 5 << "ID_CopyRunPlcMacro"
                                                       << "\"Line_1_RUN\"" + crlf;
        QTest::newRow("toggle macro without a row") << -1 << "ID_CopyRunStopDDE"
                                                    << "\"Tavrel_RUN/STOP\"" + crlf;
        QTest::newRow("a row command without a row does nothing") << -1 << "ID_CopyReadCommand"
                                                                  << "before";
    }

    void ClipboardTextsOfEachRowKind()
    {
        QFETCH(int, row);
        QFETCH(QString, tool);
        QFETCH(QString, text);
        Fixture fixture;
        fixture.Grid().SetCurrentItemRow(row);
        fixture.Tool(qPrintable(tool), "popItem")->trigger();
        if (tool == QLatin1String("ID_CopyReadCommand")) {
            QCOMPARE(Clipboard(), text); // formulas exactly; the macros' own texts are the link library's
        } else {
            QVERIFY2(Clipboard().contains(text), qPrintable(Clipboard()));
            QCOMPARE(Clipboard().count(QStringLiteral("Dim lchannelNumber")), 1);
        }
    }

    void ARightClickRewritesThePopUpCaptions()
    {
        Fixture fixture;
        fixture.window->resize(1000, 500);
        fixture.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(fixture.window.get()));
        ItemGrid& grid = fixture.Grid();
        QTest::mouseClick(grid.viewport(), Qt::RightButton, {}, test::CellCentre(grid, 6, ItemGrid::kColAddress));

        QMenu* menu = fixture.window->Band(QStringLiteral("popItem"));
        QVERIFY(menu->isVisible());
        QStringList captions;
        for (QAction* tool : menu->actions()) {
            captions << tool->text();
        }
        QCOMPARE(
            captions,
            (QStringList { "Write Value...", "Trend...", "", "Copy Read Command: 'lblDDE(6)' to Clipboard",
                           "Copy Write Macro: 'lblDDE(6)' to Clipboard", "Copy Stop 'Line_1' PLC Macro to Clipboard",
                           "Copy Run 'Line_1' PLC Macro to Clipboard", "Copy Run/Stop Toggle Macro to Clipboard" }));
        QVERIFY(!menu->actions().front()->isEnabled()); // written only while running
        QCOMPARE(grid.CurrentItemRow(), 6);
        QCOMPARE(fixture.Tool("ID_CopyReadCommand")->text(), QStringLiteral("Copy Read Command to Clipboard"));
        menu->hide();
    }

    void DeleteAsksThenRemoves_data()
    {
        QTest::addColumn<int>("row");
        QTest::addColumn<bool>("yes");
        QTest::addColumn<QString>("kindsAfter");
        QTest::addColumn<QList<int>>("labelsGone");
        QTest::newRow("single item") << 1 << true << "LpHpEEELS" << QList<int> { 9 };
        QTest::newRow("vector header: the whole vector") << 3 << true << "LSLS" << QList<int> { 5, 6, 7 };
        QTest::newRow("element: the whole vector") << 6 << true << "LSLS" << QList<int> { 5, 6, 7 };
        QTest::newRow("last item of a PLC: the PLC too") << 9 << true << "LSpHpEEE" << QList<int> { 20 };
        QTest::newRow("No keeps everything") << 6 << false << "LSpHpEEELS" << QList<int> {};
    }

    void DeleteAsksThenRemoves()
    {
        QFETCH(int, row);
        QFETCH(bool, yes);
        QFETCH(QString, kindsAfter);
        QFETCH(QList<int>, labelsGone);
        Fixture fixture;
        fixture.Grid().SetCurrentItemRow(row);
        test::ModalAnswerer answerer;
        answerer.PressOnMessageBox(yes ? QMessageBox::Yes : QMessageBox::No);
        fixture.window->RunTool(QStringLiteral("ID_DeleteItem"));

        QCOMPARE(answerer.Messages().size(), 1u);
        QCOMPARE(answerer.Messages().front().text,
                 QStringLiteral("Are you sure you want to delete the selected item?"));
        QCOMPARE(answerer.Messages().front().icon, QMessageBox::Question);
        QCOMPARE(test::RowKinds(fixture.Grid()), kindsAfter);
        for (int label : { 5, 6, 7, 9, 20 }) {
            QCOMPARE(fixture.under.program.Labels().IsLoaded(label), !labelsGone.contains(label));
        }
        QCOMPARE(fixture.Tool("ID_DeleteItem")->isEnabled(), !yes);
    }

    // The title marks unsaved changes; New, Open and closing the window ask first, and each answer does what it says.
    void UnsavedChangesAreMarkedAndAskedAboutBeforeTheyAreLost()
    {
        Fixture fixture;
        app::Program& program = fixture.under.program;
        const std::string path = (fixture.under.dir.Path() / "plant.tve").string();
        QVERIFY(storage::SaveToDB(program.Project(), path, TAVREL_TEMPLATE_PATH).has_value());
        QVERIFY(program.OpenProject(path));
        QVERIFY(!fixture.window->windowTitle().endsWith(QStringLiteral(" *")));
        std::vector<app::ProgramHost::SaveChoice> answers;
        int asked = 0;
        std::string askedAbout;
        fixture.window->SetSaveQuestion([&](const std::string& asker) {
            askedAbout = asker;
            ++asked;
            const auto answer = answers.front();
            answers.erase(answers.begin());
            return answer;
        });
        const auto modify = [&] {
            const model::clsPlc& plc = *program.Project().colPlcs().back();
            QVERIFY(program.DeleteItem(plc.Key, plc.colItems().front()->Key));
        };
        test::ModalAnswerer yes;
        yes.PressOnMessageBox(QMessageBox::Yes);
        modify(); // Line_2 and its one item go
        QVERIFY(fixture.window->windowTitle().endsWith(QStringLiteral(" *")));

        using Choice = app::ProgramHost::SaveChoice;
        answers = { Choice::Cancel };
        fixture.window->RunTool(QStringLiteral("ID_New"));
        QCOMPARE(program.Project().colPlcs().size(), std::size_t(1)); // kept
        QCOMPARE(askedAbout, path);
        answers = { Choice::Cancel };
        QVERIFY(!fixture.window->close());
        answers = { Choice::Save };
        QVERIFY(fixture.window->close()); // saved, then closed
        QVERIFY(!program.IsModified());
        QVERIFY(program.OpenProject(path));
        QCOMPARE(program.Project().colPlcs().size(), std::size_t(1)); // the file holds the change
        answers = { Choice::Discard };
        test::ModalAnswerer again;
        again.PressOnMessageBox(QMessageBox::Yes);
        modify();
        fixture.window->RunTool(QStringLiteral("ID_New"));
        QVERIFY(program.Project().colPlcs().empty()); // the change let go, a new project
        QCOMPARE(program.CurrentFilePath(), std::string());
        QCOMPARE(asked, 4);
        fixture.window->RunTool(QStringLiteral("ID_New")); // nothing to lose: no question
        QCOMPARE(asked, 4);
    }

    // While running, a writable item's value is written from the grid through the checks of any poke; both pokes,
    // taken and refused, are in the audit trail as the window's, under the account's name.
    void WriteValueFromTheGrid()
    {
        Fixture fixture;
        const std::filesystem::path auditFile = fixture.under.dir / "audit.jsonl";
        fixture.under.program.Service().SetAuditTrail(std::make_unique<app::AuditTrail>(auditFile));
        QString prompt;
        std::vector<QString> typed { QStringLiteral("42"), QStringLiteral("abc") };
        fixture.window->SetValueQuestion([&](const QString& asked, const QString&) -> std::optional<QString> {
            prompt = asked;
            const QString value = typed.front();
            typed.erase(typed.begin());
            return value;
        });
        fixture.window->RunTool(QStringLiteral("ID_Run"));
        QVERIFY(test::WaitFor([&] { return fixture.under.program.IsRunToolEnabled(); }));
        fixture.window->ShowRowMenu(1, QPoint(0, 0));
        QVERIFY(fixture.Tool("ID_WriteValue", "popItem")->isEnabled());
        fixture.window->Band(QStringLiteral("popItem"))->hide();
        fixture.window->WriteRow(1);
        QCOMPARE(prompt, QStringLiteral("A value for lblDDE(9) (MI 10 of Line_1):"));
        QVERIFY(test::WaitFor([&] {
            const auto calls = fixture.under.script.Calls(false);
            return std::count(calls.begin(), calls.end(), "WriteMI(10,1,42)") == 1;
        }));
        test::ModalAnswerer answerer;
        answerer.PressOnMessageBox(QMessageBox::Ok);
        fixture.window->EditRow(1); // a double-click while running writes
        QCOMPARE(answerer.Messages().size(), 1u);
        QVERIFY2(answerer.Messages().front().text.startsWith(QStringLiteral("lblDDE(9) was not written: ")),
                 qPrintable(answerer.Messages().front().text));
        QVERIFY(fixture.window->Events().Lines().front().contains(QStringLiteral("poke of lblDDE(9) from the window")));
        fixture.window->RunTool(QStringLiteral("ID_Run"));
        const auto audit = app::AuditTrail(auditFile).Since("", 10);
        QCOMPARE(audit.size(), 2u);
        const std::pair<const char*, const char*> expected[] = { { "42", "accepted" }, { "abc", "refused" } };
        for (std::size_t i = 0; i < audit.size(); ++i) {
            const QJsonObject line = QJsonDocument::fromJson(QByteArray::fromStdString(audit[i])).object();
            QCOMPARE(line.value("surface").toString(), QStringLiteral("window"));
            QVERIFY(!line.value("user").toString().isEmpty());
            QCOMPARE(line.value("item").toString(), QStringLiteral("lblDDE(9)"));
            QCOMPARE(line.value("new").toString(), QString::fromLatin1(expected[i].first));
            QCOMPARE(line.value("outcome").toString(), QString::fromLatin1(expected[i].second));
        }
    }

    void DoubleClickEditsTheRowsItemAndKeepsTheRow()
    {
        Fixture fixture;
        fixture.window->resize(1000, 500);
        fixture.window->show();
        QVERIFY(QTest::qWaitForWindowExposed(fixture.window.get()));
        ItemGrid& grid = fixture.Grid();
        test::ModalAnswerer answerer;
        QString title;
        answerer.Then([&title](QWidget* dialog) {
            title = dialog->windowTitle();
            dialog->findChild<QLineEdit*>(QStringLiteral("txtOpAddress"))->setText(QStringLiteral("40"));
            dialog->findChild<QPushButton*>(QStringLiteral("cmdOK"))->click();
        });
        QTest::mouseDClick(grid.viewport(), Qt::LeftButton, {}, test::CellCentre(grid, 6, ItemGrid::kColDdeName));

        QCOMPARE(title, QStringLiteral("Edit item \u2013 lblDDE(5) to lblDDE(7) of Line_1"));
        QCOMPARE(grid.item(3, ItemGrid::kColAddress)->text(), QStringLiteral("40"));
        QCOMPARE(grid.item(6, ItemGrid::kColAddress)->text(), QStringLiteral("41"));
        QCOMPARE(grid.CurrentItemRow(), 6);
    }

    void AboutNamesTheProgramItsVersionsAndSettingsAndCloses()
    {
        Fixture fixture(false);
        test::ModalAnswerer answerer;
        QString name;
        QString text;
        answerer.Then([&](QWidget* dialog) {
            name = dialog->objectName();
            text = dialog->findChild<QLabel*>(QStringLiteral("lblAboutText"))->text();
            dialog->findChild<QPushButton*>(QStringLiteral("cmdClose"))->click();
        });
        fixture.window->RunTool(QStringLiteral("ID_About"));

        QCOMPARE(name, QStringLiteral("frmAbout"));
        for (const QString& part : { QStringLiteral("Version " TAVREL_VERSION_TEXT), QStringLiteral("Qt "),
                                     QStringLiteral("libmodbus "), QStringLiteral("SQLite "),
                                     QString::fromStdString(fixture.under.program.Settings().FilePath().string()) }) {
            QVERIFY2(text.contains(part), qPrintable(part));
        }
        QCOMPARE(answerer.Pending(), 0u);
    }

    void OptionsApplyWithoutARestart()
    {
        Fixture fixture;
        QVERIFY(fixture.under.program.Options().ConnectOnce);
        test::ModalAnswerer answerer;
        answerer.Then([](QWidget* dialog) {
            dialog->findChild<QCheckBox*>(QStringLiteral("ckConnectOnce"))->setChecked(false);
            dialog->findChild<QPushButton*>(QStringLiteral("cmdOK"))->click();
        });
        fixture.Tool("ID_Options", "popFile")->trigger();
        QCOMPARE(answerer.Pending(), 0u);
        QVERIFY(!fixture.under.program.Options().ConnectOnce);
    }

    void TheStatusBarShowsTheMqttBrokersState()
    {
        Fixture fixture(false);
        mqtt::MqttBridge bridge(fixture.under.program.Service());
        fixture.window->AttachMqtt(&bridge);
        auto* state = fixture.window->statusBar()->findChild<QLabel*>(QStringLiteral("lblMqtt"));
        QVERIFY(state);
        QCOMPARE(state->text(), QStringLiteral("MQTT: off"));
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        common::MqttOptions options;
        options.Broker = "127.0.0.1:" + std::to_string(port);
        QVERIFY(mqtt::ApplyMqttOptions(bridge, options));
        QTRY_COMPARE(state->text(),
                     QStringLiteral("MQTT broker 127.0.0.1:%1: not connected (Connection refused); "
                                    "next attempt in 1 s")
                         .arg(port));
    }

    void RecordAllAndNoneChangeOnlyTheChosenPlcsItems()
    {
        Fixture fixture;
        const auto& plcs = fixture.under.program.Project().colPlcs();
        const auto recorded = [&] {
            QString flags; // a letter per item and element: R recorded, - not
            for (const auto& plc : plcs) {
                for (const auto& item : plc->colItems()) {
                    flags += item->Details.record ? QLatin1Char('R') : QLatin1Char('-');
                    for (const model::Clsitem& element : item->colItems()) {
                        flags += element.Details.record ? QLatin1Char('R') : QLatin1Char('-');
                    }
                }
                flags += QLatin1Char('|');
            }
            return flags;
        };
        fixture.Grid().SetCurrentItemRow(6); // an element of Line_1's vector
        fixture.window->UpdateCommandStates();
        fixture.Tool("ID_RecordAll", "popItems")->trigger();
        QCOMPARE(recorded(), QStringLiteral("RRRRR|-|"));
        QVERIFY(fixture.under.program.IsModified());
        QCOMPARE(fixture.Grid().CurrentItemRow(), 6);
        QCOMPARE(fixture.Grid().item(1, ItemGrid::kColRecord)->text(), QStringLiteral("True"));
        QCOMPARE(fixture.Grid().item(9, ItemGrid::kColRecord)->text(), QStringLiteral("False"));

        fixture.Grid().SetCurrentItemRow(1);
        fixture.Tool("ID_RecordNone", "popItems")->trigger();
        QCOMPARE(recorded(), QStringLiteral("-----|-|"));
    }

    void TrendOpensOnTheRowsItemsAndFollowsTheirValues()
    {
        Fixture fixture;
        fixture.Grid().SetCurrentItemRow(3); // the header of Line_1's vector on lblDDE(5..7)
        fixture.Tool("ID_Trend", "popItem")->trigger();
        auto* trend = fixture.window->findChild<ui::TrendWindow*>();
        QVERIFY(trend != nullptr && trend->isVisible());
        QVERIFY(trend->windowTitle().contains(QStringLiteral("lblDDE(5), lblDDE(6), lblDDE(7)")));
        QVERIFY(trend->Note().contains(QStringLiteral("live values only")));

        app::ItemChange change;
        change.index = 6;
        change.value = "12";
        change.readAt = std::chrono::system_clock::now();
        emit fixture.under.program.Service().changed({ change });
        QCOMPARE(trend->Lines(6).size(), 1u);
        QCOMPARE(trend->Lines(6).front()->at(0).y(), 12.0);
    }

    void ItemsListsGoOutAndComeBackThroughTheItemsMenu()
    {
        Fixture fixture;
        QAction* exportItems = fixture.Tool("ID_ExportItems", "popItems");
        QAction* importItems = fixture.Tool("ID_ImportItems", "popItems");
        QVERIFY(!exportItems->isEnabled()); // no PLC chosen
        fixture.Grid().SetCurrentItemRow(1); // Line_1
        fixture.window->UpdateCommandStates();
        QVERIFY(exportItems->isEnabled() && importItems->isEnabled());
        const std::filesystem::path list = fixture.under.dir.Path() / "line1.csv";
        fixture.window->SetItemsFileQuestion([&](bool, const QString& plc) {
            return plc == QLatin1String("Line_1") ? std::optional<QString>(QString::fromStdString(list.string()))
                                                  : std::nullopt;
        });
        exportItems->trigger();
        std::ifstream exported(list);
        std::string header;
        QVERIFY(std::getline(exported, header));
        QVERIFY(header.starts_with("Name,Operand,Address,Length,Direction,Enabled,DataType"));
        QVERIFY(!fixture.under.program.IsModified());

        const model::clsPlc& line1 = *fixture.under.program.Project().colPlcs().front();
        const auto importText = [&](const std::string& text, QMessageBox::StandardButton answer) {
            std::ofstream(list) << header << "\n" << text;
            test::ModalAnswerer answerer;
            answerer.PressOnMessageBox(QMessageBox::Yes).PressOnMessageBox(answer);
            importItems->trigger();
            return answerer.Messages();
        };
        // A bad line: the list is refused, with the line, and Line_1 keeps its two items.
        const auto refused
            = importText("Temp,MI,3,1,Read,1,,,,,,,,,,,\nLevel,MI,4,1,Upwards,1,,,,,,,,,,,\n", QMessageBox::Ok);
        QCOMPARE(refused.size(), 2u);
        QVERIFY2(refused[1].text.contains(QStringLiteral("line 3: Direction")), qPrintable(refused[1].text));
        QCOMPARE(line1.colItems().size(), 2u);
        QVERIFY(!fixture.under.program.IsModified());

        const auto accepted = importText("Temp,MI,3,1,Read,1,,,0,100,0,10,bar,,,,Boiler\n", QMessageBox::Ok);
        QCOMPARE(accepted.size(), 1u); // the question only
        QVERIFY(accepted[0].text.contains(QStringLiteral("replace the 2 items of PLC Line_1")));
        QCOMPARE(line1.colItems().size(), 1u);
        QCOMPARE(line1.colItems().front()->Details.name, std::string("Temp"));
        QVERIFY(fixture.under.program.IsModified());
        QCOMPARE(fixture.Grid().item(1, ItemGrid::kColName)->text(), QStringLiteral("Temp"));
        QCOMPARE(fixture.Grid().item(1, ItemGrid::kColUnits)->text(), QStringLiteral("bar"));
    }
};

QTEST_MAIN(frmMainTest)
#include "frmMainTest.moc"
