#include "comm/modbus/ReadImage.h"

namespace tavrel::comm::modbus {

namespace {

// Every Modbus address of a table; an image is made whole the first time its table is read.
constexpr std::size_t kAddresses = 65536;

} // namespace

std::uint8_t* ReadImage::BitsAt(Table table, std::uint16_t start)
{
    std::vector<std::uint8_t>& bits = table == Table::Coils ? m_coils : m_inputs;
    bits.resize(kAddresses);
    return bits.data() + start;
}

std::uint16_t* ReadImage::RegistersAt(std::uint16_t start)
{
    m_registers.resize(kAddresses);
    return m_registers.data() + start;
}

} // namespace tavrel::comm::modbus
