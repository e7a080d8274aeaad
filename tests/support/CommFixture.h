#pragma once

#include "support/CommProject.h"
#include "support/ScriptedDriver.h"

#include <gtest/gtest.h>

#include <string>

namespace tavrel::test {

/// A project on the scripted driver, with a clock the test drives.
class CommFixture : public ::testing::Test, public CommProject
{
protected:
    CommFixture() { env.CreateDriver = script.Factory(); }

    using CommProject::AddPlc;
    /// Adds a PLC of a type and connection kind (serial, or TCP/IP to 127.0.0.1:502) to the project.
    model::clsPlc& AddPlc(const std::string& name, std::int32_t plcType = 0,
                          model::PathWay pathWay = model::PathWay::Serial)
    {
        model::CommParams params = pathWay == model::PathWay::TcpIp ? TcpParams(502) : model::CommParams {};
        params.PlcType = plcType;
        params.PathWay = pathWay;
        return AddPlc(name, params);
    }

    DriverScript script;
};

} // namespace tavrel::test
