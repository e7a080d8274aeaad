#include "opcua/Session.h"

#include "opcua/SecureChannel.h"
#include "opcua/crypto/Primitives.h"

#include <algorithm>
#include <limits>

namespace tavrel::opcua {

namespace {

constexpr std::size_t kTokenBytes = 32; // an unguessable authentication token
constexpr std::size_t kNonceBytes = 32; // the least a nonce may hold, ours and the client's

const std::string& TokenKey(const NodeId& token)
{
    static const std::string kNone;
    const auto* bytes = std::get_if<ByteString>(&token.identifier);
    return bytes != nullptr && token.namespaceIndex == 0 ? bytes->bytes : kNone;
}

ByteString RandomBytes(std::size_t count)
{
    const crypto::Bytes random = crypto::RandomBytes(count);
    return ByteString { std::string(random.begin(), random.end()) };
}

ByteString Joined(std::span<const std::uint8_t> a, const ByteString& b)
{
    ByteString joined { std::string(a.begin(), a.end()) };
    joined.bytes += b.bytes;
    return joined;
}

/// Whether a request on `channel` may go on with a session of `clientCertificate`: a session made on a secured
/// channel stays with the certificate it was made with, and one made unsecured is not taken over by a secured
/// channel's client either.
bool SameClient(const SessionChannel& channel, const ByteString& clientCertificate)
{
    if (!channel.clientCertificate) {
        return clientCertificate.bytes.empty();
    }
    const auto& der = channel.clientCertificate->Der();
    return crypto::SameBytes(der, BytesOf(clientCertificate));
}

} // namespace

SessionManager::SessionManager(const ServerConfig& config, SubscriptionTotals& totals)
    : m_limits(config.limits)
    , m_totals(totals)
    , m_config(config)
{
}

const crypto::Certificate* SessionManager::Certificate() const
{
    return m_config.security ? m_config.security->certificate.get() : nullptr;
}

const crypto::PrivateKey* SessionManager::Key() const
{
    return m_config.security ? m_config.security->key.get() : nullptr;
}

tl::expected<CreateSessionResponse, std::uint32_t>
SessionManager::Create(const CreateSessionRequest& request, ConnectionId connection, const SessionChannel& channel,
                       const std::string& peer, std::vector<EndpointDescription> endpoints, std::int64_t nowMs,
                       std::optional<Session>& dropped)
{
    const bool secured = channel.policy != crypto::PolicyId::None;
    if (!secured && !m_config.access.offerNone) {
        // An unsecured channel serves discovery (a client learns the endpoints over it), but no session.
        return tl::unexpected(status::kBadSecurityPolicyRejected);
    }
    if (secured) {
        if (!channel.clientCertificate || !SameClient(channel, request.clientCertificate)) {
            return tl::unexpected(status::kBadSecurityChecksFailed);
        }
        if (channel.clientCertificate->ApplicationUri() != request.clientDescription.applicationUri) {
            return tl::unexpected(status::kBadCertificateUriInvalid);
        }
        if (request.clientNonce.bytes.size() < kNonceBytes) {
            return tl::unexpected(status::kBadNonceInvalid);
        }
        if (!Certificate() || !Key()) {
            return tl::unexpected(status::kBadSecurityChecksFailed);
        }
    }
    if (m_sessions.size() >= m_limits.maxSessions) {
        auto oldest = m_sessions.end();
        for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
            if (!it->second.activated
                && (oldest == m_sessions.end() || it->second.lastUsedMs < oldest->second.lastUsedMs)) {
                oldest = it;
            }
        }
        if (oldest == m_sessions.end()) {
            return tl::unexpected(status::kBadTooManySessions);
        }
        dropped = std::move(oldest->second);
        m_sessions.erase(oldest);
    }
    CreateSessionResponse response;
    if (Certificate() != nullptr) {
        const auto& der = Certificate()->Der();
        response.serverCertificate.bytes.assign(der.begin(), der.end());
    }
    if (secured) {
        // Our signature of the client's certificate and nonce proves that we hold our certificate's key.
        const ByteString signed_ = Joined(channel.clientCertificate->Der(), request.clientNonce);
        auto signature = crypto::Sign(channel.policy, *Key(), BytesOf(signed_));
        if (!signature) {
            return tl::unexpected(status::kBadSecurityChecksFailed);
        }
        response.serverSignature.algorithm = std::string(crypto::Parameters(channel.policy).asymmetricSignatureUri);
        response.serverSignature.signature.bytes.assign(signature->begin(), signature->end());
    }

    Session session;
    session.sessionId = NodeId(1, std::uint32_t { m_nextSessionNumber++ });
    do {
        session.authenticationToken = NodeId(0, RandomBytes(kTokenBytes));
    } while (m_sessions.contains(TokenKey(session.authenticationToken)));
    session.name = request.sessionName;
    session.connection = connection;
    session.timeoutMs
        = std::clamp(request.requestedSessionTimeout, m_limits.minSessionTimeoutMs, m_limits.maxSessionTimeoutMs);
    if (!(session.timeoutMs >= m_limits.minSessionTimeoutMs)) { // NaN
        session.timeoutMs = m_limits.minSessionTimeoutMs;
    }
    session.activateTimeoutMs = m_limits.activateTimeoutMs;
    session.lastUsedMs = nowMs;
    session.maxResponseMessageSize = request.maxResponseMessageSize;
    session.client.peer = peer;
    session.serverNonce = RandomBytes(kNonceBytes);
    if (secured) {
        session.clientCertificate = request.clientCertificate;
    }
    session.browseContinuations = BrowseContinuations(m_limits.maxBrowseContinuationPoints);
    session.subscriptions = std::make_unique<SubscriptionSet>(m_limits, m_totals);

