#pragma once

#include "support/ChildProcess.h"
#include "support/TempDir.h"

#include "comm/modbus/ModbusDriver.h"
#include "model/clsPlc.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavrel::test {

/// Where the tavrel-plcsim of this build is.
std::string SimulatorPath();

/// tavrel-plcsim serving Modbus TCP on 127.0.0.1 at a port the system chose, or Modbus RTU on a serial device.
class SimulatorProcess
{
public:
    /// Serves Modbus TCP; the extra arguments go to the simulator ("--unit", "7", "--family", "q40", ...).
    explicit SimulatorProcess(const std::vector<std::string>& extraArguments = {});
    /// Serves Modbus RTU on `device` at `baud`.
    static SimulatorProcess OnSerialLine(const std::filesystem::path& device, std::int32_t baud,
                                         const std::vector<std::string>& extraArguments = {});
    /// The TCP port; 0 on a serial line.
    int Port() const { return m_port; }
    ChildProcess& Process() { return *m_process; }

private:
    SimulatorProcess(std::vector<std::string> argv, bool tcp);

    std::unique_ptr<ChildProcess> m_process;
    int m_port = 0;
};

/// A Modbus TCP server of pymodbus on 127.0.0.1 holding the known contents below: coils 0..65000, discrete inputs
/// 0..2999, holding registers 0..15199; anything else is an illegal data address.
class PymodbusPeer
{
public:
    PymodbusPeer();
    int Port() const { return m_port; }

private:
    std::unique_ptr<ChildProcess> m_process;
    int m_port = 0;
};

/// A Modbus device of pymodbus on 127.0.0.1 (pymodbus_device_peer.py): input and holding registers holding values of
/// every data type and byte order as pymodbus encodes them, one input register missing.
class PymodbusDevicePeer
{
public:
    /// One value the peer holds, as it told it.
    struct Value
    {
        std::string table; ///< "ir" or "hr"
        std::int32_t address;
        std::string type; ///< "float32", "string(14)" ...
        std::string order; ///< "CDAB", "AB" ...
        std::string value; ///< as Python writes it: -2, 230.5, nan, -inf, 'SN-2026-0042'
    };

    PymodbusDevicePeer();
    int Port() const { return m_port; }
    const std::vector<Value>& Values() const { return m_values; }
    /// The input register the peer has not.
    std::int32_t Missing() const { return m_missing; }
    /// The next value the peer decoded after a write, or nothing within `timeout`.
    std::optional<Value> NextDecoded(std::chrono::milliseconds timeout);

private:
    std::unique_ptr<ChildProcess> m_process;
    std::vector<Value> m_values;
    std::int32_t m_missing = -1;
    int m_port = 0;
};

/// What the pymodbus peer holds at an address until it is written.
inline std::uint16_t PeerRegister(int address)
{
    return static_cast<std::uint16_t>((address * 31 + 7) & 0xFFFF);
}
inline std::uint8_t PeerCoil(int address)
{
    return address % 3 == 0 ? 1 : 0;
}
inline std::uint8_t PeerInput(int address)
{
    return address % 4 == 1 ? 1 : 0;
}

/// Two pseudo-terminals that socat connects like the two ends of a serial cable.
class SerialLinePair
{
public:
    SerialLinePair();
    std::filesystem::path EndA() const { return m_folder / "a"; }
    std::filesystem::path EndB() const { return m_folder / "b"; }

private:
    TempDir m_folder;
    std::unique_ptr<ChildProcess> m_socat;
};

/// Makes drivers for env.CreateDriver: a ModbusDriver on `map` for each PLC's type.
std::function<std::shared_ptr<comm::CommDriver>(const model::clsPlc&)> ModbusDrivers(comm::modbus::OperandMap map = {});

/// Prepares and opens a Modbus TCP channel to 127.0.0.1:port; true when open.
bool OpenTcp(comm::modbus::ModbusDriver& driver, int port, std::int32_t timeOutMs = 1000, std::int16_t retries = 1,
             std::uint8_t unitId = 0);

} // namespace tavrel::test
