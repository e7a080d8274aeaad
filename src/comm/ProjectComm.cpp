#include "comm/ProjectComm.h"

#include "comm/PlcComm.h"
#include "common/TextCase.h"

#include <chrono>

namespace tavrel::comm {

std::int64_t SteadySeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void Refresh(model::clsConfig& config, const CommEnvironment& env)
{
    for (const auto& plc : config.colPlcs()) {
        if (plc->Connected) {
            bool ok = ReadItemValuesAndUpdateItems(*plc, env);
            if (ok) {
                ok = WriteItemValuesAndUpdateItems(*plc, env);
            }
            if (!ok) {
                plc->Connected = false;
                plc->ConnectedTimeOutTimer = env.MonotonicSeconds();
                if (env.Observer) {
                    env.Observer->HighlightNotConnectedPlc(plc->Key, plc->LastError);
                }
            }
        } else if (env.MonotonicSeconds() - plc->ConnectedTimeOutTimer >= env.ReconnectDelaySeconds) {
            // The PLC counts as connected whatever the open gives; LastError tells a failed open from a good one.
            plc->LastError.clear();
            (void)OpenComm(*plc, env);
            plc->Connected = true;
            if (env.Observer) {
                env.Observer->HighlightConnectedPlc(plc->Key);
            }
        }
    }
}

void ResetConnctedState(model::clsConfig& config)
{
    for (const auto& plc : config.colPlcs()) {
        plc->Connected = true;
    }
}

void OpenPlcsComm(model::clsConfig& config, const CommEnvironment& env)
{
    for (const auto& plc : config.colPlcs()) {
        (void)OpenComm(*plc, env);
    }
}

void ClosePlcsComm(model::clsConfig& config, const CommEnvironment& env)
{
    for (const auto& plc : config.colPlcs()) {
        CloseComm(*plc, env);
    }
}

void BuildBinaryMix(model::clsConfig& config)
{
    for (const auto& plc : config.colPlcs()) {
        BuildBinaryMix(*plc);
    }
}

model::clsPlc* FindPlcByName(const model::clsConfig& config, std::string_view name)
{
    for (const auto& plc : config.colPlcs()) {
        if (common::SameTextIgnoringCase(plc->Name, name)) {
            return plc.get();
        }
    }
    return nullptr;
}

bool RunPlc(model::clsConfig& config, std::string_view pPlcName, const CommEnvironment& env)
{
    model::clsPlc* plc = FindPlcByName(config, pPlcName);
    if (plc) {
        (void)RunMe(*plc, env);
    }
    return plc != nullptr;
}

bool StopPlc(model::clsConfig& config, std::string_view pPlcName, const CommEnvironment& env)
{
    model::clsPlc* plc = FindPlcByName(config, pPlcName);
    if (plc) {
        (void)StopMe(*plc, env);
    }
    return plc != nullptr;
}

} // namespace tavrel::comm
