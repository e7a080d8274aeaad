// The driver against an independent Modbus implementation: pymodbus, holding the known contents of ModbusPeers.h.

#include "support/DriverCalls.h"
#include "support/ModbusPeers.h"

#include "common/OperandCatalogue.h"
#include "common/ValueConversions.h"

#include <bit>
#include <functional>
#include <map>

using namespace tavrel::comm::modbus;
using namespace tavrel::test;
using tavrel::common::Currency;
using tavrel::common::OperandValue;
namespace op = tavrel::common::operand;
using Values = std::vector<OperandValue>;

namespace {

using namespace std::chrono_literals;

std::uint32_t PeerLong(int address, WordOrder order = WordOrder::HighWordFirst)
{
    const std::uint32_t first = PeerRegister(address);
    const std::uint32_t second = PeerRegister(address + 1);
    return order == WordOrder::HighWordFirst ? (first << 16) | second : (second << 16) | first;
}

class PymodbusPeerTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(OpenTcp(m_driver, m_peer.Port())) << m_driver.LastError(); }

    PymodbusPeer m_peer;
    ModbusDriver m_driver;
    std::uint8_t m_status = 0xAA;
};

TEST_F(PymodbusPeerTest, EveryKindReadOneAtATimeMatchesTheKnownContents)
{
    for (const std::int16_t a : {std::int16_t{0}, std::int16_t{1}, std::int16_t{5}, std::int16_t{31}}) {
        const DriverCall reads[] = {
            ExpectOne(&ModbusDriver::ReadO, a, PeerCoil(a)),
            ExpectOne(&ModbusDriver::ReadMB, a, PeerCoil(1000 + a)),
            ExpectOne(&ModbusDriver::ReadSB, a, PeerCoil(10000 + a)),
            ExpectOne(&ModbusDriver::ReadXB, a, PeerCoil(11000 + a)),
            ExpectOne(&ModbusDriver::ReadI, a, PeerInput(a)),
            ExpectOne(&ModbusDriver::ReadCBit, a, PeerInput(2000 + a)),
            ExpectOne(&ModbusDriver::ReadMI, a, static_cast<std::int16_t>(PeerRegister(a))),
            ExpectOne(&ModbusDriver::ReadSI, a, static_cast<std::int16_t>(PeerRegister(5000 + a))),
            ExpectOne(&ModbusDriver::ReadXI, a, static_cast<std::int16_t>(PeerRegister(6000 + a))),
            ExpectOne(&ModbusDriver::ReadML, a, static_cast<std::int32_t>(PeerLong(7000 + 2 * a))),
            ExpectOne(&ModbusDriver::ReadSL, a, static_cast<std::int32_t>(PeerLong(8100 + 2 * a))),
            ExpectOne(&ModbusDriver::ReadXL, a, static_cast<std::int32_t>(PeerLong(8700 + 2 * a))),
            ExpectOne(&ModbusDriver::ReadMF, a, std::bit_cast<float>(PeerLong(9300 + 2 * a))),
            ExpectOne(&ModbusDriver::ReadDW, a, Currency::FromWhole(PeerLong(9900 + 2 * a))),
            ExpectOne(&ModbusDriver::ReadXDW, a, Currency::FromWhole(PeerLong(11100 + 2 * a))),
            ExpectOne(&ModbusDriver::ReadCCurrent, a, Currency::FromWhole(PeerLong(14000 + 2 * a))),
            ExpectOne(&ModbusDriver::ReadCPreset, a, Currency::FromWhole(PeerLong(14600 + 2 * a))),
        };
        for (const DriverCall& read : reads) {
            EXPECT_TRUE(read(m_driver, m_status)) << m_driver.LastError();
        }
    }
}

OperandValue Bit(std::uint8_t bit)
{
    return OperandValue{bit, 0, 0, {}, {}};
}
OperandValue Word(int address)
{
    return OperandValue{static_cast<std::int16_t>(PeerRegister(address)), 0, 0, {}, {}};
}
OperandValue Long(std::uint32_t value)
{
    return OperandValue{static_cast<std::int32_t>(value), 0, 0, {}, {}};
}
OperandValue Double(int address)
{
    return OperandValue{0, 0, 0, Currency::FromWhole(PeerLong(address)), {}};
}

