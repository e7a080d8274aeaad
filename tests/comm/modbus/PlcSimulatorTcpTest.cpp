#include "support/DriverCalls.h"
#include "support/ModbusPeers.h"

#include "comm/ItemExchange.h"
#include "comm/ProjectComm.h"
#include "common/OperandCatalogue.h"
#include "common/ValueConversions.h"
#include "support/CommProject.h"

#include <sys/wait.h>

#include <csignal>
#include <thread>

using namespace tavrel::comm::modbus;
using namespace tavrel::test;
using tavrel::common::Currency;
using tavrel::common::OperandValue;
namespace op = tavrel::common::operand;
using Values = std::vector<OperandValue>;

namespace {

using namespace std::chrono_literals;

// The current value of timer 0, which runs by itself.
std::int32_t TimerZero(ModbusDriver& driver)
{
    std::int32_t ticks = -1;
    ReadEntry(driver, op::TBit, 0, 1, [&](const Values& values) {
        EXPECT_EQ(values[0].LongValue, 1) << "timer 0 runs";
        EXPECT_EQ(values[0].TimerPreset, 1000);
        ticks = values[0].TimerCurrent;
    });
    return ticks;
}

TEST(PlcSimulator, TimerZeroAndCounterZeroRunWhileThePlcRunsAndTheRunCoilStopsTheTimer)
{
    SimulatorProcess plc;
    ModbusDriver driver;
    ASSERT_TRUE(OpenTcp(driver, plc.Port())) << driver.LastError();
    const auto counter = [&] {
        Currency value;
        ReadEntry(driver, op::CBit, 0, 1, [&](const Values& v) {
            value = v[0].CurrencyValue;
            EXPECT_EQ(v[0].CounterPreset, Currency::FromWhole(10));
        });
        return value.scaled;
    };
    EXPECT_EQ(driver.PlcRunning(), std::nullopt) << "before any batched read";
    const std::int32_t first = TimerZero(driver);
    EXPECT_EQ(driver.PlcRunning(), true) << "the run coil comes with the batched read";
    const std::int64_t counted = counter();
    std::this_thread::sleep_for(1200ms);
    EXPECT_GE(TimerZero(driver) - first, 60) << "at least 600 ms of 10 ms ticks in 1200 ms";
    EXPECT_GE(counter() - counted, Currency::FromWhole(1).scaled) << "once a second";

    std::uint8_t status = 0xAA;
    ASSERT_TRUE(driver.PlcStop(status)) << driver.LastError();
    EXPECT_EQ(status, status::kDone);
    const std::int32_t stopped = TimerZero(driver);
    EXPECT_EQ(driver.PlcRunning(), false);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(TimerZero(driver), stopped);

    ASSERT_TRUE(driver.PlcRun(status)) << driver.LastError();
    std::this_thread::sleep_for(200ms);
    EXPECT_GT(TimerZero(driver), stopped);
}

TEST(PlcSimulator, ServesSeveralClientsAtOnce)
{
    SimulatorProcess plc;
    std::vector<std::unique_ptr<ModbusDriver>> drivers;
    for (int i = 0; i < 3; ++i) {
        drivers.push_back(std::make_unique<ModbusDriver>());
        ASSERT_TRUE(OpenTcp(*drivers.back(), plc.Port())) << drivers.back()->LastError();
    }
    std::uint8_t status = 0;
    for (int round = 0; round < 3; ++round) {
        for (std::size_t i = 0; i < drivers.size(); ++i) {
            const auto value = static_cast<std::int16_t>(100 * round + static_cast<int>(i));
            ASSERT_TRUE(WriteOne(&ModbusDriver::WriteMI, static_cast<std::int16_t>(i), value)(*drivers[i], status));
            // Each client sees what the others wrote.
            const std::size_t other = (i + 1) % drivers.size();
            EXPECT_TRUE(ExpectOne(&ModbusDriver::ReadMI, static_cast<std::int16_t>(i), value)(*drivers[other], status));
        }
    }
}

TEST(PlcSimulator, PlcTypes1And2KeepTimersAsRawWords)
{
    SimulatorProcess plc({ "--family", "q40" });
    ModbusDriver driver({}, tavrel::common::plctype::Q40StandAlone);
    ASSERT_TRUE(OpenTcp(driver, plc.Port())) << driver.LastError();
    std::uint8_t status = 0;
    // 50000 ticks do not fit the 10 ms base: the word holds 5000 counts of 100 ms.
    ASSERT_TRUE(WriteOne(&ModbusDriver::WriteTPreset, 3, Currency::FromWhole(50000))(driver, status));
    EXPECT_TRUE(ExpectOne(&ModbusDriver::ReadTPreset, 3, static_cast<std::int16_t>(0x8000 | 5000))(driver, status));
    EXPECT_EQ(tavrel::common::TimerWordToNumber(0x8000 | 5000), 500000); // milliseconds
    ReadEntry(driver, op::TBit, 3, 1, [](const Values& v) { EXPECT_EQ(v[0].TimerPreset, 50000); });

    // The raw word sits in one register at 12000 + a: the MI 12003 of a map whose MI base is 0 shows it.
    EXPECT_TRUE(ExpectOne(&ModbusDriver::ReadMI, 12003, static_cast<std::int16_t>(0x8000 | 5000))(driver, status));

    const auto first = [&] {
        std::int32_t ticks = 0;
        ReadEntry(driver, op::TBit, 0, 1, [&](const Values& v) { ticks = v[0].TimerCurrent; });
        return ticks;
    };
    const std::int32_t before = first();
    std::this_thread::sleep_for(200ms);
    EXPECT_GT(first(), before);
}

TEST(PlcSimulator, PokesThePlcCannotHoldAreDroppedWhileItsOtherItemsKeepFlowing)
{
    namespace dir = tavrel::common::direction;
    SimulatorProcess simulator;
    CommProject project;
    auto& config = project.config;
    auto& env = project.env;
    tavrel::model::CommParams params = TcpParams(simulator.Port());
    params.TimeOut = 1000;
    params.NumRetries = 1;
    auto& plc = project.AddPlc("Sim", params);
    auto& coil = project.AddItem(plc, op::MB, 5, dir::ReadWrite);
    auto& doubleWord = project.AddItem(plc, op::DW, 2, dir::ReadWrite);
    auto& preset = project.AddItem(plc, op::TPreset, 3, dir::ReadWrite);
    auto& running = project.AddItem(plc, op::TCurrent, 0, dir::Read); // timer 0 runs by itself
    env.CreateDriver = ModbusDrivers();
    tavrel::comm::BuildBinaryMix(config);
    tavrel::comm::ResetConnctedState(config);
    tavrel::comm::OpenPlcsComm(config, env);
    tavrel::comm::Refresh(config, env);
    ASSERT_TRUE(plc.Connected) << plc.LastError;

    struct Poke
    {
        tavrel::model::Clsitem* item;
        std::string text;
        bool kindRefuses; ///< refused by the kind's rules alone, without asking the driver
        tavrel::common::Refusal::Kind kind;
    };
    // One value the driver refuses and one the kind's rules refuse; ModbusDriverTest and ItemExchangeTest hold the
    // rest of each list.
    const std::vector<Poke> refusedPokes { { &coil, "2", false, tavrel::common::Refusal::Kind::OutOfRange },
                                           { &preset, "10", true, tavrel::common::Refusal::Kind::BadValue } };
    const auto checker = env.CreateDriver(plc);
    for (const Poke& poke : refusedPokes) {
        SCOPED_TRACE("poke '" + poke.text + "' into "
                     + std::string(tavrel::common::OperandTypeName(poke.item->OperandType)));
        const auto problem = tavrel::comm::CheckPoke(*poke.item, poke.text, checker.get());
        ASSERT_TRUE(problem.has_value());
        EXPECT_EQ(problem->kind, poke.kind) << problem->reason;
        EXPECT_EQ(tavrel::comm::CheckPoke(*poke.item, poke.text, nullptr).has_value(), poke.kindRefuses);
        // Should one reach a label all the same, the write pass drops it and the PLC goes on.
        const std::string timerBefore = running.Label.Text();
        project.observer.events.clear();
        poke.item->Label.SetText(poke.text);
        std::this_thread::sleep_for(30ms);
        tavrel::comm::Refresh(config, env);
        EXPECT_TRUE(plc.Connected) << plc.LastError;
        ASSERT_EQ(project.observer.events.size(), 1u);
        EXPECT_TRUE(project.observer.events[0].starts_with("refused Sim lblDDE(")) << project.observer.events[0];
        EXPECT_NE(poke.item->Label.Text(), poke.text);
        EXPECT_NE(running.Label.Text(), timerBefore) << "the other items keep updating";
    }

    for (auto& [item, text] : std::vector<std::pair<tavrel::model::Clsitem*, std::string>> {
             { &coil, "1" }, { &doubleWord, "4294967295" }, { &preset, "00:01:30.00" } }) {
        ASSERT_EQ(tavrel::comm::CheckPoke(*item, text, checker.get()), std::nullopt);
        item->Label.SetText(text);
    }
    project.observer.events.clear();
    tavrel::comm::Refresh(config, env);
    EXPECT_TRUE(project.observer.events.empty());
    tavrel::comm::ClosePlcsComm(config, env);

    ModbusDriver reader;
    ASSERT_TRUE(OpenTcp(reader, simulator.Port())) << reader.LastError();
    std::uint8_t status = 0;
    EXPECT_TRUE(ExpectOne<std::uint8_t>(&ModbusDriver::ReadMB, 5, 1)(reader, status));
    EXPECT_TRUE(ExpectOne(&ModbusDriver::ReadDW, 2, Currency::FromWhole(4294967295))(reader, status));
    ReadEntry(reader, op::TBit, 3, 1, [](const Values& v) { EXPECT_EQ(v[0].TimerPreset, 9000); });
}

TEST(PlcSimulator, DirectIsUnit255OverTcp)
{
    SimulatorProcess plc255({ "--unit", "255" });
    ModbusDriver direct;
    ASSERT_TRUE(OpenTcp(direct, plc255.Port(), 1000, 1, 0));
    std::uint8_t status = 0;
    EXPECT_TRUE(ExpectOne<std::int16_t>(&ModbusDriver::ReadMI, 0, 0)(direct, status)) << direct.LastError();

    SimulatorProcess plc7({ "--unit", "7" });
    ModbusDriver wrongUnit;
    ASSERT_TRUE(OpenTcp(wrongUnit, plc7.Port(), 1000, 1, 0));
    std::int16_t word = 0;
    EXPECT_FALSE(wrongUnit.ReadMI(0, 1, std::span(&word, 1), status));
    EXPECT_EQ(status, MODBUS_EXCEPTION_GATEWAY_TARGET);
    EXPECT_NE(wrongUnit.LastError().find("exception 11"), std::string::npos) << wrongUnit.LastError();

    ModbusDriver unit7;
    ASSERT_TRUE(OpenTcp(unit7, plc7.Port(), 1000, 1, 7));
    EXPECT_TRUE(unit7.ReadMI(0, 1, std::span(&word, 1), status)) << unit7.LastError();
}

TEST(PlcSimulator, VectorsLongerThanARequestAreSplitAndWhole)
{
    // Seven registers and 50 bits a request split the writes and the reads many times over.
    SimulatorProcess plc;
    OperandMap map;
    map.SetMaxRegistersPerRequest(7);
    map.SetMaxBitsPerRequest(50);
    ModbusDriver driver(map);
    ASSERT_TRUE(OpenTcp(driver, plc.Port())) << driver.LastError();
    std::vector<std::int16_t> words(300);
    std::vector<std::uint8_t> bits(2500);
    std::vector<std::int32_t> longs(100);
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = static_cast<std::int16_t>(7000 + static_cast<int>(i));
    }
    for (std::size_t i = 0; i < bits.size(); ++i) {
        bits[i] = (i * 7) % 5 == 0 ? 1 : 0;
    }
    for (std::size_t i = 0; i < longs.size(); ++i) {
        longs[i] = -70000 * static_cast<std::int32_t>(i) - 7;
    }
    std::uint8_t status = 0;
    ASSERT_TRUE(driver.WriteMI(0, 300, words, status)) << driver.LastError();
    ASSERT_TRUE(driver.WriteMB(0, 2500, bits, status)) << driver.LastError();
    ASSERT_TRUE(driver.WriteML(0, 100, longs, status)) << driver.LastError();

