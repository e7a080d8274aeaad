#include "support/ModbusPeers.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tavrel::test {

namespace {

constexpr std::chrono::seconds kStartTimeOut { 20 };

// The port at the end of a line "... listening on ...:PORT"; throws when the line is not that.
int PortOfListeningLine(const std::optional<std::string>& line, const std::string& who)
{
    if (!line) {
        throw std::runtime_error(who + " did not say where it listens");
    }
    const auto colon = line->rfind(':');
    if (line->find("listening on") == std::string::npos || colon == std::string::npos) {
        throw std::runtime_error(who + " said \"" + *line + "\" instead of where it listens");
    }
    return std::stoi(line->substr(colon + 1));
}

std::string FindProgram(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        const std::filesystem::path candidate = std::filesystem::path(folder) / name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
    }
    throw std::runtime_error(name + " is not installed (tools/install-deps installs it)");
}

std::vector<std::string> Joined(std::vector<std::string> first, const std::vector<std::string>& rest)
{
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

} // namespace

std::string SimulatorPath()
{
    return TAVREL_PLCSIM;
}

SimulatorProcess::SimulatorProcess(const std::vector<std::string>& extraArguments)
    : SimulatorProcess(Joined({ SimulatorPath(), "--tcp", "127.0.0.1:0" }, extraArguments), true)
{
}

SimulatorProcess SimulatorProcess::OnSerialLine(const std::filesystem::path& device, std::int32_t baud,
                                                const std::vector<std::string>& extraArguments)
{
    return SimulatorProcess(
        Joined({ SimulatorPath(), "--rtu", device.string(), "--baud", std::to_string(baud) }, extraArguments), false);
}

SimulatorProcess::SimulatorProcess(std::vector<std::string> argv, bool tcp)
    : m_process(std::make_unique<ChildProcess>(argv))
{
    const auto line = m_process->ReadLine(kStartTimeOut);
    if (tcp) {
        m_port = PortOfListeningLine(line, "tavrel-plcsim");
    } else if (!line || !line->starts_with("tavrel-plcsim listening on rtu")) {
        throw std::runtime_error("tavrel-plcsim said \"" + line.value_or("(nothing)")
                                 + "\" instead of where it listens");
    }
}

PymodbusPeer::PymodbusPeer()
{
    m_process = std::make_unique<ChildProcess>(std::vector<std::string> { "/usr/bin/python3", TAVREL_PYMODBUS_PEER });
    m_port = PortOfListeningLine(m_process->ReadLine(kStartTimeOut), "the pymodbus peer");
}

namespace {

// "value ir 10 float32 CDAB 230.5": the words after the first, the last one to the end of the line.
std::optional<PymodbusDevicePeer::Value> ParseValueLine(const std::string& line, std::string_view word)
{
    std::istringstream in(line);
    std::string first;
    PymodbusDevicePeer::Value value;
    if (!(in >> first >> value.table >> value.address >> value.type >> value.order) || first != word) {
        return std::nullopt;
    }
    std::getline(in >> std::ws, value.value);
    return value;
}

} // namespace

PymodbusDevicePeer::PymodbusDevicePeer()
{
    m_process
        = std::make_unique<ChildProcess>(std::vector<std::string> { "/usr/bin/python3", TAVREL_PYMODBUS_DEVICE_PEER });
    for (;;) {
        const auto line = m_process->ReadLine(kStartTimeOut);
        if (!line || line->find("listening on") != std::string::npos) {
            m_port = PortOfListeningLine(line, "the pymodbus device peer");
            return;
        }
        if (line->starts_with("missing ir ")) {
            m_missing = std::stoi(line->substr(11));
        } else if (auto value = ParseValueLine(*line, "value")) {
            m_values.push_back(std::move(*value));
        }
    }
}

std::optional<PymodbusDevicePeer::Value> PymodbusDevicePeer::NextDecoded(std::chrono::milliseconds timeout)
{
    const auto line = m_process->ReadLine(timeout);
    return line ? ParseValueLine(*line, "decoded") : std::nullopt;
}

SerialLinePair::SerialLinePair()
{
    const std::string a = "pty,raw,echo=0,link=" + EndA().string();
    const std::string b = "pty,raw,echo=0,link=" + EndB().string();
    m_socat = std::make_unique<ChildProcess>(std::vector<std::string> { FindProgram("socat"), a, b });
    const auto deadline = std::chrono::steady_clock::now() + kStartTimeOut;
    while (!std::filesystem::exists(EndA()) || !std::filesystem::exists(EndB())) {
        if (std::chrono::steady_clock::now() > deadline) {
            throw std::runtime_error("socat made no pseudo-terminals");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::function<std::shared_ptr<comm::CommDriver>(const model::clsPlc&)> ModbusDrivers(comm::modbus::OperandMap map)
{
    return [map = std::move(map)](const model::clsPlc& plc) {
        return std::make_shared<comm::modbus::ModbusDriver>(map, plc.Params().PlcType);
    };
}

bool OpenTcp(comm::modbus::ModbusDriver& driver, int port, std::int32_t timeOutMs, std::int16_t retries,
             std::uint8_t unitId)
{
    driver.SetUnitId(unitId);
    driver.SetEthernetMode(0);
    driver.SetRemoteHost("127.0.0.1");
    driver.SetRemotePort(port);
    driver.SetTimeOut(timeOutMs);
    driver.SetRetries(retries);
    return driver.ConnectEthernet() == 0 && driver.OpenEthernet();
}

} // namespace tavrel::test
