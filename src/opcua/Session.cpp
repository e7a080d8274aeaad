#include "opcua/Session.h"

#include <algorithm>
#include <limits>

namespace tavrel::opcua {

namespace {

constexpr std::size_t kTokenBytes = 32; // an unguessable authentication token
constexpr std::size_t kNonceBytes = 32; // the least a server nonce may hold

const std::string& TokenKey(const NodeId& token)
{
    static const std::string kNone;
    const auto* bytes = std::get_if<ByteString>(&token.identifier);
    return bytes != nullptr && token.namespaceIndex == 0 ? bytes->bytes : kNone;
}

} // namespace

SessionManager::SessionManager(const ServerLimits& limits, SubscriptionTotals& totals)
    : m_limits(limits)
    , m_totals(totals)
    , m_random(std::random_device {}())
{
}

ByteString SessionManager::RandomBytes(std::size_t count)
{
    ByteString bytes;
    bytes.bytes.resize(count);
    for (std::size_t i = 0; i < count; i += 8) {
        const std::uint64_t word = m_random();
        for (std::size_t j = 0; j < 8 && i + j < count; ++j) {
            bytes.bytes[i + j] = static_cast<char>(word >> (8 * j));
        }
    }
    return bytes;
}

tl::expected<CreateSessionResponse, std::uint32_t>
SessionManager::Create(const CreateSessionRequest& request, ConnectionId connection, const std::string& peer,
                       std::vector<EndpointDescription> endpoints, std::int64_t nowMs, std::optional<Session>& dropped)
{
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
    session.lastUsedMs = nowMs;
    session.maxResponseMessageSize = request.maxResponseMessageSize;
    session.client.peer = peer;
    session.browseContinuations = BrowseContinuations(m_limits.maxBrowseContinuationPoints);
    session.subscriptions = std::make_unique<SubscriptionSet>(m_limits, m_totals);

    CreateSessionResponse response;
    response.sessionId = session.sessionId;
    response.authenticationToken = session.authenticationToken;
    response.revisedSessionTimeout = session.timeoutMs;
    response.serverNonce = RandomBytes(kNonceBytes);
    response.serverEndpoints = std::move(endpoints);
    response.maxRequestMessageSize = static_cast<std::uint32_t>(m_limits.maxMessageSize);
    m_sessions.emplace(TokenKey(session.authenticationToken), std::move(session));
    return response;
}

tl::expected<ActivateSessionResponse, std::uint32_t>
SessionManager::Activate(const ActivateSessionRequest& request, ConnectionId connection, std::int64_t nowMs)
{
    const auto found = m_sessions.find(TokenKey(request.requestHeader.authenticationToken));
    if (found == m_sessions.end() || TokenKey(request.requestHeader.authenticationToken).empty()) {
        return tl::unexpected(status::kBadSessionIdInvalid);
    }
    Session& session = found->second;
    // An empty identity is anonymous; so is an AnonymousIdentityToken of our one policy (or of none named).
    if (!request.userIdentityToken.IsNull()) {
        const auto anonymous = FromExtensionObject<AnonymousIdentityToken>(request.userIdentityToken);
        if (!anonymous) {
            return tl::unexpected(status::kBadIdentityTokenInvalid);
        }
        if (!anonymous->policyId.empty() && anonymous->policyId != kAnonymousPolicyId) {
            return tl::unexpected(status::kBadIdentityTokenRejected);
        }
    }
    session.connection = connection; // the session moves to this channel; answers follow it
    session.activated = true;
    session.lastUsedMs = nowMs;
    ActivateSessionResponse response;
    response.serverNonce = RandomBytes(kNonceBytes);
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
