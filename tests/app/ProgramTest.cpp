#include "app/Program.h"

#include "common/OperandCatalogue.h"
#include "storage/ProjectDatabase.h"
#include "support/ScriptedDriver.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <fstream>
#include <gtest/gtest.h>
#include <thread>

using namespace tavrel;
namespace op = common::operand;
namespace dir = common::direction;

namespace {

// Answers every question the way the test says, and remembers the errors shown.
class ScriptedHost : public app::ProgramHost
{
public:
    std::optional<std::string> openAnswer;
    std::optional<std::string> saveAnswer;
    bool confirm = true;
    std::vector<std::string> errors;
    int questions = 0;
    /// Runs while a dialog or question is up, as events from clients would.
    std::function<void()> whileShown = [] {};
    /// What the Define PLC dialog does to the project when confirmed; nothing means Cancel.
    std::function<void(model::clsConfig&)> definePlc;

    std::optional<std::string> ChooseProjectToOpen() override
    {
        whileShown();
        return openAnswer;
    }
    std::optional<std::string> ChooseProjectToSave() override { return saveAnswer; }
    void ShowError(const std::string& message) override { errors.push_back(message); }
    bool Confirm(const std::string&) override
    {
        ++questions;
        whileShown();
        return confirm;
    }
    bool DefinePlc(model::clsConfig& project) override
    {
        whileShown();
        if (definePlc) {
            definePlc(project);
        }
        return static_cast<bool>(definePlc);
    }
};

void Spin(const std::function<bool()>& until, int milliseconds = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!until() && timer.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

class ProgramTest : public ::testing::Test
{
protected:
    ProgramTest()
    {
        program.SetHost(&host);
        QObject::connect(&program, &app::Program::notice,
                         [this](const QString& text) { notices.push_back(text.toStdString()); });
    }

    model::clsPlc& AddPlc(const std::string& name, std::int32_t tcpPort = 0)
    {
        auto plc = program.Project().NewPlc();
        plc->Name = name;
        if (tcpPort != 0) { // a channel of its own
            model::CommParams params;
            params.PathWay = model::PathWay::TcpIp;
            params.EthRemoteIP = "127.0.0.1";
            params.EthRemotePort = tcpPort;
            plc->SetCommParams(params);
        }
        return program.Project().AddPLC(std::move(plc));
    }
    model::Clsitem& AddItem(model::clsPlc& plc, std::int32_t type, std::int32_t direction, std::int32_t length = 1)
    {
        std::int32_t label = -1;
        EXPECT_TRUE(plc.AddItems(length, 0, type, direction, true, label));
        return *plc.colItems().back();
    }
    long Count(const std::string& call) const { return std::count(script.calls.begin(), script.calls.end(), call); }
    test::TempDir dir;
    test::DriverScript script;
    ScriptedHost host;
    std::vector<std::string> notices;
    app::Program program { common::Settings(dir / "tavrel.ini", "tavrel"), script.Factory(), TAVREL_TEMPLATE_PATH };
};

} // namespace

TEST_F(ProgramTest, RunPassesUntilStoppedThenClosesEveryChannel)
{
    auto& plc = AddPlc("A");
    AddItem(plc, op::MI, dir::Read);
    // Two executes taken in one turn of the event loop: the second comes before the first pass, and stops the run.
    (void)program.Service().Execute({}, "Tavrel_RUN/STOP");
    EXPECT_TRUE(program.IsRunning());
    (void)program.Service().Execute({}, "tavrel_run/stop");
    EXPECT_FALSE(program.IsRunning());
    EXPECT_TRUE(program.IsRunToolEnabled());
    Spin([] { return false; }, 50);
    EXPECT_EQ(Count("ReadBinaryMix(3@0x1)"), 0) << "no pass after the stop";

    script.Clear();
    program.ToggleRun();
    EXPECT_TRUE(program.IsRunning());
    EXPECT_FALSE(program.IsRunToolEnabled()) << "no click is taken before the first pass is over";
    program.ClickRun();
    EXPECT_TRUE(program.IsRunning());

    Spin([&] { return Count("ReadBinaryMix(3@0x1)") >= 3; });
    EXPECT_GE(Count("ReadBinaryMix(3@0x1)"), 3);
    EXPECT_TRUE(program.IsRunToolEnabled());
    program.ToggleRun();
    EXPECT_FALSE(program.IsRunning());
    EXPECT_EQ(script.calls.back(), "new") << "the channel was closed and replaced by a fresh instance";
    EXPECT_EQ(Count("CloseSerial()"), 1);

    const long reads = Count("ReadBinaryMix(3@0x1)");
    Spin([] { return false; }, 50);
    EXPECT_EQ(Count("ReadBinaryMix(3@0x1)"), reads) << "no pass after the stop";
}

TEST_F(ProgramTest, NoRunStartsWhileADialogThatChangesTheProjectIsOpen)
{
    auto& plc = AddPlc("A");
    AddItem(plc, op::MI, dir::Read);
    host.saveAnswer = (dir / "p.tve").string();
    ASSERT_TRUE(program.SaveProject(false));
    host.whileShown = [this] { (void)program.Service().Execute({}, "Tavrel_RUN/STOP"); };

    host.openAnswer = *host.saveAnswer;
    EXPECT_TRUE(program.OpenProject(""));
    EXPECT_FALSE(program.IsRunning()) << "the Open dialog was up";
    host.definePlc = [](model::clsConfig& project) {
        auto added = project.NewPlc();
        added->Name = "B";
        std::int32_t label = -1;
        (void)added->AddItems(1, 0, op::MI, dir::Read, true, label);
        project.AddPLC(std::move(added));
    };
    EXPECT_TRUE(program.DefinePlc());
    EXPECT_FALSE(program.IsRunning()) << "the Define PLC dialog was up";
    model::clsPlc& first = *program.Project().colPlcs().front();
    EXPECT_TRUE(program.DeleteItem(first.Key, first.colItems().front()->Key));
    EXPECT_FALSE(program.IsRunning()) << "the Delete question was up";
    ASSERT_EQ(notices.size(), 3u);
    EXPECT_EQ(notices[0], "Run/stop not acted on: a dialog that changes the project is open.");
    ASSERT_EQ(program.Project().colPlcs().size(), 1u);
    EXPECT_EQ(program.Project().colPlcs()[0]->Name, "B");

    // Whoever calls them, the commands that change the project refuse to act while running.
    host.whileShown = [] {};
    program.ToggleRun();
    ASSERT_TRUE(program.IsRunning());
    model::clsPlc& running = *program.Project().colPlcs().front();
    const std::int32_t plcKey = running.Key;
    const std::int32_t itemKey = running.colItems().front()->Key;
    const std::vector<std::pair<const char*, std::function<bool()>>> commands {
        { "New", [&] { return program.NewProject(); } },
        { "Open", [&] { return program.OpenProject(*host.saveAnswer); } },
        { "Open with the dialog", [&] { return program.OpenProject(""); } },
        { "Define PLC", [&] { return program.DefinePlc(); } },
        { "Edit PLC", [&] { return program.EditItem(plcKey, itemKey); } },
        { "Delete", [&] { return program.DeleteItem(plcKey, itemKey); } },
    };
    for (const auto& [name, command] : commands) {
        const int questions = host.questions;
        EXPECT_FALSE(command()) << name;
        EXPECT_EQ(host.questions, questions) << name << " asked nothing";
        ASSERT_EQ(program.Project().colPlcs().size(), 1u) << name;
        EXPECT_EQ(program.Project().colPlcs()[0]->colItems().size(), 1u) << name;
    }
    EXPECT_EQ(host.errors.size(), commands.size());
    program.Stop();
}

TEST_F(ProgramTest, IdleRunWaitsForEventsInsteadOfSpinning)
{
    AddPlc("Empty"); // no items: nothing to exchange
    int passes = 0;
    QObject::connect(&program, &app::Program::passFinished, [&] { ++passes; });
    program.ToggleRun();
    Spin([] { return false; }, 100);
    EXPECT_EQ(passes, 1);
    program.ToggleRun();
    EXPECT_FALSE(program.IsRunning());
}

TEST_F(ProgramTest, MinPassMsSpacesThePassStartsAndTheCommandLineOutranksTheSettings)
{
    auto& plc = AddPlc("A");
    AddItem(plc, op::MI, dir::Read);
    ASSERT_TRUE(program.Settings().WriteSetting("MinPassMs", "5000"));
    program.ReloadOptions();
    program.OverrideMinPassMs(150);
    program.ReloadOptions(); // the Options dialog closed: the command line still holds
    EXPECT_EQ(program.Options().MinPassMs, 150);

    std::vector<qint64> finished;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(&program, &app::Program::passFinished, [&] { finished.push_back(clock.elapsed()); });
    program.ToggleRun();
    Spin([&] { return finished.size() >= 3; });
    program.Stop();
    ASSERT_GE(finished.size(), 3U);
    // Pass ends, so a slow pass shortens the gap after it; passes back to back would be a few ms apart.
    for (std::size_t i = 1; i < finished.size(); ++i) {
        EXPECT_GE(finished[i] - finished[i - 1], 75) << "pass " << i;
    }
}

TEST_F(ProgramTest, AScanIntervalPacesTheRunWithoutSpinningAndThePlcsRunStateIsASystemItem)
{
    auto& plc = AddPlc("Slow");
    EXPECT_EQ(plc.Params().ScanMs, model::kNewPlcScanMs) << "a new PLC";
    model::CommParams params = plc.GetCommParams();
    params.ScanMs = 200;
    plc.SetCommParams(params);
    AddItem(plc, op::MI, dir::Read);
    const auto running = [&] { return program.Service().System().Find("slow.plcrunning")->second.toStdString(); };
    EXPECT_EQ(running(), "") << "unknown before a read";
    script.Running = false;
    int passes = 0;
    QObject::connect(&program, &app::Program::passFinished, [&] { ++passes; });

    program.ToggleRun();
    Spin([] { return false; }, 1000);
    program.Stop();
    // About five reads in a second; bounds wide enough for a loaded machine. Passes back to back would be thousands.
    const long reads = Count("ReadBinaryMix(3@0x1)");
    EXPECT_GE(reads, 2);
    EXPECT_LE(reads, 7);
    EXPECT_LE(passes, 2 * reads + 2);
    EXPECT_EQ(running(), "0");
}

TEST_F(ProgramTest, AStopDuringAPassWithWorkersBusyEndsTheRunAfterThatPass)
{
    AddItem(AddPlc("A", 502), op::MI, dir::Read);
    AddItem(AddPlc("B", 503), op::MI, dir::Read);
    std::atomic<int> reads = 0;
    script.OnCall = [&](const std::string& call) {
        if (call == "ReadBinaryMix(3@0x1)" && ++reads == 3) {
            // The second pass is under way on both workers when the stop comes in.
            QMetaObject::invokeMethod(
                &program, [this] { program.ToggleRun(); }, Qt::QueuedConnection);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
    };
    program.ToggleRun();
    Spin([&] { return !program.IsRunning(); });
    script.OnCall = nullptr;
    EXPECT_FALSE(program.IsRunning());
    EXPECT_EQ(reads, 4) << "the pass under way ended for both PLCs, and none followed";
    EXPECT_EQ(Count("CloseEthernet()"), 2);
    for (const auto& plc : program.Project().colPlcs()) {
        EXPECT_EQ(plc->colItems().front()->Label.Text(), "0") << plc->Name;
    }
}

TEST_F(ProgramTest, APlcDeletedOrAProjectOpenedAfterARunIsNeverExchangedWithAgain)
{
    auto& first = AddPlc("A", 502);
    AddItem(first, op::MI, dir::Read);
    auto& second = AddPlc("B", 503);
    AddItem(second, op::ML, dir::Read);
    const std::int32_t secondKey = second.Key;
    const std::int32_t itemKey = second.colItems().front()->Key;
    program.ToggleRun();
    Spin([&] { return Count("ReadBinaryMix(5@0x1)") >= 2; });
    program.Stop();

    ASSERT_TRUE(program.DeleteItem(secondKey, itemKey));
    ASSERT_EQ(program.Project().colPlcs().size(), 1U);
    script.Clear();
    program.ToggleRun();
    Spin([&] { return Count("ReadBinaryMix(3@0x1)") >= 3; });
    program.Stop();
    EXPECT_EQ(Count("ReadBinaryMix(5@0x1)"), 0);

    program.NewProject();
    script.Clear();
    program.RefreshOnce();
    EXPECT_EQ(script.calls, std::vector<std::string> {});
}

TEST_F(ProgramTest, PokesAreRefusedWithTheKindOfProblemOrWrittenInTheNextPass)
{
    auto& plc = AddPlc("A");
    AddItem(plc, op::MI, dir::ReadWrite);
    AddItem(plc, op::MI, dir::Read);
    AddItem(plc, op::MB, dir::ReadWrite);
    AddItem(plc, op::TPreset, dir::ReadWrite);
    // What the PLC's operands hold is the driver's to say.
    script.WriteCheck = [](std::int32_t type, std::int32_t, const comm::OperandWriteValue& value) {
        return type == op::MB && std::get<std::uint8_t>(value) > 1
            ? std::optional(common::Refusal { common::Refusal::Kind::OutOfRange, "a bit takes 0 or 1" })
            : std::nullopt;
    };
    using Kind = common::Refusal::Kind;
    app::ItemService& items = program.Service();
    const app::Caller caller;
    // Which texts each operand takes is the exchange's to say; here, how each kind of problem comes back.
    const std::vector<std::tuple<std::int32_t, std::string, Kind>> cases {
        { 1, "x", Kind::BadValue },   { 2, "1", Kind::NotWritable }, { 9, "1", Kind::UnknownItem },
        { 3, "2", Kind::OutOfRange }, { 4, "10", Kind::BadValue },
    };
    for (const auto& [index, text, kind] : cases) {
        const auto refusal = items.Poke(caller, index, text);
        ASSERT_TRUE(refusal.has_value()) << index << " '" << text << "'";
        EXPECT_EQ(refusal->kind, kind) << refusal->reason;
        EXPECT_FALSE(refusal->reason.empty());
    }
    EXPECT_EQ(items.Poke(caller, 3, "2")->reason, "a bit takes 0 or 1");
    for (std::int32_t index = 1; index <= 4; ++index) {
        EXPECT_EQ(program.Labels().Text(index), "") << "a refused poke changes no label";
    }
    EXPECT_EQ(items.Poke(caller, 3, "1"), std::nullopt);
    EXPECT_EQ(items.Poke(caller, 4, "00:01:30.00"), std::nullopt);
    EXPECT_EQ(program.Labels().Text(4), "00:01:30.00");

    program.ToggleRun();
    Spin([&] { return program.IsRunToolEnabled(); });
    EXPECT_EQ(items.Poke(caller, 1, "42"), std::nullopt);
    Spin([&] { return Count("WriteMI(0,1,42)") == 1; });
    EXPECT_EQ(Count("WriteMI(0,1,42)"), 1);
    program.Stop();
}

TEST_F(ProgramTest, ExecuteFindsThePlcBeforeTheLastUnderscoreAndRefusesWhatNamesNothing)
{
    AddPlc("Kühlung_1");
    app::ItemService& items = program.Service();
    EXPECT_EQ(items.Execute({}, "KÜHLUNG_1_STOP"), std::nullopt);
    EXPECT_EQ(items.Execute({}, "kühlung_1_run"), std::nullopt);
    for (const char* unknown : { "STOP", "_RUN", "Kühlung_1_RESET", "Kühlung_STOP", "hello world", "Tavrel_PAUSE" }) {
        const auto refusal = items.Execute({}, unknown);
        ASSERT_TRUE(refusal.has_value()) << unknown;
        EXPECT_EQ(refusal->kind, common::Refusal::Kind::UnknownCommand);
        EXPECT_NE(refusal->reason.find("Tavrel_RUN, Tavrel_STOP, Tavrel_RUN/STOP"), std::string::npos);
        EXPECT_NE(refusal->reason.find("Kühlung_1"), std::string::npos) << "the PLCs are listed";
    }
    EXPECT_EQ(Count("PlcStop()"), 1);
    EXPECT_EQ(Count("PlcRun()"), 1);

    // Starting and stopping the run by name does what it says, however often it is said.
    for (const bool running : { true, true, false, false, true }) {
        EXPECT_EQ(items.Execute({}, running ? "Tavrel_RUN" : "tavrel_stop"), std::nullopt);
        EXPECT_EQ(program.IsRunning(), running);
    }
    program.Stop();
    const app::Caller reader { .surface = app::Surface::Link, .user = "board", .peer = {}, .role = app::Role::Reader };
    EXPECT_EQ(items.Execute(reader, "Tavrel_RUN")->kind, common::Refusal::Kind::NotAllowed);
    EXPECT_FALSE(program.IsRunning());
}

// A poke whose audit line cannot be written is carried out all the same; the loss is told in the events and the
// System item AuditLost, and the next line written carries the count.
TEST_F(ProgramTest, APokeThatCannotBeAuditedIsStillTakenAndTheLossIsTold)
{
    AddItem(AddPlc("Line_1"), op::MI, dir::ReadWrite);
    app::ItemService& items = program.Service();
    const auto auditFile = dir / "later" / "audit.jsonl";
    items.SetAuditTrail(std::make_unique<app::AuditTrail>(auditFile));
    const app::Caller panel {
        .surface = app::Surface::Link, .user = "panel", .peer = "10.0.0.5:1", .role = app::Role::Operator
    };
    EXPECT_EQ(items.Poke(panel, 1, "5"), std::nullopt);
    EXPECT_EQ(program.Labels().Text(1), "5");
    EXPECT_EQ(items.System().Find("AuditLost")->second, QStringLiteral("1"));
    EXPECT_TRUE(items.Events().Events().back().text.contains(QStringLiteral("cannot open the audit file")));

    std::filesystem::create_directory(dir / "later");
    EXPECT_EQ(items.Poke(panel, 1, "6"), std::nullopt);
    const auto lines = items.Audit()->Since("", 10);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(R"x("user":"panel","peer":"10.0.0.5:1","item":"lblDDE(1)","old":"5","new":"6")x"),
              std::string::npos)
        << lines[0];
    EXPECT_NE(lines[0].find(R"x("lost":1})x"), std::string::npos) << lines[0];
}

TEST_F(ProgramTest, DeletingAnElementRowDeletesItsVectorAndAnEmptyPlc)
{
    auto& plc = AddPlc("A");
    auto& vector = AddItem(plc, op::MI, dir::Read, 3);
    const std::int32_t plcKey = plc.Key;
    host.confirm = false;
    EXPECT_FALSE(program.DeleteItem(plcKey, vector.colItems()[1].Key));
    EXPECT_EQ(program.Labels().LoadedCount(), 4u);
    host.confirm = true;
    EXPECT_TRUE(program.DeleteItem(plcKey, vector.colItems()[1].Key));
    EXPECT_EQ(program.Labels().LoadedCount(), 1u);
    EXPECT_TRUE(program.Project().colPlcs().empty());
}

TEST_F(ProgramTest, SaveThenOpenGivesTheProjectBackAndAFileThatCannotBeOpenedChangesNothing)
{
    auto& plc = AddPlc("Line_1");
    AddItem(plc, op::MI, dir::ReadWrite, 4);
    host.saveAnswer = (dir / "p.tve").string();
    ASSERT_TRUE(program.SaveProject(false));
    EXPECT_EQ(program.Title(), "Tavrel - " + *host.saveAnswer);
    EXPECT_EQ(program.Settings().ReadSetting("CurrentFilePath", ""), *host.saveAnswer);

    const auto junk = dir / "junk.tve";
    std::ofstream(junk) << "not a database";
    EXPECT_FALSE(program.OpenProject(junk.string()));
    ASSERT_EQ(host.errors.size(), 1u);
    EXPECT_NE(host.errors[0].find("junk.tve"), std::string::npos);
    host.openAnswer.reset();
    EXPECT_FALSE(program.OpenProject("")) << "a cancelled dialog changes nothing";
    ASSERT_EQ(program.Project().colPlcs().size(), 1u);
    EXPECT_EQ(program.Project().colPlcs()[0]->Name, "Line_1");
    EXPECT_TRUE(program.Labels().IsLoaded(4));
    EXPECT_EQ(program.Title(), "Tavrel - " + *host.saveAnswer);

    program.NewProject();
    EXPECT_EQ(program.Title(), "Tavrel");
    EXPECT_EQ(program.Labels().LoadedCount(), 1u);
    ASSERT_TRUE(program.OpenProject(*host.saveAnswer));
    ASSERT_EQ(program.Project().colPlcs().size(), 1u);
    EXPECT_EQ(program.Project().colPlcs()[0]->colItems()[0]->colItems().size(), 4u);
}

TEST_F(ProgramTest, StartUpOpensTheCommandLineFileOrWhatTheOptionSaysFromAnyFolder)
{
    auto& plc = AddPlc("Saved");
    AddItem(plc, op::MI, dir::Read);
    const std::string saved = (dir / "saved.tve").string();
    host.saveAnswer = saved;
    ASSERT_TRUE(program.SaveProject(false));
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::create_directory(dir / "elsewhere");

    // A quoted path names no file and falls through to the start-up option, here an empty project.
    ASSERT_TRUE(program.Settings().WriteSetting("StartUpOperation", "0"));
    program.ReloadOptions();
    program.NewProject();
    program.StartUp("\"" + saved + "\"");
    EXPECT_TRUE(program.CurrentFilePath().empty());
    // An existing file comes before the option; started in its folder, a relative path will do.
    std::filesystem::current_path(dir.Path());
    program.StartUp("saved.tve");
    EXPECT_EQ(program.CurrentFilePath(), saved);
    // The last project, as the option says, from another folder.
    std::filesystem::current_path(dir / "elsewhere");
    ASSERT_TRUE(program.Settings().WriteSetting("StartUpOperation", "2"));
    app::Program later(common::Settings(dir / "tavrel.ini", "tavrel"), script.Factory(), TAVREL_TEMPLATE_PATH);
    later.StartUp("");
    std::filesystem::current_path(before);
    EXPECT_EQ(later.CurrentFilePath(), saved);
    ASSERT_EQ(later.Project().colPlcs().size(), 1u);

    // A missing last project is said, and not forgotten.
    std::filesystem::rename(dir / "saved.tve", dir / "away.tve");
    program.ReloadOptions();
    program.StartUp("");
    EXPECT_TRUE(program.Project().colPlcs().empty());
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find(saved + " was not found"), std::string::npos) << notices[0];
    EXPECT_EQ(program.Settings().ReadSetting("CurrentFilePath", ""), saved);
}

