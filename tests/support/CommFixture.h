#pragma once

#include "comm/CommEnvironment.h"
#include "model/clsConfig.h"
#include "support/ScriptedDriver.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tavrel::test {

/// Records what the refresh cycle reports.
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

/// A project on the scripted driver, with a clock the test drives.
class CommFixture : public ::testing::Test
{
protected:
    CommFixture()
    {
        env.CreateDriver = script.Factory();
        env.Options = &options;
        env.Observer = &observer;
        env.MonotonicSeconds = [this] { return now; };
    }

    /// Adds a PLC of a type and connection type to the project.
    model::clsPlc& AddPlc(const std::string& name, std::int32_t plcType = 0,
                          model::PathWay pathWay = model::PathWay::Serial)
    {
        auto plc = config.NewPlc();
        plc->Name = name;
        model::CommParams params;
        params.PlcType = plcType;
        params.PathWay = pathWay;
        if (pathWay == model::PathWay::TcpIp) {
            params.EthRemoteIP = "127.0.0.1";
            params.EthRemotePort = 502;
        }
        plc->SetCommParams(params);
        return config.AddPLC(std::move(plc));
    }

    /// Adds an item and returns it.
    model::Clsitem& AddItem(model::clsPlc& plc, std::int32_t operandType, std::int32_t address,
                            std::int32_t direction, std::int32_t length = 1, bool enabled = true)
    {
        std::int32_t label = -1;
        EXPECT_TRUE(plc.AddItems(length, address, operandType, direction, enabled, label));
        return *plc.colItems().back();
    }

    model::LabelArray labels;
    model::clsConfig config{labels};
    DriverScript script;
    common::AppOptions options;
    RecordingObserver observer;
    std::int64_t now = 1000;
    comm::CommEnvironment env;
};

} // namespace tavrel::test
