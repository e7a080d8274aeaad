#include "comm/modbus/ModbusDriver.h"
#include "common/OperandCatalogue.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

using namespace tavrel::comm;
using namespace tavrel::comm::modbus;
using tavrel::common::Currency;

namespace {

// Everything that does not need a PLC: refusals before anything is sent.

TEST(ModbusDriver, EveryExchangeFailsBeforeTheChannelIsOpen)
{
    ModbusDriver driver;
    std::uint8_t status = 0;
    std::int16_t word = 0;
    std::vector<tavrel::common::BinaryMixEntry> entries { { 0, 3, 0, 1, {} } };
    EXPECT_FALSE(driver.ReadMI(0, 1, std::span(&word, 1), status));
    EXPECT_EQ(status, status::kNotOpen);
    EXPECT_FALSE(driver.ReadBinaryMix(entries, status));
    EXPECT_TRUE(entries[0].Values.empty());
    EXPECT_FALSE(driver.PlcRun(status));
    EXPECT_EQ(status, status::kNotOpen);
    EXPECT_FALSE(driver.LastError().empty());
}

TEST(ModbusDriver, DeviceWritesThatNoRequestCanCarryAreRefusedBeforeAnythingIsSent)
{
    namespace op = tavrel::common::operand;
    const struct
    {
        std::int32_t operandType;
        std::int32_t address;
        std::size_t words;
        std::uint16_t bitMask;
        const char* refusal; ///< nullptr: a write the channel would send
    } cases[] = {
        { op::InputRegister, 0, 1, 0, "Input register 0 is read-only" },
        { op::DiscreteInput, 7, 1, 0, "Discrete input 7 is read-only" },
        { op::Coil, 0, 2, 0, "2 values cannot be written there at once" },
        { op::HoldingRegister, 65535, 2, 0, "2 values cannot be written there at once" },
        { op::HoldingRegister, 0, 124, 0, "124 values" },
        { op::HoldingRegister, 0, 2, 0x0004, "2 values" },
        { op::HoldingRegister, 65532, 4, 0, nullptr },
        { op::Coil, 65535, 1, 0, nullptr },
    };
    for (const auto& c : cases) {
        ModbusDriver driver(OperandMap {}, tavrel::common::plctype::ModbusDevice);
        const std::vector<std::uint16_t> words(c.words, 1);
        std::uint8_t status = 0;
        EXPECT_FALSE(driver.WriteDeviceValue(c.operandType, c.address, words, c.bitMask, status));
        if (c.refusal == nullptr) {
            EXPECT_EQ(status, status::kNotOpen) << c.address;
            continue;
        }
        EXPECT_EQ(status, status::kRefused) << c.refusal;
        EXPECT_EQ(driver.LastFailureKind(), FailureKind::Refused);
        EXPECT_NE(driver.LastError().find(c.refusal), std::string::npos) << driver.LastError();
    }
}

TEST(ModbusDriver, ConnectEthernetRefusesSettingsItCannotUse)
{
    const struct
    {
        const char* name;
        void (*change)(ModbusDriver&);
        std::int32_t expected;
    } cases[] = {
        { "all good", [](ModbusDriver&) {}, connect_status::kReady },
        { "mode 1", [](ModbusDriver& d) { d.SetEthernetMode(1); }, connect_status::kUnknownMode },
        { "no host", [](ModbusDriver& d) { d.SetRemoteHost(""); }, connect_status::kNoHost },
        { "port 0", [](ModbusDriver& d) { d.SetRemotePort(0); }, connect_status::kBadPort },
        { "unit 250", [](ModbusDriver& d) { d.SetUnitId(250); }, connect_status::kBadUnit },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModbusDriver driver;
        driver.SetEthernetMode(0);
        driver.SetRemoteHost("127.0.0.1");
        driver.SetRemotePort(502);
        driver.SetTimeOut(1000);
        driver.SetRetries(1);
        c.change(driver);
        EXPECT_EQ(driver.ConnectEthernet(), c.expected) << driver.LastError();
        if (c.expected != connect_status::kReady) {
            EXPECT_FALSE(driver.LastError().empty());
            EXPECT_FALSE(driver.OpenEthernet());
        }
    }
}

TEST(ModbusDriver, AClosedPortFailsToOpenAtOnce)
{
    // A bound socket that does not listen refuses connections, and keeps its port from anyone else meanwhile.
    const int socketFd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    getsockname(socketFd, reinterpret_cast<sockaddr*>(&address), &length);

    ModbusDriver driver;
    driver.SetRemoteHost("127.0.0.1");
    driver.SetRemotePort(ntohs(address.sin_port));
    driver.SetTimeOut(5000);
    ASSERT_EQ(driver.ConnectEthernet(), connect_status::kReady);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(driver.OpenEthernet());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_NE(driver.LastError().find("127.0.0.1:" + std::to_string(ntohs(address.sin_port))), std::string::npos)
        << driver.LastError();
    close(socketFd);
}

TEST(ModbusDriver, OpenSerialRefusesWhatModbusRtuCannotUse)
{
    OperandMap map;
    map.SetSerialDevice(1, "/nonexistent/tavrel-serial");
    const struct
    {
        void (*change)(SerialSettings&, std::int32_t&, ModbusDriver&);
        const char* message;
    } cases[] = {
        { [](SerialSettings&, std::int32_t& p, ModbusDriver&) { p = 0; }, "is not a serial port" },
        { [](SerialSettings& s, std::int32_t&, ModbusDriver&) { s.Parity = 3; }, "parity code 3" },
        { [](SerialSettings&, std::int32_t&, ModbusDriver& d) { d.SetUnitId(248); }, "unit ID 248" },
        { [](SerialSettings&, std::int32_t&, ModbusDriver&) {}, "cannot open /nonexistent/tavrel-serial" },
    };
    for (const auto& c : cases) {
        ModbusDriver driver(map);
        SerialSettings settings;
        std::int32_t port = 1;
        c.change(settings, port, driver);
        EXPECT_FALSE(driver.OpenSerial(port, settings));
        EXPECT_NE(driver.LastError().find(c.message), std::string::npos) << driver.LastError();
    }
}

TEST(ModbusDriver, ValuesAnOperandCannotHoldAreRefusedBeforeSendingAndByCheckWrite)
{
    ModbusDriver driver; // not open: a value that passed the checks would fail with kNotOpen instead
    std::uint8_t status = 0;
    const auto refusedAlike
        = [&](bool written, std::int32_t operandType, std::int16_t address, const OperandWriteValue& value) {
              EXPECT_FALSE(written);
              EXPECT_EQ(status, status::kRefused) << driver.LastError();
              EXPECT_EQ(driver.LastFailureKind(), FailureKind::Refused);
              const auto refusal = driver.CheckWrite(operandType, address, value);
              ASSERT_TRUE(refusal.has_value()) << "CheckWrite accepts what the write refuses: " << driver.LastError();
              EXPECT_EQ(refusal->kind, tavrel::common::Refusal::Kind::OutOfRange);
              EXPECT_EQ(refusal->reason, driver.LastError());
          };
    std::uint8_t bit = 2;
    refusedAlike(driver.WriteMB(0, 1, std::span(&bit, 1), status), tavrel::common::operand::MB, 0, bit);
    EXPECT_EQ(driver.LastError(), "MB 0 is a bit: it takes 0 or 1, not 2");

    for (Currency value : { Currency { 15000 }, Currency::FromWhole(-1), Currency::FromWhole(4294967296) }) {
        SCOPED_TRACE(tavrel::common::CurrencyToText(value));
        refusedAlike(driver.WriteDW(3, 1, std::span(&value, 1), status), tavrel::common::operand::DW, 3, value);
    }
    Currency ticks = Currency::FromWhole(36000000);
    refusedAlike(driver.WriteTPreset(0, 1, std::span(&ticks, 1), status), tavrel::common::operand::TPreset, 0, ticks);

    // One raw timer word holds 16383 counts of 10 s at most.
    ModbusDriver q40(OperandMap {}, tavrel::common::plctype::Q40StandAlone);
    Currency fifty = Currency::FromWhole(50 * 360000);
    EXPECT_EQ(driver.CheckWrite(tavrel::common::operand::TCurrent, 1, fifty), std::nullopt);
    EXPECT_FALSE(q40.WriteTCurrent(1, 1, std::span(&fifty, 1), status));
    EXPECT_EQ(q40.LastFailureKind(), FailureKind::Refused);
    EXPECT_EQ(q40.CheckWrite(tavrel::common::operand::TCurrent, 1, fifty)->reason,
              "T (Current) 1 holds 00:00:00.00 to 45:30:30.00 on this PLC type, not 50:00:00.00");

    // An operand that a moved base puts beyond the Modbus addresses can take no value at all.
    OperandMap moved;
    ASSERT_TRUE(moved.SetBase(tavrel::common::operand::ML, 65535));
    ModbusDriver movedDriver(moved);
    EXPECT_EQ(movedDriver.CheckWrite(tavrel::common::operand::ML, 0, std::int32_t { 1 })->kind,
              tavrel::common::Refusal::Kind::NotWritable);
    std::int32_t one = 1;
    EXPECT_FALSE(movedDriver.WriteML(0, 1, std::span(&one, 1), status));
    EXPECT_EQ(movedDriver.LastFailureKind(), FailureKind::Refused);

    std::int16_t word = 0;
    EXPECT_FALSE(driver.WriteMI(0, 2, std::span(&word, 1), status)); // the buffer holds one value
    EXPECT_EQ(status, status::kRefused);

    Currency fits = Currency::FromWhole(4294967295);
    EXPECT_EQ(driver.CheckWrite(tavrel::common::operand::DW, 3, fits), std::nullopt);
    EXPECT_FALSE(driver.WriteDW(3, 1, std::span(&fits, 1), status));
    EXPECT_EQ(status, status::kNotOpen);
    EXPECT_EQ(driver.LastFailureKind(), FailureKind::Exchange) << "a closed channel is no refusal";
}

} // namespace