TEST_F(ProgramTest, ValuesOutsideTheListsLoadAndOnlyTheirPlcOrItemIsLeftOut)
{
    auto& good = AddPlc("Good");
    AddItem(good, op::MI, dir::Read);
    AddItem(good, 8, dir::Read); // no such operand type
    AddItem(good, op::MB, 7); // no such direction
    auto& odd = AddPlc("Odd");
    model::CommParams params;
    params.PlcType = 9;
    odd.SetCommParams(params);
    AddItem(odd, op::MI, dir::Read);
    host.saveAnswer = (dir / "odd.tve").string();
    ASSERT_TRUE(program.SaveProject(false));
    program.NewProject();

    ASSERT_TRUE(program.OpenProject(*host.saveAnswer)) << (host.errors.empty() ? "" : host.errors[0]);
    EXPECT_EQ(notices,
              (std::vector<std::string> {
                  "lblDDE(2) of PLC 'Good' is never exchanged: operand type 8 is not one this program knows",
                  "lblDDE(3) of PLC 'Good' is never exchanged: direction 7 is not one this program knows",
                  "PLC 'Odd' cannot be opened: PLC type 9 is not one this program knows" }));
    std::vector<std::string> notConnected;
    QObject::connect(&program, &app::Program::plcNotConnected, [&](int key, const QString& reason) {
        notConnected.push_back(program.Project().FindPlc(key)->Name + ": " + reason.toStdString());
    });
    program.ToggleRun();
    Spin([&] { return Count("ReadBinaryMix(3@0x1)") >= 2; });
    program.Stop();
    EXPECT_GE(Count("ReadBinaryMix(3@0x1)"), 2) << "the good item is read alone, pass after pass";
    EXPECT_EQ(notConnected, (std::vector<std::string> { "Odd: PLC type 9 is not one this program knows" }));
}

