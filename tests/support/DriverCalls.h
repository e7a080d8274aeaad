#pragma once

#include "comm/modbus/ModbusDriver.h"

#include <gtest/gtest.h>

#include <functional>
#include <span>

namespace tavrel::test {

/// One exchange of a test with a driver: true when the driver reported success.
using DriverCall = std::function<bool(comm::modbus::ModbusDriver&, std::uint8_t&)>;

template<class T>
using OneOperandOperation = bool (comm::modbus::ModbusDriver::*)(std::int16_t, std::int16_t, std::span<T>,
                                                                 std::uint8_t&);

/// Writes one value with a one-operand write operation.
template<class T>
DriverCall WriteOne(OneOperandOperation<T> operation, std::int16_t address, T value)
{
    return [=](comm::modbus::ModbusDriver& driver, std::uint8_t& status) {
        T buffer = value;
        return (driver.*operation)(address, 1, std::span(&buffer, 1), status);
    };
}

/// Reads one value with a one-operand read operation and expects `expected`.
template<class T>
DriverCall ExpectOne(OneOperandOperation<T> operation, std::int16_t address, T expected)
{
    return [=](comm::modbus::ModbusDriver& driver, std::uint8_t& status) {
        T buffer{};
        const bool ok = (driver.*operation)(address, 1, std::span(&buffer, 1), status);
        EXPECT_EQ(buffer, expected) << "operand " << address;
        return ok;
    };
}

/// Reads one batched entry and hands its values to `check`; false when the read failed.
inline bool ReadEntry(comm::modbus::ModbusDriver& driver, std::int32_t mixType, std::int32_t address,
                      std::int32_t count, const std::function<void(const std::vector<common::OperandValue>&)>& check)
{
    std::vector<common::BinaryMixEntry> entries{{0, mixType, address, count, {}}};
    std::uint8_t status = 0;
    if (!driver.ReadBinaryMix(entries, status)) {
        ADD_FAILURE() << driver.LastError();
        return false;
    }
    EXPECT_EQ(entries[0].Values.size(), static_cast<std::size_t>(count));
    check(entries[0].Values);
    return true;
}

} // namespace tavrel::test
