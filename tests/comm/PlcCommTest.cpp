#include "comm/PlcComm.h"

#include "common/OperandCatalogue.h"
#include "support/CommFixture.h"

#include <gtest/gtest.h>

#include <functional>

using namespace tavrel;
using namespace tavrel::test;
using Calls = std::vector<std::string>;
namespace op = common::operand;
namespace dir = common::direction;

class PlcCommTest : public CommFixture
{
};

TEST_F(PlcCommTest, OpenHandsOverTheSerialBlockOrSetsUpTheHostBeforeConnecting)
{
    auto& serial = AddPlc("Line_1");
    auto params = serial.GetCommParams();
    params.UnitId = 7;
    params.SerialComPort = 3;
    params.SerialBaudRate = 9600;
    serial.SetCommParams(params);
    EXPECT_TRUE(comm::OpenComm(serial, env));
    EXPECT_EQ(script.Calls(), (Calls{"new", "SetUnitId(7)", "OpenSerial(3,9600,8,0,1,6000,3)"}));
    EXPECT_NE(serial.Driver(), nullptr);

    script.Clear();
    auto& tcp = AddPlc("Line_2", 0, model::PathWay::TcpIp);
    EXPECT_TRUE(comm::OpenComm(tcp, env));
    EXPECT_EQ(script.Calls(), (Calls{"new", "SetUnitId(0)", "SetEthernetMode(0)", "SetRemoteHost(127.0.0.1)",
                                     "SetRemotePort(502)", "SetTimeOut(6000)", "SetRetries(3)", "ConnectEthernet()",
                                     "OpenEthernet()"}));
}