TEST_F(ProgramTest, AutoRunStartsOnlyOnTheFirstActivationWithAPlc)
{
    ASSERT_TRUE(program.Settings().WriteSetting("AutoRun", "1"));
    app::Program empty(common::Settings(dir / "tavrel.ini", "tavrel"), script.Factory(), TAVREL_TEMPLATE_PATH);
    empty.FirstActivation();
    EXPECT_FALSE(empty.IsRunning()) << "no PLC, no run";
    program.ReloadOptions();
    AddPlc("A");
    program.FirstActivation();
    EXPECT_TRUE(program.IsRunning());
    program.Stop();
    program.FirstActivation();
    EXPECT_FALSE(program.IsRunning()) << "only the first activation acts";
}

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// An item its device will not give is a Bad change with the reason, though its text did not change; the item service
// finds every item by its tag name too, in any case, and lists its name, units and kind.
TEST_F(ProgramTest, ABadItemIsAChangeWithItsReasonAndItemsAreFoundByTagName)
{
    auto& plc = AddPlc("Meter");
    auto& volts = AddItem(plc, op::MI, dir::Read);
    volts.Details.name = "Meter.Volts";
    volts.Details.units = "V";
    volts.Details.scaling = common::Scaling { 0, 10, 0, 1 };
    emit program.projectChanged();
    app::ItemService& items = program.Service();
    EXPECT_EQ(items.Find("METER.volts"), 1);
    EXPECT_EQ(items.Find("lblDDE(1)"), 1);
    EXPECT_EQ(items.Find("Meter.Amps"), std::nullopt);
    const app::ItemInfo info = items.Items().front();
    EXPECT_EQ(info.name, "Meter.Volts");
    EXPECT_EQ(info.units, "V");
    EXPECT_EQ(info.kind, app::ValueKind::Double);

    std::vector<app::ItemChange> changes;
    QObject::connect(&items, &app::ItemService::changed, [&](const std::vector<app::ItemChange>& batch) {
        changes.insert(changes.end(), batch.begin(), batch.end());
    });
    plc.Answered = true;
    volts.BadReason = "input register 3999 does not exist on the device";
    volts.Label.Touch();
    items.Flush();
    ASSERT_EQ(changes.size(), 1U);
    EXPECT_EQ(changes[0].quality, app::Quality::Bad);
    EXPECT_EQ(changes[0].reason, volts.BadReason);
}

