// The driver against servers that misbehave: silent, closing mid-read, answering with exceptions or late.

#include "support/DriverCalls.h"
#include "support/ModbusPeers.h"
#include "support/ScriptedServer.h"

#include "common/OperandCatalogue.h"

#include <thread>

using namespace tavrel::comm::modbus;
using namespace tavrel::test;
namespace op = tavrel::common::operand;

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(ModbusFaults, ASilentServerCostsOneTimeOutPerAttemptAndThenNothing)
{
    ScriptedServer server(ScriptedServer::Behaviour::NeverAnswer);
    ModbusDriver driver;
    ASSERT_TRUE(OpenTcp(driver, server.Port(), 200, 2)) << driver.LastError();
    std::uint8_t status = 0;
    std::vector<tavrel::common::BinaryMixEntry> entries { { 0, op::MI, 0, 5, {} }, { 0, op::MB, 0, 5, {} } };

    const auto start = Clock::now();
    EXPECT_FALSE(driver.ReadBinaryMix(entries, status));
    const auto elapsed = Clock::now() - start;
    EXPECT_EQ(status, status::kTimedOut);
    EXPECT_GE(elapsed, 3 * 200ms - 20ms);
    EXPECT_LT(elapsed, 3 * 200ms + 500ms) << "never longer than time-out x (retries + 1)";
    EXPECT_TRUE(entries[0].Values.empty());
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(server.Requests(), 3) << "the request and its two retries";

    // Every further operand fails at once: a dead PLC costs one time-out per attempt, not one per item.
    const auto again = Clock::now();
    std::int16_t word = 0;
    for (std::int16_t i = 0; i < 10; ++i) {
        EXPECT_FALSE(driver.ReadMI(i, 1, std::span(&word, 1), status));
        EXPECT_EQ(status, status::kNotOpen);
    }
    EXPECT_LT(Clock::now() - again, 100ms);
    EXPECT_NE(driver.LastError().find("no answer within 200 ms (2 retries included)"), std::string::npos)
        << driver.LastError();
    EXPECT_EQ(server.Requests(), 3);
}

TEST(ModbusFaults, AServerThatClosesMidReadFailsTheWholeBatchAndTheNextOpenReconnects)
{
    ScriptedServer server(ScriptedServer::Behaviour::CloseAfterAnswers, 1);
    ModbusDriver driver;
    ASSERT_TRUE(OpenTcp(driver, server.Port(), 2000, 3)) << driver.LastError();
    std::uint8_t status = 0;
    // 300 registers take three requests; the server closes the connection after answering the first.
    std::vector<tavrel::common::BinaryMixEntry> entries { { 0, op::MI, 0, 300, {} } };
    const auto start = Clock::now();
    EXPECT_FALSE(driver.ReadBinaryMix(entries, status));
    EXPECT_LT(Clock::now() - start, 1s) << "a closed connection needs no time-out";
    EXPECT_EQ(status, status::kLinkLost) << driver.LastError();
    EXPECT_TRUE(entries[0].Values.empty());
    EXPECT_EQ(server.Requests(), 2);

    ASSERT_TRUE(driver.OpenEthernet()) << driver.LastError();
    ASSERT_TRUE(driver.ReadBinaryMix(entries, status)) << driver.LastError();
    EXPECT_EQ(server.Connections(), 2);
    for (std::int32_t i = 0; i < 300; ++i) {
        ASSERT_EQ(entries[0].Values[static_cast<std::size_t>(i)].LongValue, i);
    }
}

TEST(ModbusFaults, AnExceptionAnswerFailsAtOnceWithoutRetryAndKeepsTheChannel)
{
    ScriptedServer server(ScriptedServer::Behaviour::ExceptionAnswer);
    ModbusDriver driver;
    ASSERT_TRUE(OpenTcp(driver, server.Port(), 2000, 3)) << driver.LastError();
    std::uint8_t status = 0;
    std::int32_t value = 0;
    const auto start = Clock::now();
    EXPECT_FALSE(driver.ReadML(0, 1, std::span(&value, 1), status));
    EXPECT_EQ(status, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_FALSE(driver.PlcStop(status));
    EXPECT_EQ(status, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE) << "the channel is still open";
    EXPECT_EQ(server.Requests(), 2);
    EXPECT_NE(driver.LastError().find("the PLC answered exception 4"), std::string::npos) << driver.LastError();
}

TEST(ModbusFaults, ALateAnswerToAnEarlierRequestIsNotTakenForTheRetrysAndCostsNoRetry)
{
    // The first answer comes after the time-out, while the only retry waits for its own: the driver must neither
    // take it for the retry's answer nor give up on a PLC that answers.
    ScriptedServer server(ScriptedServer::Behaviour::FirstAnswerLate, 300);
    ModbusDriver driver;
    ASSERT_TRUE(OpenTcp(driver, server.Port(), 200, 1)) << driver.LastError();
    std::uint8_t status = 0;
    std::int16_t words[3] = {};
    ASSERT_TRUE(driver.ReadMI(7, 3, words, status)) << driver.LastError();
    EXPECT_EQ(words[0], 7);
    EXPECT_EQ(words[2], 9);
    ASSERT_TRUE(driver.ReadMI(100, 1, std::span(words, 1), status)) << driver.LastError();
    EXPECT_EQ(words[0], 100) << "every later answer is its own request's";
}

} // namespace

// A device that answers a read of two registers with one, or with another function code: the read fails as a
// whole (no value is taken from registers the answer does not hold, none shifts into another item), the driver
// does not crash, and the reason says what came back.
TEST(ModbusFaults, ADeviceAnswerOfTheWrongShapeFailsTheReadAndFillsNoValue)
{
    for (const auto behaviour : { ScriptedServer::Behaviour::ShortAnswer, ScriptedServer::Behaviour::WrongFunction }) {
        ScriptedServer server(behaviour);
        ModbusDriver driver(OperandMap {}, tavrel::common::plctype::ModbusDevice);
        ASSERT_TRUE(OpenTcp(driver, server.Port(), 200, 0)) << driver.LastError();
        std::vector<tavrel::common::BinaryMixEntry> entries(2);
        for (std::size_t i = 0; i < entries.size(); ++i) {
            entries[i].MixType = op::HoldingRegister;
            entries[i].StartAddress = static_cast<std::int32_t>(2 * i);
            entries[i].Count = 1;
            entries[i].Width = 2;
        }
        std::uint8_t status = 0;
        EXPECT_FALSE(driver.ReadBinaryMix(entries, status));
        EXPECT_NE(status, 0);
        EXPECT_NE(driver.LastError().find("reading 4 holding registers at 0"), std::string::npos) << driver.LastError();
        for (const auto& entry : entries) {
            EXPECT_TRUE(entry.Words.empty());
            EXPECT_TRUE(entry.Problems.empty());
        }
    }
}
