#pragma once

#include "SimulatedDevice.h"

#include <cstdint>
#include <memory>
#include <string_view>

namespace tavrel::plcsim {

/// A three-phase energy meter, as plants keep them on their Modbus lines: measurements in input registers,
/// settings in holding registers, a relay on a coil. Its register layout is kMeterLayout. The values follow
/// slow waves over time, so that every read differs a little, and the energy total counts up with the power.
class MeterSimulator : public SimulatedDevice
{
public:
    explicit MeterSimulator(Clock::time_point now);

    modbus_mapping_t* Mapping() const override { return m_mapping.get(); }

    /// Computes the measurements at `now` and counts the energy since the last call.
    void Advance(Clock::time_point now) override;

private:
    struct MappingDeleter
    {
        void operator()(modbus_mapping_t* mapping) const { modbus_mapping_free(mapping); }
    };

    void PutFloat32(int address, float value, bool wordsSwapped);
    void PutUInt32(int address, std::uint32_t value, bool wordsSwapped);
    void PutUInt64(int address, std::uint64_t value);
    void PutText(int address, int registers, std::string_view text, bool bytesSwapped);
    float FloatSetting(int address) const;

    std::unique_ptr<modbus_mapping_t, MappingDeleter> m_mapping;
    Clock::time_point m_start;
    Clock::time_point m_last;
    double m_energyWh;
};

/// The meter's register layout, as --help prints it.
extern const char* const kMeterLayout;

} // namespace tavrel::plcsim
