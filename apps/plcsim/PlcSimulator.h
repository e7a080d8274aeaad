#pragma once

#include "SimulatedDevice.h"

#include "comm/modbus/OperandMap.h"

#include <modbus/modbus.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace tavrel::plcsim {

/// The PLC behind the simulator: every table of the Modbus address space, and a small program that runs while
/// the run coil is set. A timer whose bit is set counts its current value up in real time and starts again at 0
/// when it reaches a nonzero preset; timer 0 runs from the start with a 10 s preset. Counter 0 counts once a
/// second and sets its bit while its current value has reached a nonzero preset (10 at the start).
/// The input registers read what the holding registers of the same addresses hold, so that function 04 has
/// something to read that a client can set.
class PlcSimulator : public SimulatedDevice
{
public:
    PlcSimulator(const comm::modbus::OperandMap& map, comm::modbus::TimerFormat timers, Clock::time_point now);

    modbus_mapping_t* Mapping() const override { return m_mapping.get(); }

    /// True while the run coil is set.
    bool Running() const;

    /// Lets the program run up to `now`; takes in values that clients wrote since the last call.
    void Advance(Clock::time_point now) override;

    /// Copies the holding registers a read of input registers asks for into the input registers.
    void BeforeReply(std::span<const std::uint8_t> pdu) override;

private:
    struct Timer
    {
        comm::modbus::OperandLocation bit;
        comm::modbus::OperandLocation current;
        comm::modbus::OperandLocation preset;
        std::int64_t ticks = 0; ///< the current value, exact even where the raw word rounds it
        std::uint32_t published = 0; ///< what was last written to the current value's registers
    };

    struct MappingDeleter
    {
        void operator()(modbus_mapping_t* mapping) const { modbus_mapping_free(mapping); }
    };

    std::uint32_t ReadValue(const comm::modbus::OperandLocation& location) const;
    void WriteValue(const comm::modbus::OperandLocation& location, std::uint32_t value);
    std::int64_t TimerTicks(const comm::modbus::OperandLocation& location) const;
    std::uint32_t TimerRegisterValue(std::int64_t ticks) const;
    void SetBit(const comm::modbus::OperandLocation& location, bool on);
    void RunTimers(std::int64_t elapsedTicks);
    void RunCounter(std::int64_t elapsedSeconds);

    std::unique_ptr<modbus_mapping_t, MappingDeleter> m_mapping;
    comm::modbus::WordOrder m_order;
    comm::modbus::TimerFormat m_timerFormat;
    std::uint16_t m_runCoil;
    std::vector<Timer> m_timers;
    comm::modbus::OperandLocation m_counterBit {};
    comm::modbus::OperandLocation m_counterCurrent {};
    comm::modbus::OperandLocation m_counterPreset {};
    bool m_hasCounter = false;
    Clock::time_point m_last;
    std::chrono::microseconds m_tickRemainder { 0 };
    std::chrono::microseconds m_secondRemainder { 0 };
};

} // namespace tavrel::plcsim