    std::vector<tavrel::common::BinaryMixEntry> entries { { 0, op::MI, 0, 300, {} },
                                                          { 0, op::MB, 0, 2500, {} },
                                                          { 0, op::ML, 0, 100, {} } };
    ASSERT_TRUE(driver.ReadBinaryMix(entries, status)) << driver.LastError();
    for (std::size_t i = 0; i < words.size(); ++i) {
        ASSERT_EQ(entries[0].Values[i].LongValue, words[i]) << "MI " << i;
    }
    for (std::size_t i = 0; i < bits.size(); ++i) {
        ASSERT_EQ(entries[1].Values[i].LongValue, bits[i]) << "MB " << i;
    }
    for (std::size_t i = 0; i < longs.size(); ++i) {
        ASSERT_EQ(entries[2].Values[i].LongValue, longs[i]) << "ML " << i;
    }
}

TEST(PlcSimulator, EachBatchedListIsReadAsItIsNow)
{
    SimulatorProcess plc;
    ModbusDriver driver;
    ASSERT_TRUE(OpenTcp(driver, plc.Port())) << driver.LastError();
    std::vector<std::int16_t> words(40);
    for (std::size_t i = 0; i < words.size(); ++i) {
        words[i] = static_cast<std::int16_t>(i * 3);
    }
    std::uint8_t status = 0;
    ASSERT_TRUE(driver.WriteMI(0, 40, words, status)) << driver.LastError();

    // The driver keeps the plan of a list it read; a list that differs in any entry must not reuse it.
    const auto read = [&](std::vector<tavrel::common::BinaryMixEntry> entries) {
        EXPECT_TRUE(driver.ReadBinaryMix(entries, status)) << driver.LastError();
        std::vector<std::int32_t> values;
        for (const auto& entry : entries) {
            for (const auto& value : entry.Values) {
                values.push_back(value.LongValue);
            }
        }
        return values;
    };
    EXPECT_EQ(read({ { 0, op::MI, 1, 2, {} }, { 0, op::MI, 10, 1, {} } }), (std::vector<std::int32_t> { 3, 6, 30 }));
    EXPECT_EQ(read({ { 0, op::MI, 1, 2, {} }, { 0, op::MI, 11, 1, {} } }), (std::vector<std::int32_t> { 3, 6, 33 }));
    EXPECT_EQ(read({ { 0, op::MI, 2, 2, {} }, { 0, op::MI, 11, 1, {} } }), (std::vector<std::int32_t> { 6, 9, 33 }));
    EXPECT_EQ(read({ { 0, op::MI, 2, 3, {} }, { 0, op::MI, 11, 1, {} } }),
              (std::vector<std::int32_t> { 6, 9, 12, 33 }));
    EXPECT_EQ(read({ { 0, op::MI, 2, 3, {} }, { 0, op::O, 11, 1, {} } }), (std::vector<std::int32_t> { 6, 9, 12, 0 }));
    for (const auto& bad : { tavrel::common::BinaryMixEntry { 0, op::MI, 70000, 1, {} },
                             tavrel::common::BinaryMixEntry { 0, op::TPreset, 0, 1, {} } }) {
        std::vector<tavrel::common::BinaryMixEntry> entries { { 0, op::MI, 2, 3, {} }, bad };
        EXPECT_FALSE(driver.ReadBinaryMix(entries, status));
        EXPECT_EQ(status, status::kRefused);
        EXPECT_TRUE(entries[0].Values.empty());
    }
    EXPECT_EQ(read({ { 0, op::MI, 1, 2, {} }, { 0, op::MI, 10, 1, {} } }), (std::vector<std::int32_t> { 3, 6, 30 }));
}

TEST(PlcSimulator, StopsCleanlyOnSigtermAndSigint)
{
    for (const int signal : { SIGTERM, SIGINT }) {
        SimulatorProcess plc;
        ModbusDriver driver;
        ASSERT_TRUE(OpenTcp(driver, plc.Port())) << driver.LastError();
        const auto status = plc.Process().Stop(signal, 5s);
        ASSERT_TRUE(status) << "still running after signal " << signal;
        EXPECT_TRUE(WIFEXITED(*status));
        EXPECT_EQ(WEXITSTATUS(*status), 0);
    }
}

} // namespace
