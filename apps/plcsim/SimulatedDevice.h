#pragma once

#include <modbus/modbus.h>

#include <chrono>
#include <cstdint>
#include <span>

namespace tavrel::plcsim {

/// What the simulator serves: the Modbus tables libmodbus answers from, and whatever changes them over time.
class SimulatedDevice
{
public:
    using Clock = std::chrono::steady_clock;

    virtual ~SimulatedDevice() = default;

    /// The tables as libmodbus answers requests from them.
    virtual modbus_mapping_t* Mapping() const = 0;

    /// Lets the device run up to `now`; takes in values that clients wrote since the last call.
    virtual void Advance(Clock::time_point now) = 0;

    /// Sees a request before libmodbus answers it: `pdu` is its function code and data.
    virtual void BeforeReply(std::span<const std::uint8_t> pdu) { static_cast<void>(pdu); }
};

} // namespace tavrel::plcsim