    response.sessionId = session.sessionId;
    response.authenticationToken = session.authenticationToken;
    response.revisedSessionTimeout = session.timeoutMs;
    response.serverNonce = session.serverNonce;
    response.serverEndpoints = std::move(endpoints);
    response.maxRequestMessageSize = static_cast<std::uint32_t>(m_limits.maxMessageSize);
    m_sessions.emplace(TokenKey(session.authenticationToken), std::move(session));
    return response;
}

tl::expected<ActivateSessionResponse, std::uint32_t> SessionManager::Activate(const ActivateSessionRequest& request,
                                                                              ConnectionId connection,
                                                                              const SessionChannel& channel,
                                                                              Backend& backend, std::int64_t nowMs)
{
    const auto found = m_sessions.find(TokenKey(request.requestHeader.authenticationToken));
    if (found == m_sessions.end() || TokenKey(request.requestHeader.authenticationToken).empty()) {
        return tl::unexpected(status::kBadSessionIdInvalid);
    }
    Session& session = found->second;
    if (!SameClient(channel, session.clientCertificate)) {
        return tl::unexpected(status::kBadSecurityChecksFailed);
    }
    if (channel.policy != crypto::PolicyId::None) {
        // The client proves it holds its certificate's key: its signature of our certificate and our last nonce.
        if (Certificate() == nullptr) {
            return tl::unexpected(status::kBadSecurityChecksFailed);
        }
        const ByteString signed_ = Joined(Certificate()->Der(), session.serverNonce);
        if (request.clientSignature.algorithm != crypto::Parameters(channel.policy).asymmetricSignatureUri
            || !crypto::Verify(channel.policy, *channel.clientCertificate, BytesOf(signed_),
                               BytesOf(request.clientSignature.signature))) {
            return tl::unexpected(status::kBadApplicationSignatureInvalid);
        }
    }
    const std::string address = PeerAddress(session.client.peer);
    const bool userName = request.userIdentityToken.typeId == NodeId(0, UserNameIdentityToken::kEncodingId);
    if (userName && m_throttle.WaitUntilMs(address, nowMs) != 0) {
        return tl::unexpected(status::kBadTooManyOperations);
    }
    IdentityContext context;
    context.channelPolicy = channel.policy;
    context.serverNonce = &session.serverNonce;
    context.anonymous = m_config.access.anonymous;
    context.key = Key();
    context.backend = &backend;
    context.client = &session.client;
    const auto identity = CheckIdentity(request.userIdentityToken, context);
    if (!identity) {
        if (userName) {
            m_throttle.Failed(address, nowMs);
        }
        return tl::unexpected(identity.error());
    }
    if (userName) {
        m_throttle.Succeeded(address);
    }
    session.client.user = identity->user;
    session.client.role = identity->role;
    session.subscriptions->SetRole(identity->role);
    session.connection = connection; // the session moves to this channel; answers follow it
    session.activated = true;
    session.lastUsedMs = nowMs;
    session.serverNonce = RandomBytes(kNonceBytes);
    ActivateSessionResponse response;
    response.serverNonce = session.serverNonce;
    return response;
}

tl::expected<Session*, std::uint32_t> SessionManager::Use(const NodeId& authenticationToken, ConnectionId connection,
                                                          bool activated, std::int64_t nowMs)
{
    const std::string& key = TokenKey(authenticationToken);
    const auto found = key.empty() ? m_sessions.end() : m_sessions.find(key);
    if (found == m_sessions.end()) {
        return tl::unexpected(status::kBadSessionIdInvalid);
    }
    Session& session = found->second;
    if (session.connection != connection) {
        return tl::unexpected(status::kBadSecureChannelIdInvalid);
    }
    if (activated && !session.activated) {
        return tl::unexpected(status::kBadSessionNotActivated);
    }
    session.lastUsedMs = nowMs;
    return &session;
}

std::optional<Session> SessionManager::Remove(const NodeId& authenticationToken)
{
    const auto found = m_sessions.find(TokenKey(authenticationToken));
    if (found == m_sessions.end()) {
        return std::nullopt;
    }
    Session session = std::move(found->second);
    m_sessions.erase(found);
    return session;
}

std::vector<Session> SessionManager::Expire(std::int64_t nowMs)
{
    std::vector<Session> expired;
    for (auto it = m_sessions.begin(); it != m_sessions.end();) {
        if (nowMs >= it->second.ExpiresMs()) {
            expired.push_back(std::move(it->second));
            it = m_sessions.erase(it);
        } else {
            ++it;
        }
    }
    return expired;
}

void SessionManager::Detach(ConnectionId connection)
{
    for (auto& [key, session] : m_sessions) {
        if (session.connection == connection) {
            session.connection = 0;
        }
    }
}

Session* SessionManager::Find(const NodeId& sessionId)
{
    for (auto& [key, session] : m_sessions) {
        if (session.sessionId == sessionId) {
            return &session;
        }
    }
    return nullptr;
}

std::int64_t SessionManager::NextExpiryMs() const
{
    std::int64_t next = std::numeric_limits<std::int64_t>::max();
    for (const auto& [key, session] : m_sessions) {
        next = std::min(next, session.ExpiresMs());
    }
    return next;
}

} // namespace tavrel::opcua
