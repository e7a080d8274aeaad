#pragma once

#include "comm/CommDriver.h"
#include "common/AppOptions.h"

#include <cstdint>
#include <functional>
#include <string>

namespace tavrel::model {
class clsPlc;
class Clsitem;
} // namespace tavrel::model

namespace tavrel::comm {

/// Told what the refresh cycle finds; the window and headless mode implement it.
class CommObserver
{
public:
    virtual ~CommObserver() = default;
    /// A PLC that was not connected has been re-opened and will be read again.
    virtual void HighlightConnectedPlc(std::int32_t pPlcKey) = 0;
    /// A PLC failed a pass; `reason` says why in words for the user.
    virtual void HighlightNotConnectedPlc(std::int32_t pPlcKey, const std::string& reason) = 0;
    /// A poked text could not be written as the item's operand kind and was refused.
    virtual void PokeRefused(const model::clsPlc& plc, const model::Clsitem& item, const std::string& reason) = 0;
};

/// Seconds of a monotonic clock: never goes back, not tied to the time of day.
std::int64_t SteadySeconds();
/// Milliseconds of the same clock.
std::int64_t SteadyMilliseconds();

/// A PLC that failed is re-opened this many seconds later, unless the environment says otherwise.
inline constexpr std::int64_t kReconnectDelaySeconds = 60;

/// What the communication routines need from the program around them.
struct CommEnvironment
{
    /// Makes a fresh driver for a PLC whenever its channel opens.
    std::function<std::shared_ptr<CommDriver>(const model::clsPlc&)> CreateDriver;
    /// The program's settings; ConnectOnce is read at every exchange, so a change applies at once.
    const common::AppOptions* Options = nullptr;
    CommObserver* Observer = nullptr;
    std::function<std::int64_t()> MonotonicSeconds = SteadySeconds;
    /// The clock of the PLCs' scan intervals.
    std::function<std::int64_t()> MonotonicMilliseconds = SteadyMilliseconds;
    char DecimalSeparator = '.';
    /// Seconds of MonotonicSeconds between a PLC's failure and the next attempt to open it.
    std::int64_t ReconnectDelaySeconds = kReconnectDelaySeconds;

    bool ConnectOnce() const { return Options == nullptr || Options->ConnectOnce; }
};

} // namespace tavrel::comm
