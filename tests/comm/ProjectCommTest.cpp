#include "comm/ProjectComm.h"

#include "comm/PlcComm.h"
#include "common/OperandCatalogue.h"
#include "support/CommFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

using namespace tavrel;
using namespace tavrel::test;
using Calls = std::vector<std::string>;
namespace op = common::operand;
namespace dir = common::direction;

class ProjectCommTest : public CommFixture
{
protected:
    // Starts a run as the run loop does: lists built, every PLC connected and opened.
    void StartRun()
    {
        comm::BuildBinaryMix(config);
        comm::ResetConnctedState(config);
        comm::OpenPlcsComm(config, env);
        script.Clear();
    }
    long Count(const std::string& call) const { return std::count(script.calls.begin(), script.calls.end(), call); }
};

TEST_F(ProjectCommTest, FailedPlcIsMarkedAndRetriedSixtySecondsLater)
{
    auto& a = AddPlc("A");
    auto& b = AddPlc("B");
    AddItem(a, op::MI, 1, dir::Read);
    AddItem(b, op::MI, 2, dir::Read);
    StartRun();
    now = 86399; // a second before a midnight by the time of day: the retry clock counts on past it

    script.Queue("ReadBinaryMix", { DriverAnswer::Fails() }); // A fails once
    comm::Refresh(config, env);
    EXPECT_FALSE(a.Connected);
    EXPECT_TRUE(b.Connected);
    EXPECT_EQ(observer.events, (Calls { "not connected 2" }));
    EXPECT_FALSE(a.Answered);
    EXPECT_TRUE(b.Answered);

    script.Clear();
    now += 59;
    comm::Refresh(config, env);
    EXPECT_EQ(script.Calls(false), (Calls { "ReadBinaryMix(3@2x1)" })) << "A is skipped before 60 s";
    EXPECT_EQ(observer.events.size(), 1u);

    script.Clear();
    now += 1;
    comm::Refresh(config, env);
    EXPECT_TRUE(a.Connected);
    EXPECT_FALSE(a.Answered) << "a re-open is no answer";
    EXPECT_EQ(observer.events.back(), "connected 2");
    EXPECT_EQ(script.Calls().front(), "new") << "A is re-opened at 60 s";
    EXPECT_EQ(Count("ReadBinaryMix(3@1x1)"), 0) << "and read in the next pass";

    script.Clear();
    comm::Refresh(config, env);
    EXPECT_EQ(Count("ReadBinaryMix(3@1x1)"), 1);
    EXPECT_TRUE(a.Answered);
    comm::ResetConnctedState(config);
    EXPECT_FALSE(a.Answered) << "a new run starts with nothing answered";
}

TEST_F(ProjectCommTest, AReopenLeavesAReasonOnlyWhenTheChannelWouldNotOpen)
{
    // The PLC counts as connected after either open; only the reason tells a failed one from a good one.
    auto& a = AddPlc("A");
    AddItem(a, op::MI, 1, dir::Read);
    env.ReconnectDelaySeconds = 5;
    StartRun();
    script.Queue("ReadBinaryMix", { DriverAnswer::Fails() });
    comm::Refresh(config, env);
    ASSERT_FALSE(a.Connected);
    ASSERT_FALSE(a.LastError.empty());

    script.Queue("OpenSerial", { DriverAnswer::Fails(), DriverAnswer::Fails() }); // the reopen and the read's open
    now += 4;
    comm::Refresh(config, env);
    EXPECT_FALSE(a.Connected) << "the delay is the environment's";
    now += 1;
    comm::Refresh(config, env);
    EXPECT_TRUE(a.Connected);
    EXPECT_EQ(a.LastError, "scripted failure") << "the failed open says why";

    comm::Refresh(config, env); // the read opens again, fails, and the clock starts over
    ASSERT_FALSE(a.Connected);
    now += 5;
    comm::Refresh(config, env);
    EXPECT_TRUE(a.Connected);
    EXPECT_EQ(a.LastError, "") << "no reason of an earlier failure is left behind a good open";
}

TEST_F(ProjectCommTest, APokeWhoseWriteFailedIsWrittenOnceThePlcIsBack)
{
    // The PLC drops while the poke is written: the client was told the poke was taken, so it must not be lost.
    auto& a = AddPlc("A");
    auto& single = AddItem(a, op::MI, 1, dir::ReadWrite);
    auto& vector = AddItem(a, op::MI, 10, dir::ReadWrite, 2);
    StartRun();
    comm::Refresh(config, env);
    ASSERT_EQ(single.Label.Text(), "0");
    single.Label.SetText("5");
    vector.colItems()[1].Label.SetText("7");
    script.Queue("WriteMI", { DriverAnswer::Fails(), DriverAnswer::Fails() });
    comm::Refresh(config, env);
    ASSERT_FALSE(a.Connected);
    now += 60;
    comm::Refresh(config, env);
    ASSERT_TRUE(a.Connected);

    script.Clear();
    comm::Refresh(config, env);
    EXPECT_EQ(single.Label.Text(), "5") << "the read after the return does not write the PLC's value over the poke";
    EXPECT_EQ(vector.colItems()[1].Label.Text(), "7");
    EXPECT_EQ(Count("WriteMI(1,1,5)"), 1);
    EXPECT_EQ(Count("WriteMI(11,1,7)"), 1);
}