// The record a batched read must give for operand a of each mix type, from the peer's known contents.
const std::map<std::int32_t, std::function<OperandValue(int)>> kExpected{
    {op::O, [](int a) { return Bit(PeerCoil(a)); }},
    {op::MB, [](int a) { return Bit(PeerCoil(1000 + a)); }},
    {op::SB, [](int a) { return Bit(PeerCoil(10000 + a)); }},
    {op::XB, [](int a) { return Bit(PeerCoil(11000 + a)); }},
    {op::I, [](int a) { return Bit(PeerInput(a)); }},
    {op::MI, [](int a) { return Word(a); }},
    {op::SI, [](int a) { return Word(5000 + a); }},
    {op::XI, [](int a) { return Word(6000 + a); }},
    {op::ML, [](int a) { return Long(PeerLong(7000 + 2 * a)); }},
    {op::SL, [](int a) { return Long(PeerLong(8100 + 2 * a)); }},
    {op::XL, [](int a) { return Long(PeerLong(8700 + 2 * a)); }},
    // The float's halves exchanged: its second register in the high half.
    {op::MF, [](int a) { return Long(PeerLong(9300 + 2 * a, WordOrder::LowWordFirst)); }},
    {op::DW, [](int a) { return Double(9900 + 2 * a); }},
    {op::SDW, [](int a) { return Double(10500 + 2 * a); }},
    {op::XDW, [](int a) { return Double(11100 + 2 * a); }},
    {op::TBit,
     [](int a) {
         return OperandValue{PeerInput(1000 + a), static_cast<std::int32_t>(PeerLong(13000 + 2 * a)),
                             static_cast<std::int32_t>(PeerLong(12000 + 2 * a)), {}, {}};
     }},
    {op::CBit,
     [](int a) {
         return OperandValue{PeerInput(2000 + a), 0, 0, Currency::FromWhole(PeerLong(14000 + 2 * a)),
                             Currency::FromWhole(PeerLong(14600 + 2 * a))};
     }},
};

TEST_F(PymodbusPeerTest, ABatchedReadOfEveryKindMatchesTheKnownContents)
{
    constexpr std::int32_t kStart = 4;
    constexpr std::int32_t kCount = 3;
    std::vector<tavrel::common::BinaryMixEntry> entries;
    for (const auto& [mixType, expected] : kExpected) {
        entries.push_back({0, mixType, kStart, kCount, {}});
    }
    ASSERT_TRUE(m_driver.ReadBinaryMix(entries, m_status)) << m_driver.LastError();
    EXPECT_EQ(m_status, status::kDone);
    for (const auto& entry : entries) {
        ASSERT_EQ(entry.Values.size(), static_cast<std::size_t>(kCount));
        for (std::int32_t i = 0; i < kCount; ++i) {
            const OperandValue& actual = entry.Values[static_cast<std::size_t>(i)];
            const OperandValue expected = kExpected.at(entry.MixType)(kStart + i);
            SCOPED_TRACE(std::string(tavrel::common::OperandTypeName(entry.MixType)) + " " + std::to_string(kStart + i));
            EXPECT_EQ(actual.LongValue, expected.LongValue);
            EXPECT_EQ(actual.TimerCurrent, expected.TimerCurrent);
            EXPECT_EQ(actual.TimerPreset, expected.TimerPreset);
            EXPECT_EQ(actual.CurrencyValue, expected.CurrencyValue);
            EXPECT_EQ(actual.CounterPreset, expected.CounterPreset);
        }
    }
}

