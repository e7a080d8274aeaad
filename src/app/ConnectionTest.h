#pragma once

#include "app/ConnectionTester.h"
#include "comm/CommEnvironment.h"
#include "model/clsPlc.h"

namespace tavrel::app {

/// Opens a channel with `params` through a driver of `createDriver`, reads one operand (MI 0, which every PLC
/// family holds) and closes it again, with one try only so that the PLC's time-out bounds it. Touches nothing
/// but what it makes, so it may run away from the main thread.
ConnectionTestResult TestConnection(const model::CommParams& params,
                                    const decltype(comm::CommEnvironment::CreateDriver)& createDriver);

/// A tester over a driver factory, such as the program's (`Program::Environment().CreateDriver`); the factory is
/// copied, and must be callable from another thread.
ConnectionTester MakeConnectionTester(decltype(comm::CommEnvironment::CreateDriver) createDriver);

} // namespace tavrel::app