TEST_F(ProjectCommTest, PokesThatAFailedPassNeverReachedWaitForTheNext)
{
    // Two ways a pass ends before a poke is written: an earlier element of its vector fails, or the write
    // pass cannot open its channel. Either way the poke must still be written once the PLC answers.
    options.ConnectOnce = false;
    auto& a = AddPlc("A");
    auto& vector = AddItem(a, op::MI, 10, dir::ReadWrite, 2);
    auto& single = AddItem(a, op::MI, 1, dir::ReadWrite);
    StartRun();
    comm::Refresh(config, env);
    vector.colItems()[0].Label.SetText("6");
    vector.colItems()[1].Label.SetText("7");
    script.Queue("WriteMI", { DriverAnswer::Fails() });
    comm::Refresh(config, env);
    ASSERT_FALSE(a.Connected);

    single.Label.SetText("5");
    now += 60;
    comm::Refresh(config, env); // re-opens
    script.Queue("OpenSerial", { DriverAnswer::Value(0), DriverAnswer::Fails() }); // read opens, write does not
    comm::Refresh(config, env);
    ASSERT_FALSE(a.Connected);
    now += 60;
    comm::Refresh(config, env);

    script.Clear();
    comm::Refresh(config, env);
    EXPECT_EQ(Count("WriteMI(10,1,6)"), 1);
    EXPECT_EQ(Count("WriteMI(11,1,7)"), 1);
    EXPECT_EQ(Count("WriteMI(1,1,5)"), 1);
}

TEST_F(ProjectCommTest, WritesFollowOnlyASuccessfulRead)
{
    auto& a = AddPlc("A");
    auto& item = AddItem(a, op::MI, 1, dir::ReadWrite);
    StartRun();
    item.Label.SetText("8");
    script.Queue("ReadBinaryMix", { DriverAnswer::Fails() });
    comm::Refresh(config, env);
    EXPECT_EQ(Count("WriteMI(1,1,8)"), 0);
    EXPECT_EQ(item.Label.Text(), "8") << "the poke survives the failed pass";
}

TEST_F(ProjectCommTest, RefusedPokesAreDroppedWhileThePlcKeepsFlowing)
{
    auto& a = AddPlc("A");
    auto& coil = AddItem(a, op::MB, 1, dir::ReadWrite);
    auto& word = AddItem(a, op::MI, 2, dir::Read);
    std::int32_t tick = 0;
    script.FillBinaryMix
        = [&](std::vector<common::BinaryMixEntry>& entries) { entries[1].Values[0].LongValue = ++tick; };
    StartRun();
    comm::Refresh(config, env);

    // Refused by the kind's rules, by the driver's check before the write, and by the write itself: none fails
    // the PLC, and the observer hears of each.
    script.WriteCheck = [](std::int32_t, std::int32_t, const comm::OperandWriteValue& value) {
        return std::get<std::uint8_t>(value) == 2
            ? std::optional(common::Refusal { common::Refusal::Kind::OutOfRange, "checked" })
            : std::nullopt;
    };
    script.Queue("WriteMB", { DriverAnswer::Refuses() });
    for (const char* poke : { "300", "2", "1" }) {
        coil.Label.SetText(poke);
        comm::Refresh(config, env);
        EXPECT_TRUE(a.Connected);
        EXPECT_EQ(coil.Label.Text(), "0") << "back to the published value";
    }
    EXPECT_EQ(observer.events,
              (Calls { "refused A lblDDE(1): '300' is out of range for MB (0 to 255)", "refused A lblDDE(1): checked",
                       "refused A lblDDE(1): scripted refusal" }));
    EXPECT_EQ(word.Label.Text(), "4") << "the other items kept updating";

    coil.Label.SetText("1");
    comm::Refresh(config, env);
    EXPECT_EQ(Count("WriteMB(1,1,1)"), 2) << "the good poke afterwards is written";
    EXPECT_EQ(observer.events.size(), 3u);
}

