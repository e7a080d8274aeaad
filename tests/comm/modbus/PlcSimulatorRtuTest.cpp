#include "support/DriverCalls.h"
#include "support/ModbusPeers.h"

#include "common/OperandCatalogue.h"

using namespace tavrel::comm;
using namespace tavrel::comm::modbus;
using namespace tavrel::test;
using tavrel::common::Currency;
using tavrel::common::OperandValue;
namespace op = tavrel::common::operand;
using Values = std::vector<OperandValue>;

namespace {

using namespace std::chrono_literals;

constexpr std::int32_t kBaud = 115200;

// tavrel-plcsim on one end of a socat line; the driver's COM 1 is the other end.
class RtuLine : public testing::Test
{
protected:
    void StartSimulator(const std::vector<std::string>& extra)
    {
        m_plc.emplace(SimulatorProcess::OnSerialLine(m_line.EndA(), kBaud, extra));
    }

    bool Open(ModbusDriver& driver, std::uint8_t unitId, SerialSettings settings)
    {
        driver.SetUnitId(unitId);
        std::int32_t port = 1;
        return driver.OpenSerial(port, settings);
    }

    OperandMap LineMap() const
    {
        OperandMap map;
        map.SetSerialDevice(1, m_line.EndB().string());
        return map;
    }

    SerialLinePair m_line;
    std::optional<SimulatorProcess> m_plc;
};

SerialSettings Settings(std::int32_t timeOutMs, std::int16_t retries, std::int32_t parity = 0,
                        std::int32_t dataBits = 8)
{
    SerialSettings settings;
    settings.SerialBaudRate = kBaud;
    settings.DataBits = dataBits;
    settings.Parity = parity;
    settings.StopBits = 1;
    settings.TimeOut = timeOutMs;
    settings.NumRetries = retries;
    return settings;
}

TEST_F(RtuLine, DirectReachesSlave1AndEveryTableIsReadAndWritten)
{
    StartSimulator({});
    ModbusDriver driver(LineMap());
    ASSERT_TRUE(Open(driver, 0, Settings(1000, 1))) << driver.LastError();
    std::uint8_t status = 0;
    ASSERT_TRUE(WriteOne<std::int16_t>(&ModbusDriver::WriteMI, 3, 4242)(driver, status)) << driver.LastError();
    ASSERT_TRUE(WriteOne<std::int32_t>(&ModbusDriver::WriteML, 3, -99999)(driver, status)) << driver.LastError();
    ASSERT_TRUE(WriteOne<std::uint8_t>(&ModbusDriver::WriteO, 3, 1)(driver, status)) << driver.LastError();
    EXPECT_TRUE(ExpectOne<std::int16_t>(&ModbusDriver::ReadMI, 3, 4242)(driver, status)) << driver.LastError();
    EXPECT_TRUE(ExpectOne<std::uint8_t>(&ModbusDriver::ReadI, 3, 0)(driver, status)) << driver.LastError();

    std::vector<tavrel::common::BinaryMixEntry> entries {
        { 0, op::MI, 2, 3, {} }, { 0, op::ML, 3, 1, {} }, { 0, op::O, 3, 1, {} }, { 0, op::TBit, 0, 1, {} }
    };
    ASSERT_TRUE(driver.ReadBinaryMix(entries, status)) << driver.LastError();
    EXPECT_EQ(entries[0].Values[1].LongValue, 4242);
    EXPECT_EQ(entries[1].Values[0].LongValue, -99999);
    EXPECT_EQ(entries[2].Values[0].LongValue, 1);
    EXPECT_EQ(entries[3].Values[0].TimerPreset, 1000);
}

TEST_F(RtuLine, EvenParityAndSevenDataBitsAreCarriedAsModbusRtu)
{
    StartSimulator({ "--parity", "E", "--unit", "5" });
    ModbusDriver driver(LineMap());
    ASSERT_TRUE(Open(driver, 5, Settings(1000, 1, 2, 7))) << driver.LastError();
    std::uint8_t status = 0;
    EXPECT_TRUE(ExpectOne(&ModbusDriver::ReadCPreset, 0, Currency::FromWhole(10))(driver, status))
        << driver.LastError();
}

TEST_F(RtuLine, AnAbsentSlaveCostsTheTimeOutPerAttemptThenNothing)
{
    StartSimulator({});
    ModbusDriver driver(LineMap());
    ASSERT_TRUE(Open(driver, 9, Settings(150, 2))) << driver.LastError();
    std::uint8_t status = 0;
    std::int16_t word = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(driver.ReadMI(0, 1, std::span(&word, 1), status));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status, status::kTimedOut);
    EXPECT_GE(elapsed, 3 * 150ms - 20ms);
    EXPECT_LT(elapsed, 3 * 150ms + 500ms);
    EXPECT_NE(driver.LastError().find("no answer within 150 ms (2 retries included)"), std::string::npos)
        << driver.LastError();

    const auto again = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(driver.ReadMI(static_cast<std::int16_t>(i), 1, std::span(&word, 1), status));
        EXPECT_EQ(status, status::kNotOpen);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - again, 100ms);
}

} // namespace
