#pragma once

#include "opcua/AddressSpace.h"
#include "opcua/Connection.h"
#include "opcua/Dispatch.h"
#include "opcua/Server.h"
#include "opcua/Session.h"

#include <cstdint>
#include <map>
#include <span>
#include <vector>

namespace tavrel::opcua {

/// A queued Publish request's ticket: its connection (ids count up from 1 and stay below 2^32 in any real run)
/// and its request id.
inline std::uint64_t Ticket(ConnectionId connection, std::uint32_t requestId)
{
    return (connection << 32) | requestId;
}
inline ConnectionId TicketConnection(std::uint64_t ticket)
{
    return ticket >> 32;
}
inline std::uint32_t TicketRequestId(std::uint64_t ticket)
{
    return static_cast<std::uint32_t>(ticket);
}

/// What Server hides: the connections, the sessions, the dispatch table and the services behind it.
class ServerCore
{
public:
    ServerCore(Backend& backend, ServerConfig config, std::int64_t nowMs);

    ConnectionId Accept(std::string peer, std::int64_t nowMs);
    void Receive(ConnectionId id, std::span<const std::uint8_t> bytes, std::int64_t nowMs);
    std::vector<std::uint8_t> TakeOutput(ConnectionId id);
    bool ShouldClose(ConnectionId id) const;
    void Closed(ConnectionId id, std::int64_t nowMs);
    void Tick(std::int64_t nowMs);
    std::int64_t NextTickMs() const;
    std::vector<ConnectionId> ConnectionsWithOutput() const;
    std::size_t SessionCount() const { return m_sessions.Count(); }

    void SetProject(const std::vector<PlcNode>& plcs, const std::vector<ItemNode>& items, std::int64_t nowMs);
    void SetRun(const RunNode& run, std::int64_t nowMs);
    void SetPlc(const PlcNode& plc, std::int64_t nowMs);
    void SetValues(std::span<const ItemSample> samples, std::int64_t nowMs);

    /// Sends an encoded response on `connection`, or a ServiceFault Bad_ResponseTooLarge when the client would
    /// not take it (its Hello's limits, its session's maxResponseMessageSize).
    void Respond(ConnectionId connection, std::uint32_t requestId, std::uint32_t requestHandle, ResponseBytes bytes,
                 const Session* session, std::int64_t nowMs);

private:
    /// The policy, mode and client certificate of a connection's secure channel.
    static SessionChannel SecurityOf(const Connection& connection);
    void RegisterSessionServices();
    void RegisterSpaceServices();
    void RegisterSubscriptionServices();
    /// A session is gone (closed, timed out, dropped): its subscriptions end, its queued Publish requests are
    /// answered Bad_SessionClosed.
    void EndSession(Session& session, std::int64_t nowMs);
    /// Sends the Publish answers the session's subscriptions made due, each on the connection its request came in.
    void DeliverPublishAnswers(Session& session, std::int64_t nowMs);

    Backend& m_backend;
    ServerConfig m_config;
    Connection::Settings m_connectionSettings;
    AddressSpace m_space;
    SubscriptionTotals m_totals;
    SessionManager m_sessions;
    Dispatcher m_dispatcher;
    std::map<ConnectionId, Connection> m_connections;
    ConnectionId m_nextConnection = 1;
    std::uint32_t m_nextChannelId = 1;
    std::uint64_t m_eventSequence = 0; ///< makes each model change event's EventId unique
};

} // namespace tavrel::opcua
