#pragma once

#include "comm/ChannelWorkers.h"
#include "comm/CommEnvironment.h"
#include "model/clsConfig.h"

#include <string_view>

namespace tavrel::comm {

/// One pass over every PLC in project order: a connected PLC reads and, when that succeeded, writes its
/// pending pokes; a PLC that fails is marked not connected and re-opened env.ReconnectDelaySeconds later.
void Refresh(model::clsConfig& config, const CommEnvironment& env);

/// The same pass with the exchanges side by side: each channel's PLCs on its worker, one after another, while the
/// main thread waits; the results are applied in project order, so the model and its observers see what the pass
/// above gives them. Ends the workers of channels the project no longer has.
void RefreshSideBySide(model::clsConfig& config, const CommEnvironment& env, ChannelWorkers& workers);

/// Milliseconds until the PLC is due for its next exchange under its scan interval (ScanMs): 0 when it is due now
/// or has none. A pass leaves a PLC that is not due alone: it keeps its values and its state.
std::int64_t MillisecondsUntilDue(const model::clsPlc& plc, const CommEnvironment& env);

/// Marks every PLC connected and not yet answered, with its run state unknown and due at once, as at the start of
/// a run.
void ResetConnctedState(model::clsConfig& config);

/// Opens every PLC's channel in project order; the results are not used.
void OpenPlcsComm(model::clsConfig& config, const CommEnvironment& env);
void OpenPlcsComm(model::clsConfig& config, const CommEnvironment& env, ChannelWorkers& workers);

/// Closes every PLC's channel.
void ClosePlcsComm(model::clsConfig& config, const CommEnvironment& env);
void ClosePlcsComm(model::clsConfig& config, const CommEnvironment& env, ChannelWorkers& workers);

/// Rebuilds every PLC's batched-read list.
void BuildBinaryMix(model::clsConfig& config);

/// Sends the run (or stop) command to the first PLC whose name matches without regard to letter case;
/// nothing when none does. Returns whether a PLC of that name was found.
bool RunPlc(model::clsConfig& config, std::string_view pPlcName, const CommEnvironment& env);
bool StopPlc(model::clsConfig& config, std::string_view pPlcName, const CommEnvironment& env);

/// The first PLC whose name matches without regard to letter case, or null.
model::clsPlc* FindPlcByName(const model::clsConfig& config, std::string_view name);

} // namespace tavrel::comm