TEST_F(ProjectCommTest, WithoutConnectOnceNoChannelStaysOpenBetweenPasses)
{
    options.ConnectOnce = false;
    auto& a = AddPlc("A", common::plctype::Q40StandAlone);
    AddItem(a, op::MI, 1, dir::Read);
    AddItem(a, op::MI, 2, dir::Read);
    StartRun();
    comm::Refresh(config, env);
    // A channel per item; the pass ends with the channel closed and a fresh, unopened instance.
    EXPECT_EQ(Count("OpenSerial(1,57600,8,0,1,6000,3)"), 2);
    const auto calls = script.Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "CloseSerial()");
    EXPECT_EQ(calls.back(), "new");
}

TEST_F(ProjectCommTest, ClosingEveryChannelEndsARun)
{
    AddPlc("A");
    AddPlc("B", 0, model::PathWay::TcpIp);
    StartRun();
    comm::ClosePlcsComm(config, env);
    EXPECT_EQ(script.Calls(false), (Calls { "CloseSerial()", "CloseEthernet()" }));
}

TEST_F(ProjectCommTest, RunAndStopFindThePlcByNameWithoutRegardToCase)
{
    auto& first = AddPlc("Pump");
    auto& second = AddPlc("PUMP");
    ASSERT_TRUE(comm::OpenComm(first, env));
    ASSERT_TRUE(comm::OpenComm(second, env));
    script.Clear();

    EXPECT_TRUE(comm::StopPlc(config, "pump", env));
    EXPECT_TRUE(comm::RunPlc(config, "PuMp", env));
    EXPECT_EQ(script.Calls(), (Calls { "PlcStop()", "PlcRun()" }));
    EXPECT_EQ(comm::FindPlcByName(config, "pump"), &first) << "only the first of two equal names";
    EXPECT_FALSE(comm::RunPlc(config, "", env));
    EXPECT_FALSE(comm::StopPlc(config, "Pumps", env));

    // Every letter with a case, not only A to Z; bytes that are not UTF-8 must match as they are.
    auto& cooling = AddPlc("Kühlung");
    auto& greek = AddPlc("ΠΑΣ");
    auto& stray = AddPlc("L\xC3\x28");
    EXPECT_EQ(comm::FindPlcByName(config, "KÜHLUNG"), &cooling);
    EXPECT_EQ(comm::FindPlcByName(config, "πας"), &greek) << "final sigma";
    EXPECT_EQ(comm::FindPlcByName(config, "KUHLUNG"), nullptr);
    EXPECT_EQ(comm::FindPlcByName(config, "Kühl"), nullptr);
    EXPECT_EQ(comm::FindPlcByName(config, "l\xC3\x28"), &stray);
    EXPECT_EQ(comm::FindPlcByName(config, "l\xE3\x28"), nullptr);
}

TEST_F(ProjectCommTest, ProjectWithoutPlcsPassesQuietly)
{
    StartRun();
    comm::Refresh(config, env);
    EXPECT_TRUE(script.Calls().empty());
    EXPECT_TRUE(observer.events.empty());
}

struct RunStateCase
{
    const char* name;
    std::int32_t plcType;
    std::optional<bool> driverSays;
    std::optional<bool> plcRunning;
};

class PlcRunStateTest : public ProjectCommTest, public testing::WithParamInterface<RunStateCase>
{
};

