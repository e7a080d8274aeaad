#pragma once

#include "opcua/Backend.h"
#include "opcua/Browse.h"
#include "opcua/Identity.h"
#include "opcua/Messages.h"
#include "opcua/Server.h"
#include "opcua/Subscriptions.h"
#include "opcua/crypto/Keys.h"
#include "opcua/crypto/Policy.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::opcua {

/// What a session learns of the secure channel a request came on.
struct SessionChannel
{
    crypto::PolicyId policy = crypto::PolicyId::None;
    MessageSecurityMode mode = MessageSecurityMode::None;
    std::optional<crypto::Certificate> clientCertificate; ///< the client's, as it opened the channel; none on None
};

/// A client's session: created, then activated on a secure channel by a user (or anonymously); it outlives its
/// channel until its time-out, and a new channel may take it over by activating it again.
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
    Client client; ///< its peer, and once activated its user and role
    ByteString serverNonce; ///< the nonce sent last: the client signs it, and a password is sent with it
    ByteString clientCertificate; ///< DER, as CreateSession named it; empty on an unsecured channel
    std::unique_ptr<SubscriptionSet> subscriptions; ///< with its queued Publish requests
    BrowseContinuations browseContinuations { 0 }; ///< given the server's limit when the session is created

    double activateTimeoutMs = 0; ///< until activated, the session lives no longer than this

    std::int64_t ExpiresMs() const
    {
        return lastUsedMs + static_cast<std::int64_t>(activated ? timeoutMs : std::min(timeoutMs, activateTimeoutMs));
    }
};

/// The sessions of the server and the Session service set (create, activate, close, time-outs).
class SessionManager
{
public:
    /// Sessions within the limits of `config`, their subscriptions counted in `totals`, proving themselves with its
    /// certificate and letting users in as its access says (both must outlive the manager).
    SessionManager(const ServerConfig& config, SubscriptionTotals& totals);

    /// CreateSession on `connection`: a new session, not yet activated. On an unsecured channel only while None is
    /// offered (else Bad_SecurityPolicyRejected). On a secured channel the client's
    /// certificate must be the channel's (else Bad_SecurityChecksFailed) and name the client's application URI
    /// (Bad_CertificateUriInvalid), its nonce at least 32 bytes (Bad_NonceInvalid); the answer carries our
    /// certificate, a new nonce, and our signature of the client's certificate and nonce. At the limit an
    /// unactivated session is dropped to make room (its client never finished); with none of those it is
    /// Bad_TooManySessions. `dropped` receives the session it dropped.
    tl::expected<CreateSessionResponse, std::uint32_t> Create(const CreateSessionRequest& request,
                                                              ConnectionId connection, const SessionChannel& channel,
                                                              const std::string& peer,
                                                              std::vector<EndpointDescription> endpoints,
                                                              std::int64_t nowMs, std::optional<Session>& dropped);
    /// ActivateSession on `connection`: on a secured channel the client's signature of our certificate and the
    /// last nonce must verify (Bad_ApplicationSignatureInvalid); then the user token (CheckIdentity, passwords by
    /// `backend`) gives the session its user and role, and the session moves to this channel. After repeated
    /// failed user names from one address, that address's next tries within its waiting time are refused at once
    /// with Bad_TooManyOperations, unchecked.
    tl::expected<ActivateSessionResponse, std::uint32_t> Activate(const ActivateSessionRequest& request,
                                                                  ConnectionId connection,
                                                                  const SessionChannel& channel, Backend& backend,
                                                                  std::int64_t nowMs);
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
    /// Ours, when the server has one.
    const crypto::Certificate* Certificate() const;
    const crypto::PrivateKey* Key() const;

    const ServerLimits& m_limits;
    SubscriptionTotals& m_totals;
    const ServerConfig& m_config;
    LoginThrottle m_throttle;
    std::map<std::string, Session> m_sessions; ///< by the authentication token's bytes
    std::uint32_t m_nextSessionNumber = 1;
};

} // namespace tavrel::opcua
