#pragma once

#include <functional>
#include <string>

namespace tavrel::model {
struct CommParams;
}

namespace tavrel::app {

/// What a connection test found, in words for the user.
struct ConnectionTestResult
{
    bool answered = false; ///< the channel opened and the PLC answered a read
    std::string text; ///< "Connected to 127.0.0.1:5020, unit 1: the PLC answered", or what went wrong
};

/// Tries a PLC's communication parameters; may take as long as their time-out, and runs on any thread.
using ConnectionTester = std::function<ConnectionTestResult(const model::CommParams& params)>;

} // namespace tavrel::app