TEST_P(PlcRunStateTest, TheBatchedReadTellsThePlcsRunStateAndAFailureForgetsIt)
{
    auto& plc = AddPlc("A", GetParam().plcType);
    AddItem(plc, op::MI, 1, dir::Read);
    script.Running = GetParam().driverSays;
    StartRun();

    comm::Refresh(config, env);
    EXPECT_EQ(plc.PlcRunning, GetParam().plcRunning);

    script.Queue("ReadBinaryMix", { DriverAnswer::Fails() });
    script.Queue("ReadMI", { DriverAnswer::Fails() });
    comm::Refresh(config, env);
    EXPECT_FALSE(plc.Connected);
    EXPECT_EQ(plc.PlcRunning, std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(ProjectComm, PlcRunStateTest,
                         testing::Values(RunStateCase { "Running", 0, true, true },
                                         RunStateCase { "Stopped", 3, false, false },
                                         RunStateCase { "DriverCannotSay", 0, std::nullopt, std::nullopt },
                                         // Read item by item: the run state is unknown whatever the driver says.
                                         RunStateCase { "ItemByItemFamily", 1, true, std::nullopt }),
                         [](const testing::TestParamInfo<RunStateCase>& param) { return param.param.name; });

TEST_F(ProjectCommTest, APlcWithAScanIntervalIsExchangedOncePerIntervalAndTheOthersInEveryPass)
{
    std::int64_t nowMs = 0;
    env.MonotonicMilliseconds = [&nowMs] { return nowMs; };
    auto& slow = AddPlc("Slow");
    auto& fast = AddPlc("Fast");
    model::CommParams params = slow.GetCommParams();
    params.ScanMs = 200;
    slow.SetCommParams(params);
    AddItem(slow, op::MI, 1, dir::Read);
    AddItem(fast, op::MI, 2, dir::Read);
    StartRun();

    // Twenty passes 50 ms apart: the slow PLC is due at 0, 200, 400, 600 and 800 ms.
    for (int pass = 0; pass < 20; ++pass, nowMs += 50) {
        comm::Refresh(config, env);
    }
    EXPECT_EQ(Count("ReadBinaryMix(3@1x1)"), 5);
    EXPECT_EQ(Count("ReadBinaryMix(3@2x1)"), 20);
    EXPECT_TRUE(slow.Connected) << "a PLC that is not due keeps its state";
    EXPECT_EQ(comm::MillisecondsUntilDue(slow, env), 0) << "at 1000 ms";
    nowMs -= 60;
    EXPECT_EQ(comm::MillisecondsUntilDue(slow, env), 60);
    EXPECT_EQ(comm::MillisecondsUntilDue(fast, env), 0);

    comm::ResetConnctedState(config);
    EXPECT_EQ(comm::MillisecondsUntilDue(slow, env), 0) << "a new run exchanges every PLC at once";
}

namespace {

class LabelOrder : public model::LabelObserver
{
public:
    std::vector<std::int32_t> changed;
    void LabelTextChanged(std::int32_t index, const std::string&) override { changed.push_back(index); }
};

// Opens a gate once, for a worker waiting on another.
class Gate
{
public:
    void Open()
    {
        std::lock_guard lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    bool Wait()
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(5), [this] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
};

} // namespace

TEST_F(ProjectCommTest, SideBySideResultsReachTheModelInProjectOrderWhicheverChannelAnswersFirst)
{
    // Three channels, the last to be asked answering first: each PLC's read waits until the next PLC's was
    // answered. Run one after another, the first read would wait for ever.
    std::vector<model::clsPlc*> plcs;
    for (std::int32_t i = 0; i < 3; ++i) {
        model::clsPlc& plc
            = AddPlc("P" + std::to_string(i), i == 1 ? common::plctype::Q40StandAlone : 0, model::PathWay::TcpIp);
        model::CommParams params = plc.Params();
        params.EthRemotePort = 502 + i;
        plc.SetCommParams(params);
        AddItem(plc, op::MI, i, dir::Read);
        plcs.push_back(&plc);
    }
    LabelOrder order;
    labels.AddObserver(&order);
    StartRun();
    Gate answered[3];
    std::atomic<bool> waitedInVain = false;
    const std::map<std::string, int> readOf { { "ReadBinaryMix(3@0x1)", 0 },
                                              { "ReadMI(1,1)", 1 },
                                              { "ReadBinaryMix(3@2x1)", 2 } };
    script.OnCall = [&](const std::string& call) {
        const auto read = readOf.find(call);
        if (read == readOf.end()) {
            return;
        }
        if (read->second < 2 && !answered[read->second + 1].Wait()) {
            waitedInVain = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the next PLC's answer is on its way back
        answered[read->second].Open();
    };
    comm::ChannelWorkers workers;
    comm::RefreshSideBySide(config, env, workers);
    script.OnCall = nullptr;
    labels.RemoveObserver(&order);

    EXPECT_FALSE(waitedInVain);
    EXPECT_EQ(workers.WorkerCount(), 3U);
    EXPECT_EQ(order.changed, (std::vector<std::int32_t> { 1, 2, 3 }));
    for (const model::clsPlc* plc : plcs) {
        EXPECT_TRUE(plc->Connected) << plc->Name;
        EXPECT_EQ(plc->colItems().front()->Label.Text(), "0") << plc->Name;
    }
}

TEST(ChannelWorkers, AChannelsJobsRunInTurnAndAThrowIsPassedOnOnceEveryJobEnded)
{
    comm::ChannelWorkers workers;
    std::vector<int> line;
    std::atomic<int> onLine = 0;
    std::atomic<bool> overlapped = false;
    std::vector<comm::ChannelWorkers::Job> jobs;
    for (int i = 0; i < 3; ++i) {
        jobs.push_back({ "line", [&, i] {
                            overlapped = overlapped || ++onLine > 1;
                            std::this_thread::sleep_for(std::chrono::milliseconds(5));
                            line.push_back(i);
                            --onLine;
                        } });
    }
    jobs.push_back({ "other", [] { throw std::runtime_error("broken"); } });
    EXPECT_THROW(workers.RunAndWait(jobs), std::runtime_error);
    EXPECT_EQ(line, (std::vector<int> { 0, 1, 2 }));
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(workers.WorkerCount(), 2U);

    workers.KeepOnly({ "line" });
    EXPECT_EQ(workers.WorkerCount(), 1U);
    jobs.resize(1);
    workers.RunAndWait(jobs); // a worker that stayed takes work again
    EXPECT_EQ(line, (std::vector<int> { 0, 1, 2, 0 }));
}
