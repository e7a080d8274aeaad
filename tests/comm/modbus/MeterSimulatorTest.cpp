#include "support/ModbusPeers.h"

#include "comm/modbus/ModbusContext.h"
#include "common/DeviceValues.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

using tavrel::comm::modbus::ModbusContext;
using tavrel::test::SimulatorProcess;
namespace common = tavrel::common;

namespace {

using namespace std::chrono_literals;

ModbusContext Connect(int port)
{
    ModbusContext context(modbus_new_tcp("127.0.0.1", port));
    if (!context || modbus_connect(context.Get()) == -1) {
        ADD_FAILURE() << "cannot connect to the simulator: " << modbus_strerror(errno);
    }
    return context;
}

std::vector<std::uint16_t> InputRegisters(const ModbusContext& context, int address, int count)
{
    std::vector<std::uint16_t> registers(static_cast<std::size_t>(count));
    EXPECT_EQ(modbus_read_input_registers(context.Get(), address, count, registers.data()), count)
        << modbus_strerror(errno);
    return registers;
}

// The value of the registers at `offset` of `registers` as Tavrel reads a device item of that type and order.
common::DecodedValue Decode(const std::vector<std::uint16_t>& registers, std::size_t offset, const char* type,
                            const char* order)
{
    const auto dataType = common::ParseDataType(type).value();
    const auto byteOrder = common::ParseByteOrder(order, dataType).value();
    const auto decoded = common::DecodeValue(std::span(registers).subspan(offset, common::RegisterCount(dataType)),
                                             dataType, byteOrder);
    EXPECT_TRUE(decoded.has_value()) << type;
    return decoded.value_or(common::DecodedValue {});
}

double EnergyWh(const ModbusContext& context)
{
    return Decode(InputRegisters(context, 20, 4), 0, "uint64", "ABCD").number.value_or(0);
}

TEST(MeterSimulator, OneReadOfTheMeasurementsDecodesAsTheLayoutSays)
{
    SimulatorProcess meter({ "--profile", "meter" });
    const ModbusContext context = Connect(meter.Port());
    const auto registers = InputRegisters(context, 0, 42); // one request: the values belong to one moment

    struct Measurement
    {
        std::size_t address;
        const char* type;
        const char* order;
        double low;
        double high;
    };
    const Measurement measurements[] = {
        { 0, "float32", "ABCD", 222, 238 }, { 2, "float32", "ABCD", 222, 238 },
        { 4, "float32", "ABCD", 222, 238 }, { 6, "float32", "ABCD", 8, 16 },
        { 8, "float32", "ABCD", 8, 16 },    { 10, "float32", "ABCD", 8, 16 },
        { 14, "uint16", "", 4995, 5005 },   { 15, "int16", "", 920, 980 },
        { 16, "int16", "", 330, 370 },      { 20, "uint64", "ABCD", 4295000000.0, 4296000000.0 },
        { 24, "uint32", "CDAB", 0, 60 },
    };
    for (const Measurement& m : measurements) {
        const auto value = Decode(registers, m.address, m.type, m.order).number.value_or(-1);
        EXPECT_GE(value, m.low) << "input register " << m.address;
        EXPECT_LE(value, m.high) << "input register " << m.address;
    }
    // The power is worked out from the other registers: a wrong word order would not come near it.
    double power = 0;
    for (std::size_t phase = 0; phase < 3; ++phase) {
        power += *Decode(registers, 2 * phase, "float32", "ABCD").number
            * *Decode(registers, 6 + 2 * phase, "float32", "ABCD").number;
    }
    power *= *Decode(registers, 15, "int16", "").number / 1000 / 1000;
    EXPECT_NEAR(*Decode(registers, 12, "float32", "CDAB").number, power, power * 1e-5);
    EXPECT_EQ(Decode(registers, 30, "string(16)", "AB").text, "TVM3-2026-004711");
    EXPECT_EQ(Decode(registers, 38, "string(8)", "BA").text, "4.2.17");
    EXPECT_EQ(registers[17] & 1, 1) << "measuring";
}

TEST(MeterSimulator, TheEnergyCountsUpWithThePower)
{
    SimulatorProcess meter({ "--profile", "meter" });
    const ModbusContext context = Connect(meter.Port());
    using Clock = std::chrono::steady_clock;
    const auto hours
        = [](Clock::duration span) { return std::chrono::duration<double, std::ratio<3600>>(span).count(); };
    const Clock::time_point firstAsked = Clock::now();
    const double first = EnergyWh(context);
    const Clock::time_point firstAnswered = Clock::now();
    std::this_thread::sleep_for(1500ms);
    const Clock::time_point lastAsked = Clock::now();
    const double last = EnergyWh(context);
    const Clock::time_point lastAnswered = Clock::now();
    // Three phases of 8 to 16 A on 222 to 238 V at a power factor of 0.92 to 0.98: 4.9 to 11.2 kW, counted in whole
    // watt hours.
    EXPECT_GE(last - first, 4900 * hours(lastAsked - firstAnswered) - 1);
    EXPECT_LE(last - first, 11200 * hours(lastAnswered - firstAsked) + 1);
}

TEST(MeterSimulator, TheSettingsAndTheRelayShowInTheMeasurements)
{
    SimulatorProcess meter({ "--profile", "meter" });
    const ModbusContext context = Connect(meter.Port());
    ASSERT_EQ(modbus_write_register(context.Get(), 2, 200), 1) << "current scale 200 %";
    const std::uint16_t noLimit[] = { 0, 0 }; // 0.0 V: L1 is always above it
    ASSERT_EQ(modbus_write_registers(context.Get(), 0, 2, noLimit), 2);
    ASSERT_EQ(modbus_write_bit(context.Get(), 0, 1), 1);

    const auto registers = InputRegisters(context, 0, 18);
    EXPECT_GE(*Decode(registers, 6, "float32", "ABCD").number, 16);
    EXPECT_LE(*Decode(registers, 6, "float32", "ABCD").number, 32);
    EXPECT_EQ(registers[17], 7) << "measuring, over-voltage, relay";
    std::uint8_t inputs[2] = { 0, 0 };
    ASSERT_EQ(modbus_read_input_bits(context.Get(), 0, 2, inputs), 2);
    EXPECT_EQ(inputs[0], 1);
    EXPECT_EQ(inputs[1], 1);
}

TEST(MeterSimulator, AnAddressPastItsTablesIsAnIllegalDataAddressAndTheMeterGoesOn)
{
    SimulatorProcess meter({ "--profile", "meter" });
    const ModbusContext context = Connect(meter.Port());
    std::uint16_t registers[10] = {};
    struct Read
    {
        int (*function)(modbus_t*, int, int, std::uint16_t*);
        int address;
        int count;
    };
    for (const Read& read :
         { Read { modbus_read_input_registers, 100, 1 }, Read { modbus_read_input_registers, 95, 10 },
           Read { modbus_read_registers, 20, 1 }, Read { modbus_read_registers, 15, 6 } }) {
        EXPECT_EQ(read.function(context.Get(), read.address, read.count, registers), -1) << read.address;
        EXPECT_EQ(errno, EMBXILADD) << read.address;
    }
    EXPECT_EQ(modbus_read_input_registers(context.Get(), 90, 10, registers), 10);
}

TEST(PlcSimulator, InputRegistersReadWhatTheHoldingRegistersHold)
{
    SimulatorProcess plc;
    const ModbusContext context = Connect(plc.Port());
    const std::uint16_t values[] = { 0x1234, 0xFFFF };
    for (const int address : { 0, 5000, 65534 }) {
        ASSERT_EQ(modbus_write_registers(context.Get(), address, 2, values), 2);
        const auto read = InputRegisters(context, address, 2);
        EXPECT_EQ(read, std::vector<std::uint16_t>(std::begin(values), std::end(values))) << address;
    }
}

} // namespace
