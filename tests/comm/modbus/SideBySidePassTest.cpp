// Side-by-side passes against real channels: a serial line that two PLCs share, and TCP PLCs that hang up.

#include "support/ModbusPeers.h"

#include "comm/ProjectComm.h"
#include "common/OperandCatalogue.h"
#include "support/CommProject.h"

using namespace tavrel;
using namespace tavrel::test;
namespace op = tavrel::common::operand;
namespace dir = tavrel::common::direction;

namespace {

using namespace std::chrono_literals;

class SideBySidePass : public testing::Test, public CommProject
{
protected:
    SideBySidePass()
    {
        comm::modbus::OperandMap map;
        map.SetSerialDevice(1, line.EndB().string());
        env.CreateDriver = ModbusDrivers(map);
    }

    // A PLC with one Read/Write item, MI `address`, holding a poke.
    void AddPokedPlc(const std::string& name, model::CommParams params, std::int32_t address, const char* poke)
    {
        params.TimeOut = 1000;
        params.NumRetries = 0;
        AddItem(AddPlc(name, params), op::MI, address, dir::ReadWrite).Label.SetText(poke);
    }

    static model::CommParams Serial(std::int32_t unitId)
    {
        model::CommParams params;
        params.PathWay = model::PathWay::Serial;
        params.SerialComPort = 1;
        params.SerialBaudRate = 115200;
        params.UnitId = unitId;
        return params;
    }

    void Passes(int count)
    {
        for (int i = 0; i < count; ++i) {
            comm::RefreshSideBySide(config, env, workers);
        }
    }

    SerialLinePair line;
    comm::ChannelWorkers workers;
};

} // namespace

TEST_F(SideBySidePass, PlcsSharingASerialLineTakeTurnsOnItWhileATcpPlcGoesOnBesideThem)
{
    // Both unit IDs reach the simulator's slave (0 is "Direct"): requests of the two PLCs that met on the line
    // would garble each other's frames, and the PLCs would fail.
    const auto serial = SimulatorProcess::OnSerialLine(line.EndA(), 115200, { "--unit", "1" });
    SimulatorProcess tcp;
    AddPokedPlc("A", Serial(0), 10, "11");
    AddPokedPlc("B", Serial(1), 11, "22");
    AddPokedPlc("T", TcpParams(tcp.Port()), 12, "33");

    comm::BuildBinaryMix(config);
    comm::ResetConnctedState(config);
    comm::OpenPlcsComm(config, env, workers);
    Passes(6); // note the pokes, write them, read them back, again and again on one line
    comm::ClosePlcsComm(config, env, workers);

    EXPECT_EQ(observer.events, std::vector<std::string> {});
    EXPECT_EQ(workers.WorkerCount(), 2U) << "one worker for the line, one for the TCP PLC";
    const char* expected[] = { "11", "22", "33" };
    for (std::size_t i = 0; i < 3; ++i) {
        const model::clsPlc& plc = *config.colPlcs()[i];
        EXPECT_TRUE(plc.Connected) << plc.Name << ": " << plc.LastError;
        EXPECT_EQ(plc.colItems().front()->Label.Text(), expected[i]) << plc.Name;
    }
}

TEST_F(SideBySidePass, APlcThatHangsUpIsMarkedWithItsReasonAndRetriedWhileTheOthersGoOn)
{
    SimulatorProcess first;
    auto second = std::make_unique<SimulatorProcess>();
    SimulatorProcess third;
    AddPokedPlc("P1", TcpParams(first.Port()), 0, "1");
    AddPokedPlc("P2", TcpParams(second->Port()), 0, "2");
    AddPokedPlc("P3", TcpParams(third.Port()), 0, "3");
    comm::BuildBinaryMix(config);
    comm::ResetConnctedState(config);
    comm::OpenPlcsComm(config, env, workers);
    Passes(3);
    ASSERT_EQ(observer.events, std::vector<std::string> {});

    ASSERT_TRUE(second->Process().Stop(SIGKILL, 5s).has_value());
    labels.SetText(config.colPlcs()[0]->colItems().front()->Label.Index(), "4"); // a poke on a PLC still there
    labels.SetText(config.colPlcs()[2]->colItems().front()->Label.Index(), "6");
    Passes(3);
    const std::string key = std::to_string(config.colPlcs()[1]->Key);
    EXPECT_EQ(observer.events, std::vector<std::string> { "not connected " + key });
    EXPECT_FALSE(config.colPlcs()[1]->Connected);
    EXPECT_FALSE(config.colPlcs()[1]->LastError.empty());
    EXPECT_EQ(config.colPlcs()[0]->colItems().front()->Label.Text(), "4");
    EXPECT_EQ(config.colPlcs()[2]->colItems().front()->Label.Text(), "6");

    // Its wait is over: re-opened (it counts as connected), then found gone again in the pass after.
    now += comm::kReconnectDelaySeconds;
    Passes(2);
    EXPECT_EQ(observer.events,
              (std::vector<std::string> { "not connected " + key, "connected " + key, "not connected " + key }));
    EXPECT_TRUE(config.colPlcs()[0]->Connected);
    EXPECT_TRUE(config.colPlcs()[2]->Connected);
    comm::ClosePlcsComm(config, env, workers);
}
