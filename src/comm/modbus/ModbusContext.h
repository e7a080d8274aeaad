#pragma once

#include <modbus/modbus.h>

#include <utility>

namespace tavrel::comm::modbus {

/// Owns one libmodbus context: closes and frees it when destroyed. Move-only; one thread at a time.
class ModbusContext
{
public:
    ModbusContext() = default;
    /// Takes ownership of `context`, which may be null.
    explicit ModbusContext(modbus_t* context) noexcept
        : m_context(context)
    {
    }
    ModbusContext(const ModbusContext&) = delete;
    ModbusContext& operator=(const ModbusContext&) = delete;
    ModbusContext(ModbusContext&& other) noexcept
        : m_context(std::exchange(other.m_context, nullptr))
    {
    }
    ModbusContext& operator=(ModbusContext&& other) noexcept;
    ~ModbusContext(); // modbus_close + modbus_free

    /// The context, or null when none is held.
    modbus_t* Get() const noexcept { return m_context; }
    explicit operator bool() const noexcept { return m_context != nullptr; }

    /// Closes the connection, if any, and keeps the context for another connect.
    void Disconnect() noexcept;

    /// Closes the connection and frees the context; afterwards none is held.
    void Reset() noexcept;

private:
    modbus_t* m_context = nullptr;
};

} // namespace tavrel::comm::modbus
