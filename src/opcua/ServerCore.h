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
    void RegisterSessionServices();
    void RegisterSpaceServices();
    void RegisterSubscriptionServices();
    /// A session is gone (closed, timed out, dropped): its queued Publish requests are answered with `status`.
    void EndSession(Session& session, std::uint32_t status, std::int64_t nowMs);

    Backend& m_backend;
    ServerConfig m_config;
    std::int64_t m_startMs;
    Connection::Settings m_connectionSettings;
    AddressSpace m_space;
    SessionManager m_sessions;
    Dispatcher m_dispatcher;
    std::map<ConnectionId, Connection> m_connections;
    ConnectionId m_nextConnection = 1;
    std::uint32_t m_nextChannelId = 1;
};

} // namespace tavrel::opcua
