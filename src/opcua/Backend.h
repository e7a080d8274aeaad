#pragma once

#include "common/Refusal.h"
#include "common/Role.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::opcua {

// What the OPC UA server serves, in plain types: the program pushes the project, the values and the run state in;
// writes and method calls go out through Backend. No Qt, no I/O: the socket side and the item service live in the
// adapter (OpcUaServer), the protocol in the server core.

/// The OPC UA data type of a variable.
enum class ValueKind { Boolean, Int16, UInt16, Int32, UInt32, Int64, UInt64, Float, Double, String };

/// How far a value can be trusted, as the status code of its DataValue says it.
enum class ValueQuality {
    Good, ///< Good
    Waiting, ///< Bad_WaitingForInitialData: its PLC has not answered yet in this run
    Stale, ///< Uncertain_LastUsableValue: read, then its PLC stopped answering
    Bad, ///< Bad_ConfigurationError: the device refuses the item
    OutOfService ///< Bad_OutOfService: the run is stopped
};

/// One published item: a variable `ns=1;s=lblDDE(7)` under its PLC's object.
struct ItemNode
{
    std::int32_t index = 0; ///< label index; the NodeId's string is protocol::LabelName(index)
    std::string plc; ///< the PLC's name; the variable lives under `ns=1;s=plc/NAME`
    std::string displayName; ///< the operand and address ("MI 100", "Input register 3000"), or the tag name
    std::string description; ///< the direction, and the item's description when it has one
    ValueKind kind = ValueKind::Int32;
    bool writable = false; ///< AccessLevel CurrentRead, plus CurrentWrite when true
    std::string units; ///< EngineeringUnits property when not empty
    bool recorded = false; ///< its history is kept: Historizing, and AccessLevel HistoryRead
};

/// One PLC: an object `ns=1;s=plc/NAME` with its diagnostics and methods `Run` and `Stop`.
struct PlcNode
{
    std::string name;
    bool connected = false;
    bool answered = false;
    std::string lastError;
    std::uint64_t errors = 0;
    std::int64_t passMs = 0;
};

/// The run: variables `Running`, `PassCount`, `PassMs` of `Objects/Tavrel`.
struct RunNode
{
    bool running = false;
    std::uint64_t passCount = 0;
    std::int64_t passMs = 0;
};

/// A value of an item, as read.
struct ItemSample
{
    std::int32_t index = 0;
    std::string text; ///< the value text ('.' as decimal separator); a String variable's value
    std::optional<double> number; ///< the value of numeric and Boolean kinds; none when the text holds no number
    std::int64_t sourceTimeMs = 0; ///< when it was read, milliseconds since 1970-01-01 UTC; 0 for never
    ValueQuality quality = ValueQuality::Good;
};

/// Who asks, as the surfaces tell the item service: the peer address, the session's user (empty: anonymous) and
/// the role the session was granted when it was activated.
struct Client
{
    std::string peer;
    std::string user;
    common::Role role = common::Role::Reader; ///< a session not yet activated may do nothing a reader may not
};

/// What writes and method calls reach. Called on the thread that drives the server.
class Backend
{
public:
    virtual ~Backend() = default;
    /// Writes `text` (a Boolean as "1"/"0", numbers with '.', strings as they are) to item `index`, or says why not.
    virtual std::optional<common::Refusal> Write(const Client& client, std::int32_t index, const std::string& text) = 0;
    /// Carries out an execute command ("Line_1_RUN", "Tavrel_STOP"), or says why not.
    virtual std::optional<common::Refusal> Execute(const Client& client, const std::string& command) = 0;
    /// The recorded samples of item `index` from `fromMs` to `toMs` (both included), oldest first, at most
    /// `maxValues` of them (the first ones); a status code when its history cannot be read. A server without a
    /// history keeps none.
    virtual tl::expected<std::vector<ItemSample>, std::uint32_t> ReadHistory(std::int32_t index, std::int64_t fromMs,
                                                                             std::int64_t toMs, std::size_t maxValues);
    /// The role of user `name` when `password` is theirs; nothing for an unknown user, a wrong or an empty password,
    /// each answered in the same time. `client` is who asks, for the record of refusals.
    virtual std::optional<common::Role> CheckPassword(const Client& client, const std::string& name,
                                                      const std::string& password)
        = 0;
};

} // namespace tavrel::opcua
