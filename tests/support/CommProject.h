#pragma once

#include "comm/CommEnvironment.h"
#include "model/clsConfig.h"
#include "support/RecordingObserver.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace tavrel::test {

/// The communication parameters of a PLC on Modbus TCP at 127.0.0.1:`port`.
inline model::CommParams TcpParams(int port)
{
    model::CommParams params;
    params.PathWay = model::PathWay::TcpIp;
    params.EthRemoteIP = "127.0.0.1";
    params.EthRemotePort = port;
    return params;
}

/// A project for the refresh cycle: PLCs and their items on a label array, the options, an observer that records
/// and a clock the test drives. The PLCs get their drivers from env.CreateDriver, which the test sets.
class CommProject
{
public:
    CommProject()
    {
        env.Options = &options;
        env.Observer = &observer;
        env.MonotonicSeconds = [this] { return now; };
    }
    CommProject(const CommProject&) = delete;
    CommProject& operator=(const CommProject&) = delete;

    /// Adds a PLC with these communication parameters to the project.
    model::clsPlc& AddPlc(const std::string& name, const model::CommParams& params)
    {
        auto plc = config.NewPlc();
        plc->Name = name;
        plc->SetCommParams(params);
        return config.AddPLC(std::move(plc));
    }

    /// Adds an item, a vector when `length` is above 1, and returns it.
    model::Clsitem& AddItem(model::clsPlc& plc, std::int32_t operandType, std::int32_t address, std::int32_t direction,
                            std::int32_t length = 1, bool enabled = true)
    {
        std::int32_t label = -1;
        EXPECT_TRUE(plc.AddItems(length, address, operandType, direction, enabled, label));
        return *plc.colItems().back();
    }

    model::LabelArray labels;
    model::clsConfig config { labels };
    common::AppOptions options;
    RecordingObserver observer;
    std::int64_t now = 1000;
    comm::CommEnvironment env;
};

} // namespace tavrel::test
