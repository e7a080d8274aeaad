#pragma once

#include "common/PlcFamilies.h"

#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <tl/expected.hpp>

namespace tavrel::comm::modbus {

/// The Modbus data tables: the operands of the map live in the first three, the items of a Modbus device in all four.
enum class Table { Coils, DiscreteInputs, HoldingRegisters, InputRegisters };

/// Which register of a 32-bit value comes first.
enum class WordOrder { HighWordFirst, LowWordFirst };

using common::TimerFormat;

/// The 32-bit value of two registers, taken in the order they lie.
inline std::uint32_t JoinWords(WordOrder order, std::uint16_t first, std::uint16_t second)
{
    return order == WordOrder::HighWordFirst ? (std::uint32_t { first } << 16) | second
                                             : (std::uint32_t { second } << 16) | first;
}

/// The two registers of a 32-bit value, in the order they lie.
inline std::array<std::uint16_t, 2> SplitWords(WordOrder order, std::uint32_t value)
{
    const auto high = static_cast<std::uint16_t>(value >> 16);
    const auto low = static_cast<std::uint16_t>(value & 0xFFFFu);
    return order == WordOrder::HighWordFirst ? std::array { high, low } : std::array { low, high };
}

/// The timer format of a PLC type code: its family's, ticks for a code without a family.
TimerFormat TimerFormatOf(std::int32_t plcType);

/// Request limits of the Modbus application protocol (libmodbus: MODBUS_MAX_READ_REGISTERS and friends).
inline constexpr int kMaxReadRegisters = 125;
inline constexpr int kMaxReadBits = 2000;
inline constexpr int kMaxWriteRegisters = 123;
inline constexpr int kMaxWriteBits = 1968;
/// The fewest registers a request may be capped to: one 32-bit value, which is never split between requests.
inline constexpr int kMinRegistersPerRequest = 2;

/// Where one operand lives: its table, its first Modbus address and how many bits or registers it takes.
struct OperandLocation
{
    Table table;
    std::uint16_t address;
    std::uint16_t width;

    friend bool operator==(const OperandLocation&, const OperandLocation&) = default;
};

/// The operand map: where every operand type lives on the PLC, the word order of 32-bit values, the request
/// caps, the serial device of each COM port and the run coil. A default-made map is the built-in one.
class OperandMap
{
public:
    OperandMap();

    /// The location of operand `operandAddress` of an operand type code, or nothing when the type has no place
    /// in the map or the operand lies outside the Modbus address range 0..65535.
    std::optional<OperandLocation> Locate(std::int32_t operandType, std::int64_t operandAddress,
                                          TimerFormat timers) const;

    /// The base address of an operand type code, or nothing for a type without a place in the map.
    std::optional<std::uint16_t> Base(std::int32_t operandType) const;
    /// Moves an operand type; false (and nothing changed) for a type without a place in the map.
    bool SetBase(std::int32_t operandType, std::uint16_t base);

    WordOrder Order() const { return m_wordOrder; }
    void SetOrder(WordOrder order) { m_wordOrder = order; }

    /// Registers (2..125) and bits (1..2000) one read request may ask for; writes stay within 123 and 1968 too.
    int MaxRegistersPerRequest() const { return m_maxRegisters; }
    int MaxBitsPerRequest() const { return m_maxBits; }
    /// False, and nothing changed, for a cap outside the protocol's range.
    bool SetMaxRegistersPerRequest(int cap);
    bool SetMaxBitsPerRequest(int cap);

    /// The coil that runs the PLC when set to 1 and stops it when set to 0.
    std::uint16_t RunCoil() const { return m_runCoil; }
    void SetRunCoil(std::uint16_t coil) { m_runCoil = coil; }

    /// The serial device of a COM port: the configured one, else /dev/ttyS{n-1}; empty for a port below 1.
    std::string SerialDevice(std::int32_t comPort) const;
    void SetSerialDevice(std::int32_t comPort, std::string device);

private:
    struct Placement
    {
        std::int32_t operandType;
        Table table;
        std::uint16_t base;
        std::uint16_t width;
    };

    Placement* FindPlacement(std::int32_t operandType);
    const Placement* FindPlacement(std::int32_t operandType) const;

    static constexpr std::int32_t kHighestCode = 67;

    std::array<Placement, 21> m_placements;
    std::array<std::int8_t, kHighestCode + 1> m_placementOfCode; ///< index into m_placements, or -1
    WordOrder m_wordOrder = WordOrder::HighWordFirst;
    int m_maxRegisters = kMaxReadRegisters;
    int m_maxBits = kMaxReadBits;
    std::uint16_t m_runCoil = 65000;
    std::map<std::int32_t, std::string> m_serialDevices;
};

/// Reads the text of a map file (sections [Bases], [Options], [Ports]; see ParseOperandMap in the .cpp for the
/// keys) over the built-in map. A line that cannot be used is an error naming `sourceName` and the line number.
tl::expected<OperandMap, std::string> ParseOperandMap(std::string_view text, std::string_view sourceName);

/// The map of an optional map file: the built-in map when the file does not exist, else the file read over it;
/// an error when it cannot be read or holds a bad line.
tl::expected<OperandMap, std::string> ReadOperandMapFile(const std::filesystem::path& path);

} // namespace tavrel::comm::modbus