TEST_F(PlcCommTest, AnOpenThatFailsLeavesNoDriverAndSaysWhy)
{
    const struct
    {
        const char* name;
        model::PathWay pathWay;
        std::int32_t unitId;
        std::function<void()> prepare;
        Calls calls;
        std::string reason;
    } cases[] = {
        { "a nonzero connect status skips OpenEthernet",
          model::PathWay::TcpIp,
          0,
          [&] { script.ConnectStatus = 5; },
          { "SetUnitId(0)", "SetEthernetMode(0)", "SetRemoteHost(127.0.0.1)", "SetRemotePort(502)", "SetTimeOut(6000)",
            "SetRetries(3)", "ConnectEthernet()" },
          "" },
        { "path way 0", model::PathWay { 0 }, 0, [] {}, { "SetUnitId(0)" }, "connection type 0" },
        { "path way 3", model::PathWay { 3 }, 0, [] {}, { "SetUnitId(0)" }, "connection type 3" },
        { "unit ID beyond one byte, before any driver call", model::PathWay::Serial, 300, [] {}, {}, "300" },
        { "a throwing open",
          model::PathWay::Serial,
          0,
          [&] { script.Queue("OpenSerial", { DriverAnswer::Throws() }); },
          { "SetUnitId(0)", "OpenSerial(1,57600,8,0,1,6000,3)" },
          "could not be opened" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        script.Clear();
        script.ConnectStatus = 0;
        auto& plc = AddPlc(c.name, 0, c.pathWay);
        auto params = plc.GetCommParams();
        params.UnitId = c.unitId;
        plc.SetCommParams(params);
        c.prepare();
        EXPECT_FALSE(comm::OpenComm(plc, env));
        EXPECT_EQ(script.Calls(false), c.calls);
        EXPECT_EQ(plc.Driver(), nullptr);
        EXPECT_NE(plc.LastError.find(c.reason), std::string::npos) << plc.LastError;
    }
}

TEST_F(PlcCommTest, WithoutConnectOnceEveryCommandOpensAndCloses)
{
    options.ConnectOnce = false;
    auto& plc = AddPlc("Line_1");
    EXPECT_TRUE(comm::StopMe(plc, env));
    EXPECT_TRUE(comm::StopMe(plc, env));
    const Calls pair{"new", "SetUnitId(0)", "OpenSerial(1,57600,8,0,1,6000,3)", "PlcStop()", "CloseSerial()", "new"};
    Calls expected = pair;
    expected.insert(expected.end(), pair.begin(), pair.end());
    EXPECT_EQ(script.Calls(), expected);
}

TEST_F(PlcCommTest, WithConnectOnceACommandUsesTheOpenChannel)
{
    auto& plc = AddPlc("Line_1");
    ASSERT_TRUE(comm::OpenComm(plc, env));
    script.Clear();
    EXPECT_TRUE(comm::RunMe(plc, env));
    EXPECT_EQ(script.Calls(), (Calls{"PlcRun()"}));

    // After a close the fresh instance is used as it is, unopened.
    comm::CloseComm(plc, env);
    script.Clear();
    EXPECT_TRUE(comm::StopMe(plc, env));
    EXPECT_EQ(script.Calls(), (Calls{"PlcStop()"}));
}

TEST_F(PlcCommTest, CommandOnAChannelThatWillNotOpenFailsWithoutADriverCall)
{
    auto& plc = AddPlc("Line_1");
    script.Always("OpenSerial", DriverAnswer::Fails());
    EXPECT_FALSE(comm::StopMe(plc, env));
    EXPECT_EQ(std::count(script.calls.begin(), script.calls.end(), "PlcStop()"), 0);
}

TEST_F(PlcCommTest, BinaryMixHasOneEntryPerEnabledReadableItemOfABatchedPlc)
{
    auto& plc = AddPlc("Line_1");
    AddItem(plc, op::MB, 1, dir::Read);
    AddItem(plc, op::MI, 2, dir::Write);                 // never read
    AddItem(plc, op::MI, 3, dir::ReadWrite, 1, false);   // disabled
    AddItem(plc, op::TCurrent, 5, dir::Read);
    AddItem(plc, op::CPreset, 6, dir::ReadWrite, 10);
    comm::BuildBinaryMix(plc);

    ASSERT_EQ(plc.BinaryMixCount, 3);
    const std::vector<std::array<std::int32_t, 3>> expected{{1, 1, 1}, {11, 5, 1}, {12, 6, 10}};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(plc.BinaryMix[i].MixType, expected[i][0]);
        EXPECT_EQ(plc.BinaryMix[i].StartAddress, expected[i][1]);
        EXPECT_EQ(plc.BinaryMix[i].Count, expected[i][2]);
    }

    auto& q40 = AddPlc("Q", common::plctype::Q40StandAlone); // read item by item
    AddItem(q40, op::MI, 2, dir::Read);
    comm::BuildBinaryMix(q40);
    EXPECT_EQ(q40.BinaryMixCount, 0);

    // A batched PLC with nothing to read reads nothing, and that is no failure.
    auto& idle = AddPlc("Idle");
    AddItem(idle, op::MI, 2, dir::Write);
    comm::BuildBinaryMix(idle);
    EXPECT_EQ(idle.BinaryMixCount, 0);
    EXPECT_TRUE(comm::ReadItemValuesAndUpdateItems(idle, env));
    EXPECT_TRUE(script.Calls().empty());
}

TEST_F(PlcCommTest, BatchedValuesPairWithItemsPastDisabledAndWriteOnlyOnes)
{
    auto& plc = AddPlc("Line_1");
    auto& first = AddItem(plc, op::MI, 1, dir::Read);
    AddItem(plc, op::MI, 2, dir::Read, 1, false);
    AddItem(plc, op::MI, 3, dir::Write);
    auto& vector = AddItem(plc, op::MI, 4, dir::Read, 2);
    auto& last = AddItem(plc, op::MI, 9, dir::Read);
    comm::BuildBinaryMix(plc);
    script.FillBinaryMix = [](std::vector<common::BinaryMixEntry>& entries) {
        for (auto& entry : entries) {
            for (std::size_t i = 0; i < entry.Values.size(); ++i) {
                entry.Values[i].LongValue = entry.StartAddress * 10 + static_cast<std::int32_t>(i);
            }
        }
    };

    ASSERT_TRUE(comm::ReadItemValuesAndUpdateItems(plc, env));
    EXPECT_EQ(script.Calls(), (Calls{"new", "SetUnitId(0)", "OpenSerial(1,57600,8,0,1,6000,3)",
                                     "ReadBinaryMix(3@1x1;3@4x2;3@9x1)"}));
    EXPECT_EQ(first.Label.Text(), "10");
    EXPECT_EQ(vector.colItems()[0].Label.Text(), "40");
    EXPECT_EQ(vector.colItems()[1].Label.Text(), "41");
    EXPECT_EQ(last.Label.Text(), "90");
}