TEST_F(PymodbusPeerTest, EveryWritableKindWrittenOneAtATimeReadsBackBatched)
{
    constexpr std::int16_t a = 20;
    const DriverCall writes[] = {
        // Each bit is written the opposite of what the peer holds there: coils 20, 11020 off; 1020, 10020 on.
        WriteOne<std::uint8_t>(&ModbusDriver::WriteO, a, 1),
        WriteOne<std::uint8_t>(&ModbusDriver::WriteMB, a, 0),
        WriteOne<std::uint8_t>(&ModbusDriver::WriteSB, a, 0),
        WriteOne<std::uint8_t>(&ModbusDriver::WriteXB, a, 1),
        WriteOne<std::int16_t>(&ModbusDriver::WriteMI, a, -2),
        WriteOne<std::int16_t>(&ModbusDriver::WriteSI, a, -3),
        WriteOne<std::int16_t>(&ModbusDriver::WriteXI, a, -4),
        WriteOne<std::int32_t>(&ModbusDriver::WriteML, a, -5000000),
        WriteOne<std::int32_t>(&ModbusDriver::WriteSL, a, 6000000),
        WriteOne<std::int32_t>(&ModbusDriver::WriteXL, a, -7000000),
        WriteOne<float>(&ModbusDriver::WriteMF, a, 1.5f),
        WriteOne<Currency>(&ModbusDriver::WriteDW, a, Currency::FromWhole(3000000000)),
        WriteOne<Currency>(&ModbusDriver::WriteSDW, a, Currency::FromWhole(8)),
        WriteOne<Currency>(&ModbusDriver::WriteXDW, a, Currency::FromWhole(9)),
        WriteOne<Currency>(&ModbusDriver::WriteCCurrent, a, Currency::FromWhole(10)),
        WriteOne<Currency>(&ModbusDriver::WriteCPreset, a, Currency::FromWhole(11)),
        WriteOne<Currency>(&ModbusDriver::WriteTPreset, a, Currency::FromWhole(35999999)),
        WriteOne<Currency>(&ModbusDriver::WriteTCurrent, a, Currency::FromWhole(1000)),
    };
    for (const DriverCall& write : writes) {
        ASSERT_TRUE(write(m_driver, m_status)) << m_driver.LastError();
        EXPECT_EQ(m_status, status::kDone);
    }
    std::vector<tavrel::common::BinaryMixEntry> entries;
    for (const std::int32_t mixType : {op::O, op::MB, op::SB, op::XB, op::MI, op::SI, op::XI, op::ML, op::SL, op::XL,
                                       op::MF, op::DW, op::SDW, op::XDW, op::CBit, op::TBit}) {
        entries.push_back({0, mixType, a, 1, {}});
    }
    ASSERT_TRUE(m_driver.ReadBinaryMix(entries, m_status)) << m_driver.LastError();
    const auto value = [&](std::size_t entry) { return entries[entry].Values.at(0); };
    EXPECT_EQ(value(0).LongValue, 1);
    EXPECT_EQ(value(1).LongValue, 0);
    EXPECT_EQ(value(2).LongValue, 0);
    EXPECT_EQ(value(3).LongValue, 1);
    EXPECT_EQ(value(4).LongValue, -2);
    EXPECT_EQ(value(5).LongValue, -3);
    EXPECT_EQ(value(6).LongValue, -4);
    EXPECT_EQ(value(7).LongValue, -5000000);
    EXPECT_EQ(value(8).LongValue, 6000000);
    EXPECT_EQ(value(9).LongValue, -7000000);
    EXPECT_EQ(tavrel::common::FloatTextFromSwappedWord(value(10).LongValue), "1.5");
    EXPECT_EQ(value(11).CurrencyValue, Currency::FromWhole(3000000000));
    EXPECT_EQ(value(12).CurrencyValue, Currency::FromWhole(8));
    EXPECT_EQ(value(13).CurrencyValue, Currency::FromWhole(9));
    EXPECT_EQ(value(14).CurrencyValue, Currency::FromWhole(10));
    EXPECT_EQ(value(14).CounterPreset, Currency::FromWhole(11));
    EXPECT_EQ(value(15).TimerPreset, 35999999);
    EXPECT_EQ(value(15).TimerCurrent, 1000);
    // One at a time a timer gives its raw word; more than 45 hours fit none.
    EXPECT_TRUE(ExpectOne<std::int16_t>(&ModbusDriver::ReadTCurrent, a, 1000)(m_driver, m_status));
    std::int16_t word = 0;
    EXPECT_FALSE(m_driver.ReadTPreset(a, 1, std::span(&word, 1), m_status));
    EXPECT_EQ(m_status, status::kRefused);
    EXPECT_NE(m_driver.LastError().find("no raw timer word can express"), std::string::npos) << m_driver.LastError();
    // The neighbours were not touched.
    EXPECT_TRUE(ExpectOne(&ModbusDriver::ReadMI, a + 1, static_cast<std::int16_t>(PeerRegister(a + 1)))(m_driver,
                                                                                                    m_status));
}

