#include "MeterSimulator.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace tavrel::plcsim {

const char* const kMeterLayout
    = "--profile meter: a three-phase energy meter. Addresses are protocol addresses (the 1-based reference in\n"
      "brackets); 32- and 64-bit values high word first (ABCD) unless said otherwise; anything past the last\n"
      "address of a table is an illegal data address.\n"
      "  input registers 0-99 (function 04):\n"
      "    0-1   (30001)  voltage L1-N          float32       V     about 230, swinging by 8 over a minute\n"
      "    2-3   (30003)  voltage L2-N          float32       V\n"
      "    4-5   (30005)  voltage L3-N          float32       V\n"
      "    6-7   (30007)  current L1            float32       A     about 12 times holding register 2 / 100\n"
      "    8-9   (30009)  current L2            float32       A\n"
      "    10-11 (30011)  current L3            float32       A\n"
      "    12-13 (30013)  active power total    float32 CDAB  kW    the sum of voltage x current x power factor\n"
      "    14    (30015)  frequency             uint16        Hz x 100 (5000 is 50.00 Hz)\n"
      "    15    (30016)  power factor          int16         x 1000\n"
      "    16    (30017)  temperature           int16         degrees Celsius x 10\n"
      "    17    (30018)  status                bit 0 measuring (always 1), bit 1 over-voltage (L1 above\n"
      "                                         holding registers 0-1), bit 2 the relay (coil 0)\n"
      "    20-23 (30021)  active energy total   uint64        Wh    counts up from 4295000000\n"
      "    24-25 (30025)  seconds measuring     uint32 CDAB   s\n"
      "    30-37 (30031)  serial number         string(16) AB       TVM3-2026-004711\n"
      "    38-41 (30039)  firmware version      string(8) BA        4.2.17\n"
      "  holding registers 0-19 (functions 03, 06, 16):\n"
      "    0-1   (40001)  over-voltage limit    float32       V     236.0 at the start\n"
      "    2     (40003)  current scale         uint16        %     100 at the start\n"
      "  coils 0-7 (functions 01, 05, 15): coil 0 the relay\n"
      "  discrete inputs 0-7 (function 02): input 0 the relay's feedback, input 1 over-voltage\n";

namespace {

constexpr int kCoils = 8;
constexpr int kDiscreteInputs = 8;
constexpr int kHoldingRegisters = 20;
constexpr int kInputRegisters = 100;

constexpr int kVoltage = 0; // input registers
constexpr int kCurrent = 6;
constexpr int kPower = 12;
constexpr int kFrequency = 14;
constexpr int kPowerFactor = 15;
constexpr int kTemperature = 16;
constexpr int kStatus = 17;
constexpr int kEnergy = 20;
constexpr int kSecondsMeasuring = 24;
constexpr int kSerialNumber = 30;
constexpr int kFirmware = 38;
constexpr int kVoltageLimit = 0; // holding registers
constexpr int kCurrentScale = 2;

constexpr double kFirstEnergyWh = 4295000000.0; // just past what 32 bits hold
constexpr float kFirstVoltageLimit = 236.0f;
constexpr std::uint16_t kFirstCurrentScale = 100;

// A slow wave of `amplitude` around `middle` with a period of `periodSeconds`, shifted by `phase` radians.
double Wave(double seconds, double middle, double amplitude, double periodSeconds, double phase = 0)
{
    return middle + amplitude * std::sin(2 * std::numbers::pi * seconds / periodSeconds + phase);
}

std::uint16_t High(std::uint32_t value)
{
    return static_cast<std::uint16_t>(value >> 16);
}
std::uint16_t Low(std::uint32_t value)
{
    return static_cast<std::uint16_t>(value & 0xFFFFu);
}

} // namespace

MeterSimulator::MeterSimulator(Clock::time_point now)
    : m_mapping(
        modbus_mapping_new_start_address(0, kCoils, 0, kDiscreteInputs, 0, kHoldingRegisters, 0, kInputRegisters))
    , m_start(now)
    , m_last(now)
    , m_energyWh(kFirstEnergyWh)
{
    if (!m_mapping) {
        throw std::runtime_error("cannot allocate the Modbus tables");
    }
    const auto limit = std::bit_cast<std::uint32_t>(kFirstVoltageLimit);
    m_mapping->tab_registers[kVoltageLimit] = High(limit);
    m_mapping->tab_registers[kVoltageLimit + 1] = Low(limit);
    m_mapping->tab_registers[kCurrentScale] = kFirstCurrentScale;
    PutText(kSerialNumber, 8, "TVM3-2026-004711", false);
    PutText(kFirmware, 4, "4.2.17", true);
    Advance(now);
}

