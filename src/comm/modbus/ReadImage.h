#pragma once

#include "comm/modbus/OperandMap.h"

#include <cstdint>
#include <vector>

namespace tavrel::comm::modbus {

/// What the read requests brought back: an image of each table's 65536 addresses, of which those read hold what
/// the PLC answered. Decodes the values of operands from it.
class ReadImage
{
public:
    /// An image whose 32-bit values lie in `order`.
    explicit ReadImage(WordOrder order)
        : m_order(order)
    {
    }

    /// Where the bits of a bit table from address `start` on go.
    std::uint8_t* BitsAt(Table table, std::uint16_t start);
    /// Where the holding registers from address `start` on go.
    std::uint16_t* RegistersAt(std::uint16_t start);

    /// The bit at `address` of the coils, or else of the discrete inputs: 0 or 1.
    std::int32_t Bit(bool coils, std::uint16_t address) const
    {
        return (coils ? m_coils[address] : m_inputs[address]) != 0 ? 1 : 0;
    }
    /// The holding register at `address`.
    std::uint16_t Word(std::uint16_t address) const { return m_registers[address]; }
    /// The 32-bit value of the holding registers at `address` and the one after.
    std::uint32_t Long(std::uint16_t address) const
    {
        return JoinWords(m_order, m_registers[address], m_registers[static_cast<std::size_t>(address) + 1]);
    }

private:
    WordOrder m_order;
    std::vector<std::uint8_t> m_coils;
    std::vector<std::uint8_t> m_inputs;
    std::vector<std::uint16_t> m_registers;
};

} // namespace tavrel::comm::modbus
