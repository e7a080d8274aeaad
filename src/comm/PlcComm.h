#pragma once

#include "comm/CommEnvironment.h"
#include "model/clsPlc.h"

#include <optional>
#include <string>

namespace tavrel::comm {

/// Why the PLC's channel cannot be opened with its stored values (a PLC type or unit ID this program does
/// not know), or nothing when it can.
std::optional<std::string> WhyNotOpened(const model::clsPlc& plc);

/// Why an item is never read or written (an operand type or direction this program does not know), or
/// nothing when it takes part in the exchange.
std::optional<std::string> WhyNotExchanged(const model::Clsitem& item);

/// Opens the PLC's channel with a fresh driver; the previous one is released unclosed. On failure (also for
/// the reasons of WhyNotOpened) the PLC has no driver and its LastError says why. A driver that throws counts as a
/// failure.
bool OpenComm(model::clsPlc& plc, const CommEnvironment& env);

/// Closes the channel, if any, and leaves a fresh, unopened driver in its place.
void CloseComm(model::clsPlc& plc, const CommEnvironment& env);

/// Sends the stop (or run) command through the channel rule; the driver's result, false when the channel
/// could not be opened.
bool StopMe(model::clsPlc& plc, const CommEnvironment& env);
bool RunMe(model::clsPlc& plc, const CommEnvironment& env);

/// Rebuilds the batched-read list: one entry per enabled, readable item of a batched PLC family.
void BuildBinaryMix(model::clsPlc& plc);

/// Reads every readable item (in one batched request, or item by item for the Q40 family) and publishes
/// the values; true when the PLC answered as required.
bool ReadItemValuesAndUpdateItems(model::clsPlc& plc, const CommEnvironment& env);

/// Writes every pending poke of the PLC's writable items; true when no write failed and the channel opened.
bool WriteItemValuesAndUpdateItems(model::clsPlc& plc, const CommEnvironment& env);

} // namespace tavrel::comm