void MeterSimulator::Advance(Clock::time_point now)
{
    const double seconds = std::chrono::duration<double>(now - m_start).count();
    const double elapsed = std::chrono::duration<double>(now - m_last).count();
    m_last = now;

    const double currentScale = m_mapping->tab_registers[kCurrentScale] / 100.0;
    const double powerFactor = std::round(Wave(seconds, 950, 30, 90)) / 1000.0;
    double powerKw = 0;
    float voltageL1 = 0;
    for (int phase = 0; phase < 3; ++phase) {
        const double shift = 2 * std::numbers::pi * phase / 3;
        // The registers hold float32: the power is worked out from what a client reads.
        const auto voltage = static_cast<float>(Wave(seconds, 230, 8, 60, shift));
        const auto current = static_cast<float>(Wave(seconds, 12, 4, 45, shift) * currentScale);
        PutFloat32(kVoltage + 2 * phase, voltage, false);
        voltageL1 = phase == 0 ? voltage : voltageL1;
        PutFloat32(kCurrent + 2 * phase, current, false);
        powerKw += static_cast<double>(voltage) * static_cast<double>(current) * powerFactor / 1000;
    }
    PutFloat32(kPower, static_cast<float>(powerKw), true);
    std::uint16_t* input = m_mapping->tab_input_registers;
    input[kFrequency] = static_cast<std::uint16_t>(std::lround(Wave(seconds, 5000, 5, 30)));
    input[kPowerFactor] = static_cast<std::uint16_t>(std::lround(powerFactor * 1000));
    input[kTemperature]
        = static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(Wave(seconds, 350, 20, 300))));

    // The energy counts only forward, and by whole watt hours as a meter's register does.
    if (elapsed > 0) {
        m_energyWh += std::max(powerKw, 0.0) * 1000 * elapsed / 3600;
    }
    PutUInt64(kEnergy, static_cast<std::uint64_t>(m_energyWh));
    PutUInt32(kSecondsMeasuring, static_cast<std::uint32_t>(seconds), true);

    const bool overVoltage = voltageL1 > FloatSetting(kVoltageLimit);
    const bool relay = m_mapping->tab_bits[0] != 0;
    input[kStatus] = static_cast<std::uint16_t>(1u | (overVoltage ? 2u : 0u) | (relay ? 4u : 0u));
    m_mapping->tab_input_bits[0] = relay ? 1 : 0;
    m_mapping->tab_input_bits[1] = overVoltage ? 1 : 0;
}

void MeterSimulator::PutFloat32(int address, float value, bool wordsSwapped)
{
    PutUInt32(address, std::bit_cast<std::uint32_t>(value), wordsSwapped);
}

void MeterSimulator::PutUInt32(int address, std::uint32_t value, bool wordsSwapped)
{
    std::uint16_t* input = m_mapping->tab_input_registers;
    input[address] = wordsSwapped ? Low(value) : High(value);
    input[address + 1] = wordsSwapped ? High(value) : Low(value);
}

void MeterSimulator::PutUInt64(int address, std::uint64_t value)
{
    for (int word = 0; word < 4; ++word) {
        m_mapping->tab_input_registers[address + word] = static_cast<std::uint16_t>(value >> (48 - 16 * word));
    }
}

void MeterSimulator::PutText(int address, int registers, std::string_view text, bool bytesSwapped)
{
    for (int word = 0; word < registers; ++word) {
        const auto at = [&](std::size_t index) {
            return index < text.size() ? static_cast<std::uint8_t>(text[index]) : std::uint8_t { 0 };
        };
        const std::uint8_t first = at(2 * static_cast<std::size_t>(word));
        const std::uint8_t second = at(2 * static_cast<std::size_t>(word) + 1);
        m_mapping->tab_input_registers[address + word] = bytesSwapped ? static_cast<std::uint16_t>(second << 8 | first)
                                                                      : static_cast<std::uint16_t>(first << 8 | second);
    }
}

float MeterSimulator::FloatSetting(int address) const
{
    const std::uint16_t* holding = m_mapping->tab_registers;
    return std::bit_cast<float>(static_cast<std::uint32_t>(holding[address]) << 16 | holding[address + 1]);
}

} // namespace tavrel::plcsim
