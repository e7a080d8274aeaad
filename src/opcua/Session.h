#pragma once

#include "opcua/Backend.h"
#include "opcua/Browse.h"
#include "opcua/Messages.h"
#include "opcua/Server.h"
#include "opcua/Subscriptions.h"

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::opcua {

inline constexpr std::string_view kAnonymousPolicyId = "anonymous";

/// A client's session: created, then activated (anonymously) on a secure channel; it outlives its channel until
/// its time-out, and a new channel may take it over by activating it again.
struct Session
{
    NodeId sessionId;
    NodeId authenticationToken;
    std::string name;
    ConnectionId connection = 0; ///< the connection of its secure channel; 0 while it has none
    bool activated = false;
    double timeoutMs = 0;
    std::int64_t lastUsedMs = 0;
    std::uint32_t maxResponseMessageSize = 0; ///< 0: no limit
    Client client;
    std::unique_ptr<SubscriptionSet> subscriptions; ///< with its queued Publish requests
    BrowseContinuations browseContinuations { 0 }; ///< given the server's limit when the session is created

    std::int64_t ExpiresMs() const { return lastUsedMs + static_cast<std::int64_t>(timeoutMs); }
};

/// The sessions of the server and the Session service set (create, activate, close, time-outs).
class SessionManager
{
public:
    /// Sessions within `limits`, their subscriptions counted in `totals` (both must outlive the manager).
    SessionManager(const ServerLimits& limits, SubscriptionTotals& totals);

    /// CreateSession on `connection`: a new session, not yet activated. At the limit an unactivated session is
    /// dropped to make room (its client never finished); with none of those it is Bad_TooManySessions. `dropped`
    /// receives the session it dropped.
    tl::expected<CreateSessionResponse, std::uint32_t> Create(const CreateSessionRequest& request,
                                                              ConnectionId connection, const std::string& peer,
                                                              std::vector<EndpointDescription> endpoints,
                                                              std::int64_t nowMs, std::optional<Session>& dropped);
    /// ActivateSession with an anonymous identity, binding the session to `connection`.
    tl::expected<ActivateSessionResponse, std::uint32_t> Activate(const ActivateSessionRequest& request,
                                                                  ConnectionId connection, std::int64_t nowMs);
    /// The session of a request's authentication token, used at `nowMs`; Bad_SessionIdInvalid when none,
    /// Bad_SecureChannelIdInvalid when bound to another connection, Bad_SessionNotActivated when `activated` is
    /// asked for and it is not.
    tl::expected<Session*, std::uint32_t> Use(const NodeId& authenticationToken, ConnectionId connection,
                                              bool activated, std::int64_t nowMs);
    /// Removes a session, returning it (its subscriptions and queued Publish requests still in it).
    std::optional<Session> Remove(const NodeId& authenticationToken);
    /// Removes every session whose time-out passed by `nowMs`.
    std::vector<Session> Expire(std::int64_t nowMs);
    /// The connection is gone: its sessions lose their channel (their queued Publish requests cannot be answered).
    void Detach(ConnectionId connection);

    Session* Find(const NodeId& sessionId);
    std::size_t Count() const { return m_sessions.size(); }
    /// When the next session times out; INT64_MAX without sessions.
    std::int64_t NextExpiryMs() const;
    std::map<std::string, Session>& All() { return m_sessions; }
    const std::map<std::string, Session>& All() const { return m_sessions; }

private:
    ByteString RandomBytes(std::size_t count);

    const ServerLimits& m_limits;
    SubscriptionTotals& m_totals;
    std::map<std::string, Session> m_sessions; ///< by the authentication token's bytes
    std::uint32_t m_nextSessionNumber = 1;
    std::mt19937_64 m_random;
};

} // namespace tavrel::opcua
