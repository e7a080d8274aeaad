#include "support/ScriptedDriver.h"

#include "common/NumberText.h"

#include <cmath>
#include <stdexcept>

namespace tavrel::test {

namespace {

std::string Number(double value)
{
    // Whole numbers without a fraction, others in the program's own float text.
    if (value == std::floor(value) && std::fabs(value) < 1e15) {
        return std::to_string(static_cast<long long>(value));
    }
    return common::SingleToText(static_cast<float>(value));
}

template<class Element>
double AsNumber(Element value)
{
    if constexpr (std::is_same_v<Element, common::Currency>) {
        return static_cast<double>(value.scaled) / common::Currency::kScale;
    } else {
        return static_cast<double>(value);
    }
}

template<class Element>
Element FromNumber(double value)
{
    if constexpr (std::is_same_v<Element, common::Currency>) {
        return common::Currency{std::llround(value * common::Currency::kScale)};
    } else {
        return static_cast<Element>(value);
    }
}

} // namespace

void DriverScript::Record(std::string call)
{
    {
        std::lock_guard lock(m_lock.mutex);
        calls.push_back(call);
    }
    if (OnCall) {
        OnCall(call);
    }
}

void DriverScript::Queue(const std::string& operation, std::initializer_list<DriverAnswer> answers)
{
    std::lock_guard lock(m_lock.mutex);
    auto& queue = m_queues[operation];
    queue.insert(queue.end(), answers.begin(), answers.end());
}

DriverAnswer DriverScript::Next(const std::string& operation)
{
    std::lock_guard lock(m_lock.mutex);
    auto& queue = m_queues[operation];
    if (!queue.empty()) {
        DriverAnswer answer = queue.front();
        queue.pop_front();
        return answer;
    }
    const auto always = m_always.find(operation);
    return always == m_always.end() ? DriverAnswer{} : always->second;
}

std::function<std::shared_ptr<comm::CommDriver>(const model::clsPlc&)> DriverScript::Factory()
{
    // The script outlives the test's use of the factory; instances share it.
    std::shared_ptr<DriverScript> self(this, [](DriverScript*) {});
    return [self](const model::clsPlc&) -> std::shared_ptr<comm::CommDriver> {
        self->Record("new");
        return std::make_shared<ScriptedDriver>(self);
    };
}

std::vector<std::string> DriverScript::Calls(bool withCreation) const
{
    std::vector<std::string> result;
    for (const std::string& call : calls) {
        if (withCreation || call != "new") {
            result.push_back(call);
        }
    }
    return result;
}

bool ScriptedDriver::Answer(const std::string& operation)
{
    const DriverAnswer answer = m_script->Next(operation);
    if (answer.kind == DriverAnswer::Kind::Throw) {
        throw std::runtime_error(operation + " threw");
    }
    return answer.kind == DriverAnswer::Kind::Ok;
}

template<class Element>
bool ScriptedDriver::Exchange(const std::string& name, std::int16_t address, std::int16_t count,
                              std::span<Element> values, std::uint8_t& status)
{
    const bool write = name.rfind("Write", 0) == 0;
    std::string call = name + "(" + std::to_string(address) + "," + std::to_string(count);
    if (write) {
        call += "," + Number(AsNumber(values[0]));
    }
    m_script->Record(call + ")");
    status = 0;
    const DriverAnswer answer = m_script->Next(name);
    if (answer.kind == DriverAnswer::Kind::Throw) {
        throw std::runtime_error(name + " threw");
    }
    if (answer.kind != DriverAnswer::Kind::Ok) {
        m_refused = answer.kind == DriverAnswer::Kind::Refuse;
    }
    if (!write && answer.kind == DriverAnswer::Kind::Ok) {
        values[0] = FromNumber<Element>(answer.value);
    }
    return answer.kind == DriverAnswer::Kind::Ok;
}

void ScriptedDriver::SetUnitId(std::uint8_t unitId) { m_script->Record("SetUnitId(" + std::to_string(unitId) + ")"); }

bool ScriptedDriver::OpenSerial(std::int32_t& comPort, comm::SerialSettings& s)
{
    m_script->Record("OpenSerial(" + std::to_string(comPort) + "," + std::to_string(s.SerialBaudRate) + ","
                              + std::to_string(s.DataBits) + "," + std::to_string(s.Parity) + ","
                              + std::to_string(s.StopBits) + "," + std::to_string(s.TimeOut) + ","
                              + std::to_string(s.NumRetries) + ")");
    return Answer("OpenSerial");
}

void ScriptedDriver::SetEthernetMode(std::int32_t mode) { m_script->Record("SetEthernetMode(" + std::to_string(mode) + ")"); }
void ScriptedDriver::SetRemoteHost(const std::string& host) { m_script->Record("SetRemoteHost(" + host + ")"); }
void ScriptedDriver::SetRemotePort(std::int32_t port) { m_script->Record("SetRemotePort(" + std::to_string(port) + ")"); }
void ScriptedDriver::SetTimeOut(std::int32_t ms) { m_script->Record("SetTimeOut(" + std::to_string(ms) + ")"); }
void ScriptedDriver::SetRetries(std::int16_t retries) { m_script->Record("SetRetries(" + std::to_string(retries) + ")"); }

std::int32_t ScriptedDriver::ConnectEthernet()
{
    m_script->Record("ConnectEthernet()");
    return m_script->ConnectStatus;
}

bool ScriptedDriver::OpenEthernet()
{
    m_script->Record("OpenEthernet()");
    return Answer("OpenEthernet");
}

void ScriptedDriver::CloseSerial() { m_script->Record("CloseSerial()"); }
void ScriptedDriver::CloseEthernet() { m_script->Record("CloseEthernet()"); }

bool ScriptedDriver::PlcStop(std::uint8_t& status)
{
    status = 0;
    m_script->Record("PlcStop()");
    return Answer("PlcStop");
}

bool ScriptedDriver::PlcRun(std::uint8_t& status)
{
    status = 0;
    m_script->Record("PlcRun()");
    return Answer("PlcRun");
}

bool ScriptedDriver::ReadBinaryMix(std::vector<common::BinaryMixEntry>& entries, std::uint8_t& status)
{
    status = 0;
    std::string call = "ReadBinaryMix(";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const auto& e = entries[i];
        call += (i ? ";" : "") + std::to_string(e.MixType) + "@" + std::to_string(e.StartAddress) + "x"
            + std::to_string(e.Count);
    }
    m_script->Record(call + ")");
    if (!Answer("ReadBinaryMix")) {
        return false;
    }
    for (auto& entry : entries) {
        entry.Values.assign(static_cast<std::size_t>(std::max(entry.Count, 0)), common::OperandValue{});
    }
    if (m_script->FillBinaryMix) {
        m_script->FillBinaryMix(entries);
    }
    return true;
}

} // namespace tavrel::test