// Clients are told a numeric text that left the deadband of what they were last told, and every quality change with
// the text as it stands: a PLC lost, the run started, answered and stopped.
TEST_F(ProgramTest, ADeadbandHoldsBackSmallChangesAndEveryQualityChangeIsTold)
{
    auto& plc = AddPlc("A");
    AddItem(plc, op::MI, dir::Read).Details.deadband = 0.5;
    AddItem(plc, op::MI, dir::Read); // no deadband
    emit program.projectChanged();
    app::ItemService& items = program.Service();
    std::vector<std::string> told;
    QObject::connect(&items, &app::ItemService::changed, [&](const std::vector<app::ItemChange>& batch) {
        static const char* const kQualities[] = { "good", "waiting", "stale", "bad" };
        for (const app::ItemChange& change : batch) {
            told.push_back(std::to_string(change.index) + ":" + change.value + " "
                           + kQualities[static_cast<int>(change.quality)]
                           + (change.reason.empty() ? "" : " (" + change.reason + ")"));
        }
    });
    plc.Answered = true;
    const auto set = [&](const std::string& one, const std::string& two) {
        return [&, one, two] {
            program.Labels().SetText(1, one);
            program.Labels().SetText(2, two);
        };
    };
    const std::vector<std::tuple<std::string, std::function<void()>, std::vector<std::string>>> steps {
        { "first values", set("10", "1"), { "1:10 stale (the run is stopped)", "2:1 stale (the run is stopped)" } },
        { "inside the band", set("10.4", "1.01"), { "2:1.01 stale (the run is stopped)" } },
        { "inside, the other way", set("9.6", "1.01"), {} },
        { "the band crossed", set("10.5", "1.01"), { "1:10.5 stale (the run is stopped)" } },
        { "inside the new band", set("10.1", "1.01"), {} },
        { "PLC lost",
          [&] {
              plc.Connected = false;
              plc.LastError = "no answer";
          },
          { "1:10.1 stale (no answer)", "2:1.01 stale (no answer)" } },
        { "no number", set("ten", "1.01"), { "1:ten stale (no answer)" } },
        { "a new number after none", set("9.9", "1.01"), { "1:9.9 stale (no answer)" } },
    };
    for (const auto& [what, act, expected] : steps) {
        told.clear();
        act();
        items.Flush();
        EXPECT_EQ(told, expected) << what;
    }

    // A run: waiting until its first read, good after it, stale once it stopped.
    plc.Connected = true;
    plc.LastError.clear();
    items.Flush();
    told.clear();
    program.ToggleRun();
    Spin([&] { return program.IsRunToolEnabled(); });
    program.Stop();
    Spin([&] { return told.size() >= 6; }, 1000);
    EXPECT_EQ(told,
              (std::vector<std::string> { "1:9.9 waiting", "2:1.01 waiting", "1:0 good", "2:0 good",
                                          "1:0 stale (the run is stopped)", "2:0 stale (the run is stopped)" }));
    told.clear();
    program.Labels().SetText(1, "0.2");
    items.Flush();
    EXPECT_EQ(told, std::vector<std::string> {});
    EXPECT_EQ(items.State(1).value, "0.2") << "a request gets the live value";
}
