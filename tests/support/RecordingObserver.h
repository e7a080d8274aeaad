#pragma once

#include "comm/CommEnvironment.h"
#include "model/clsPlc.h"

#include <string>
#include <vector>

namespace tavrel::test {

/// Records what the refresh cycle reports, one text per event: "connected KEY", "not connected KEY",
/// "refused PLC lblDDE(N): REASON".
class RecordingObserver : public comm::CommObserver
{
public:
    std::vector<std::string> events;

    void HighlightConnectedPlc(std::int32_t key) override { events.push_back("connected " + std::to_string(key)); }
    void HighlightNotConnectedPlc(std::int32_t key, const std::string&) override
    {
        events.push_back("not connected " + std::to_string(key));
    }
    void PokeRefused(const model::clsPlc& plc, const model::Clsitem& item, const std::string& reason) override
    {
        events.push_back("refused " + plc.Name + " " + model::LabelName(item.Label.Index()) + ": " + reason);
    }
};

} // namespace tavrel::test
