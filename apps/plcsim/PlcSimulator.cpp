#include "PlcSimulator.h"

#include "comm/modbus/RawTimerWord.h"
#include "common/OperandCatalogue.h"
#include "common/ValueConversions.h"

#include <algorithm>
#include <stdexcept>

namespace tavrel::plcsim {

namespace {

using comm::modbus::OperandLocation;
using comm::modbus::TimerFormat;
namespace op = common::operand;

constexpr int kTableSize = 65536;
constexpr std::int32_t kTimerCount = 384; // the most timers any PLC family has
constexpr std::int64_t kFirstTimerPreset = 1000; // 10 s
constexpr std::uint32_t kFirstCounterPreset = 10;
constexpr std::chrono::microseconds kTick { 10000 };
constexpr std::chrono::microseconds kSecond { 1000000 };

} // namespace

PlcSimulator::PlcSimulator(const comm::modbus::OperandMap& map, TimerFormat timers, Clock::time_point now)
    : m_mapping(modbus_mapping_new(kTableSize, kTableSize, kTableSize, kTableSize))
    , m_order(map.Order())
    , m_timerFormat(timers)
    , m_runCoil(map.RunCoil())
    , m_last(now)
{
    if (!m_mapping) {
        throw std::runtime_error("cannot allocate the Modbus tables");
    }
    for (std::int32_t a = 0; a < kTimerCount; ++a) {
        const auto bit = map.Locate(op::TBit, a, timers);
        const auto current = map.Locate(op::TCurrent, a, timers);
        const auto preset = map.Locate(op::TPreset, a, timers);
        if (bit && current && preset) {
            m_timers.push_back(Timer { *bit, *current, *preset });
        }
    }
    const auto counterBit = map.Locate(op::CBit, 0, timers);
    const auto counterCurrent = map.Locate(op::CCurrent, 0, timers);
    const auto counterPreset = map.Locate(op::CPreset, 0, timers);
    if (counterBit && counterCurrent && counterPreset) {
        m_counterBit = *counterBit;
        m_counterCurrent = *counterCurrent;
        m_counterPreset = *counterPreset;
        m_hasCounter = true;
        WriteValue(m_counterPreset, kFirstCounterPreset);
    }
    m_mapping->tab_bits[m_runCoil] = 1;
    if (!m_timers.empty()) {
        Timer& first = m_timers.front();
        SetBit(first.bit, true);
        WriteValue(first.preset, TimerRegisterValue(kFirstTimerPreset));
    }
    for (Timer& timer : m_timers) {
        timer.published = ReadValue(timer.current);
    }
}

bool PlcSimulator::Running() const
{
    return m_mapping->tab_bits[m_runCoil] != 0;
}

void PlcSimulator::Advance(Clock::time_point now)
{
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(now - m_last);
    m_last = now;
    // A client may have written a timer's current value since the last call: the timer goes on from there.
    for (Timer& timer : m_timers) {
        if (const std::uint32_t shown = ReadValue(timer.current); shown != timer.published) {
            timer.ticks = TimerTicks(timer.current);
            timer.published = shown;
        }
    }
    if (Running() && elapsed.count() > 0) {
        m_tickRemainder += elapsed;
        const std::int64_t ticks = m_tickRemainder / kTick;
        m_tickRemainder -= ticks * kTick;
        if (ticks > 0) {
            RunTimers(ticks);
        }
        m_secondRemainder += elapsed;
        const std::int64_t seconds = m_secondRemainder / kSecond;
        m_secondRemainder -= seconds * kSecond;
        if (seconds > 0) {
            RunCounter(seconds);
        }
    }
    if (m_hasCounter) {
        const std::uint32_t preset = ReadValue(m_counterPreset);
        SetBit(m_counterBit, preset > 0 && ReadValue(m_counterCurrent) >= preset);
    }
}

void PlcSimulator::BeforeReply(std::span<const std::uint8_t> pdu)
{
    // Function 04: address and count, big-endian (Modbus Application Protocol V1.1b3, 6.4). libmodbus checks the
    // range when it answers; the copy stays inside the tables whatever the request says.
    if (pdu.size() < 5 || pdu[0] != MODBUS_FC_READ_INPUT_REGISTERS) {
        return;
    }
    const std::size_t address = static_cast<std::size_t>(pdu[1]) << 8 | pdu[2];
    const std::size_t requested = static_cast<std::size_t>(pdu[3]) << 8 | pdu[4];
    const std::size_t count = std::min(requested, static_cast<std::size_t>(kTableSize) - address);
    std::copy_n(m_mapping->tab_registers + address, count, m_mapping->tab_input_registers + address);
}

std::uint32_t PlcSimulator::ReadValue(const OperandLocation& location) const
{
    const std::uint16_t* registers = m_mapping->tab_registers;
    if (location.width == 1) {
        return registers[location.address];
    }
    const std::uint32_t first = registers[location.address];
    const std::uint32_t second = registers[location.address + 1];
    return m_order == comm::modbus::WordOrder::HighWordFirst ? (first << 16) | second : (second << 16) | first;
}

void PlcSimulator::WriteValue(const OperandLocation& location, std::uint32_t value)
{
    std::uint16_t* registers = m_mapping->tab_registers;
    if (location.width == 1) {
        registers[location.address] = static_cast<std::uint16_t>(value);
        return;
    }
    const auto high = static_cast<std::uint16_t>(value >> 16);
    const auto low = static_cast<std::uint16_t>(value & 0xFFFFu);
    const bool highFirst = m_order == comm::modbus::WordOrder::HighWordFirst;
    registers[location.address] = highFirst ? high : low;
    registers[location.address + 1] = highFirst ? low : high;
}

std::int64_t PlcSimulator::TimerTicks(const OperandLocation& location) const
{
    if (m_timerFormat == TimerFormat::RawWord) {
        return comm::modbus::TicksFromRawTimerWord(static_cast<std::uint16_t>(ReadValue(location)));
    }
    return std::max<std::int64_t>(static_cast<std::int32_t>(ReadValue(location)), 0);
}

std::uint32_t PlcSimulator::TimerRegisterValue(std::int64_t ticks) const
{
    if (m_timerFormat == TimerFormat::RawWord) {
        // Beyond what a raw word holds the timer shows its largest count at the coarsest base.
        return comm::modbus::RawTimerWordFromTicks(ticks).value_or(std::uint16_t { 0xFFFF });
    }
    return static_cast<std::uint32_t>(std::min<std::int64_t>(ticks, common::kMaxTimerTicks));
}

void PlcSimulator::SetBit(const OperandLocation& location, bool on)
{
    m_mapping->tab_input_bits[location.address] = on ? 1 : 0;
}

void PlcSimulator::RunTimers(std::int64_t elapsedTicks)
{
    for (Timer& timer : m_timers) {
        if (m_mapping->tab_input_bits[timer.bit.address] == 0) {
            continue;
        }
        const std::int64_t preset = TimerTicks(timer.preset);
        if (preset <= 0) {
            continue;
        }
        timer.ticks = (timer.ticks + elapsedTicks) % preset;
        timer.published = TimerRegisterValue(timer.ticks);
        WriteValue(timer.current, timer.published);
    }
}

void PlcSimulator::RunCounter(std::int64_t elapsedSeconds)
{
    if (m_hasCounter) {
        WriteValue(m_counterCurrent, ReadValue(m_counterCurrent) + static_cast<std::uint32_t>(elapsedSeconds));
    }
}

} // namespace tavrel::plcsim