TEST_F(PlcCommTest, FailedBatchedReadChangesNoLabel)
{
    auto& plc = AddPlc("Line_1");
    auto& item = AddItem(plc, op::MI, 1, dir::Read);
    item.Label.SetText("5");
    comm::BuildBinaryMix(plc);
    script.Queue("ReadBinaryMix", {DriverAnswer::Fails()});
    EXPECT_FALSE(comm::ReadItemValuesAndUpdateItems(plc, env));
    EXPECT_EQ(item.Label.Text(), "5");
    EXPECT_FALSE(plc.LastError.empty());
}

TEST_F(PlcCommTest, ItemByItemReadCountsAChannelThatWillNotOpenAsAFailure)
{
    auto& plc = AddPlc("Q", common::plctype::Q40ViaOrbis);
    AddItem(plc, op::MI, 1, dir::ReadWrite);
    AddItem(plc, op::MI, 2, dir::ReadWrite);
    script.Always("OpenSerial", DriverAnswer::Fails());
    const auto opens = [&] { return std::count(script.calls.begin(), script.calls.end(), "OpenSerial(1,57600,8,0,1,6000,3)"); };

    EXPECT_FALSE(comm::ReadItemValuesAndUpdateItems(plc, env));
    EXPECT_EQ(opens(), 1) << "one attempt per pass, not one per item";
    EXPECT_FALSE(comm::WriteItemValuesAndUpdateItems(plc, env));
    EXPECT_EQ(opens(), 2);
}

TEST_F(PlcCommTest, ItemByItemReadGoesOnAfterAFailedItemButReportsIt)
{
    auto& plc = AddPlc("Q", common::plctype::Q40StandAlone);
    auto& a = AddItem(plc, op::MI, 1, dir::Read);
    auto& b = AddItem(plc, op::MI, 2, dir::Read);
    script.Queue("ReadMI", {DriverAnswer::Fails(), DriverAnswer::Value(7)});
    EXPECT_FALSE(comm::ReadItemValuesAndUpdateItems(plc, env));
    EXPECT_EQ(a.Label.Text(), "");
    EXPECT_EQ(b.Label.Text(), "7");
}

TEST_F(PlcCommTest, UnknownPlcTypeFailsEveryReadWithoutChannelActivity)
{
    auto& plc = AddPlc("Odd", 9);
    AddItem(plc, op::MI, 1, dir::Read);
    EXPECT_FALSE(comm::ReadItemValuesAndUpdateItems(plc, env));
    EXPECT_TRUE(script.Calls().empty());
}

TEST_F(PlcCommTest, WritePassWithoutPokesSucceedsWithOneIdleReadPerWritableItem)
{
    auto& plc = AddPlc("Line_1");
    AddItem(plc, op::MI, 1, dir::ReadWrite);
    AddItem(plc, op::MI, 2, dir::Read);
    AddItem(plc, op::ML, 3, dir::Write);
    ASSERT_TRUE(comm::OpenComm(plc, env));
    script.Clear();
    EXPECT_TRUE(comm::WriteItemValuesAndUpdateItems(plc, env));
    EXPECT_EQ(script.Calls(), (Calls{"ReadMI(0,1)", "ReadMI(0,1)"}));
}