TEST_F(PymodbusPeerTest, AVectorSplitAcrossTheRequestLimitsIsReadWhole)
{
    // 300 registers need three requests, 2500 coils two, and 130 two-register values three (62 + 62 + 6).
    std::vector<tavrel::common::BinaryMixEntry> entries{
        {0, op::MI, 10, 300, {}}, {0, op::MB, 0, 2500, {}}, {0, op::DW, 0, 130, {}}};
    ASSERT_TRUE(m_driver.ReadBinaryMix(entries, m_status)) << m_driver.LastError();
    for (std::int32_t i = 0; i < 300; ++i) {
        ASSERT_EQ(entries[0].Values[static_cast<std::size_t>(i)].LongValue,
                  static_cast<std::int16_t>(PeerRegister(10 + i)));
    }
    for (std::int32_t i = 0; i < 2500; ++i) {
        ASSERT_EQ(entries[1].Values[static_cast<std::size_t>(i)].LongValue, PeerCoil(1000 + i));
    }
    for (std::int32_t i = 0; i < 130; ++i) {
        ASSERT_EQ(entries[2].Values[static_cast<std::size_t>(i)].CurrencyValue,
                  Currency::FromWhole(PeerLong(9900 + 2 * i)));
    }
}

TEST_F(PymodbusPeerTest, AnExceptionAnswerFailsTheWholeCallButKeepsTheChannel)
{
    // Holding registers end at 15199 on the peer: C (Preset) 300 is register 15200.
    std::vector<tavrel::common::BinaryMixEntry> entries{{0, op::MI, 0, 2, {}}, {0, op::CBit, 299, 2, {}}};
    EXPECT_FALSE(m_driver.ReadBinaryMix(entries, m_status));
    EXPECT_EQ(m_status, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    EXPECT_NE(m_driver.LastError().find("exception 2"), std::string::npos) << m_driver.LastError();
    EXPECT_TRUE(entries[0].Values.empty()) << "no entry is filled by a failed read";

    Currency preset;
    EXPECT_FALSE(m_driver.ReadCPreset(300, 1, std::span(&preset, 1), m_status));
    EXPECT_EQ(m_status, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
    EXPECT_TRUE(ExpectOne(&ModbusDriver::ReadCPreset, 299, Currency::FromWhole(PeerLong(15198)))(m_driver, m_status))
        << m_driver.LastError();
}

TEST_F(PymodbusPeerTest, TheMapDecidesWordOrderAndBases)
{
    auto map = ParseOperandMap("[Options]\nWordOrder = LowWordFirst\n[Bases]\nMI = 100\n", "test map");
    ASSERT_TRUE(map) << map.error();
    ModbusDriver driver(*map);
    ASSERT_TRUE(OpenTcp(driver, m_peer.Port())) << driver.LastError();
    EXPECT_TRUE(ExpectOne(&ModbusDriver::ReadML, 1, static_cast<std::int32_t>(PeerLong(7002, WordOrder::LowWordFirst)))(
        driver, m_status));
    EXPECT_TRUE(ExpectOne(&ModbusDriver::ReadMI, 1, static_cast<std::int16_t>(PeerRegister(101)))(driver, m_status));
}

TEST_F(PymodbusPeerTest, RunAndStopWriteTheRunCoil)
{
    EXPECT_TRUE(m_driver.PlcStop(m_status)) << m_driver.LastError();
    auto map = ParseOperandMap("[Bases]\nO = 64990\n", "test map");
    ModbusDriver coils(*map);
    ASSERT_TRUE(OpenTcp(coils, m_peer.Port()));
    EXPECT_TRUE(ExpectOne<std::uint8_t>(&ModbusDriver::ReadO, 10, 0)(coils, m_status));
    EXPECT_TRUE(m_driver.PlcRun(m_status)) << m_driver.LastError();
    EXPECT_TRUE(ExpectOne<std::uint8_t>(&ModbusDriver::ReadO, 10, 1)(coils, m_status));
}

} // namespace
