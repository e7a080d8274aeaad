#include "comm/modbus/ModbusContext.h"

namespace tavrel::comm::modbus {

ModbusContext& ModbusContext::operator=(ModbusContext&& other) noexcept
{
    if (this != &other) {
        Reset();
        m_context = std::exchange(other.m_context, nullptr);
    }
    return *this;
}

ModbusContext::~ModbusContext()
{
    Reset();
}

void ModbusContext::Disconnect() noexcept
{
    if (m_context != nullptr) {
        modbus_close(m_context);
        // libmodbus's RTU close leaves the closed descriptor in the context; a second close could hit a file
        // opened since under the same number.
        modbus_set_socket(m_context, -1);
    }
}

void ModbusContext::Reset() noexcept
{
    if (m_context != nullptr) {
        Disconnect();
        modbus_free(m_context);
        m_context = nullptr;
    }
}

} // namespace tavrel::comm::modbus
