#include "opcua/Server.h"

#include "opcua/ServerCore.h"

#include <algorithm>
#include <limits>

namespace tavrel::opcua {

namespace {

Connection::Settings ConnectionSettings(const ServerConfig& config)
{
    const ServerLimits& limits = config.limits;
    Connection::Settings settings;
    settings.security = config.security;
    settings.transport.receiveBufferSize = limits.receiveBufferSize;
    settings.transport.maxMessageSize = limits.maxMessageSize;
    settings.transport.maxChunkCount = limits.maxChunkCount;
    settings.lifetimes.minTokenLifetimeMs = limits.minTokenLifetimeMs;
    settings.lifetimes.maxTokenLifetimeMs = limits.maxTokenLifetimeMs;
    settings.helloTimeoutMs = limits.helloTimeoutMs;
    settings.openTimeoutMs = limits.openTimeoutMs;
    return settings;
}

DecodeLimits RequestLimits(const ServerLimits& limits)
{
    DecodeLimits decode;
    decode.maxStringLength = limits.maxStringLength;
    decode.maxArrayLength = limits.maxArrayLength;
    return decode;
}

} // namespace

ServerCore::ServerCore(Backend& backend, ServerConfig config, std::int64_t nowMs)
    : m_backend(backend)
    , m_config(std::move(config))
    , m_connectionSettings(ConnectionSettings(m_config))
    , m_space(m_config, nowMs)
    , m_sessions(m_config, m_totals)
    , m_dispatcher(
          [this](const RequestHeader& header, ConnectionId connection, bool activated, std::int64_t now) {
              return m_sessions.Use(header.authenticationToken, connection, activated, now);
          },
          RequestLimits(m_config.limits))
{
    RegisterSessionServices();
    RegisterSpaceServices();
    RegisterSubscriptionServices();
}

SessionChannel ServerCore::SecurityOf(const Connection& connection)
{
    SessionChannel security;
    const SecureChannel& channel = connection.Channel();
    security.policy = channel.Policy();
    security.mode = channel.Mode();
    if (const crypto::Bytes& der = channel.ClientCertificate(); !der.empty()) {
        if (auto certificate = crypto::Certificate::FromDer(der)) {
            security.clientCertificate = std::move(*certificate);
        }
    }
    return security;
}

void ServerCore::EndSession(Session& session, std::int64_t nowMs)
{
    session.subscriptions->Close();
    DeliverPublishAnswers(session, nowMs);
}

void ServerCore::DeliverPublishAnswers(Session& session, std::int64_t nowMs)
{
    for (PublishAnswer& answer : session.subscriptions->TakeAnswers()) {
        const std::uint32_t handle = answer.response.responseHeader.requestHandle;
        ResponseBytes bytes = answer.response.responseHeader.serviceResult.IsBad()
            ? EncodeServiceFault(answer.response.responseHeader.serviceResult.code, handle, nowMs)
            : EncodeResponse(answer.response, handle, nowMs);
        Respond(TicketConnection(answer.ticket), TicketRequestId(answer.ticket), handle, std::move(bytes), &session,
                nowMs);
    }
}

void ServerCore::Respond(ConnectionId connection, std::uint32_t requestId, std::uint32_t requestHandle,
                         ResponseBytes bytes, const Session* session, std::int64_t nowMs)
{
    const auto found = m_connections.find(connection);
    if (found == m_connections.end()) {
        return;
    }
    const bool sessionTakesIt
        = session == nullptr || session->maxResponseMessageSize == 0 || bytes.size() <= session->maxResponseMessageSize;
    if (!sessionTakesIt || !found->second.Fits(bytes.size())) {
        bytes = EncodeServiceFault(status::kBadResponseTooLarge, requestHandle, nowMs);
    }
    found->second.Send(requestId, bytes);
}

ConnectionId ServerCore::Accept(std::string peer, std::int64_t nowMs)
{
    const ConnectionId id = m_nextConnection++;
    m_connections.try_emplace(id, std::move(peer), m_nextChannelId, m_connectionSettings, nowMs);
    m_nextChannelId = m_nextChannelId == std::numeric_limits<std::uint32_t>::max() ? 1 : m_nextChannelId + 1;
    return id;
}

void ServerCore::Receive(ConnectionId id, std::span<const std::uint8_t> bytes, std::int64_t nowMs)
{
    const auto found = m_connections.find(id);
    if (found == m_connections.end()) {
        return;
    }
    std::vector<ServiceRequest> requests;
    found->second.Receive(bytes, nowMs, requests);
    for (const ServiceRequest& request : requests) {
        ServiceContext context { id, request.requestId, nowMs, 0, nullptr };
        if (auto response = m_dispatcher.Dispatch(request.body, context)) {
            Respond(id, request.requestId, context.requestHandle, std::move(*response), context.session, nowMs);
        }
        if (context.session != nullptr) {
            DeliverPublishAnswers(*context.session, nowMs); // a subscription call may answer queued Publish requests
        }
    }
}

std::vector<std::uint8_t> ServerCore::TakeOutput(ConnectionId id)
{
    const auto found = m_connections.find(id);
    return found == m_connections.end() ? std::vector<std::uint8_t> {} : found->second.TakeOutput();
}

bool ServerCore::ShouldClose(ConnectionId id) const
{
    const auto found = m_connections.find(id);
    return found == m_connections.end() || found->second.ShouldClose();
}

void ServerCore::Closed(ConnectionId id, std::int64_t)
{
    m_sessions.Detach(id);
    m_connections.erase(id);
}

void ServerCore::Tick(std::int64_t nowMs)
{
    for (auto& [id, connection] : m_connections) {
        connection.Tick(nowMs);
    }
    for (auto& [key, session] : m_sessions.All()) {
        session.subscriptions->Tick(m_space, nowMs);
        DeliverPublishAnswers(session, nowMs);
    }
    for (Session& expired : m_sessions.Expire(nowMs)) {
        EndSession(expired, nowMs);
    }
}

std::int64_t ServerCore::NextTickMs() const
{
    std::int64_t next = m_sessions.NextExpiryMs();
    for (const auto& [key, session] : m_sessions.All()) {
        next = std::min(next, session.subscriptions->NextTickMs());
    }
    for (const auto& [id, connection] : m_connections) {
        next = std::min(next, connection.DeadlineMs());
    }
    return next;
}

std::vector<ConnectionId> ServerCore::ConnectionsWithOutput() const
{
    std::vector<ConnectionId> ids;
    for (const auto& [id, connection] : m_connections) {
        if (connection.HasOutput()) {
            ids.push_back(id);
        }
    }
    return ids;
}

void ServerCore::SetProject(const std::vector<PlcNode>& plcs, const std::vector<ItemNode>& items, std::int64_t nowMs)
{
    auto changes = m_space.SetProject(plcs, items);
    const bool changed = !changes.empty();
    const ServerEvent event = ModelChangeEvent(std::move(changes), ++m_eventSequence, nowMs);
    for (auto& [key, session] : m_sessions.All()) {
        session.subscriptions->Resample(m_space, nowMs);
        if (changed) {
            session.subscriptions->ReportEvent(event, m_space);
        }
        DeliverPublishAnswers(session, nowMs);
    }
}

void ServerCore::SetRun(const RunNode& run, std::int64_t)
{
    m_space.SetRun(run);
}

void ServerCore::SetPlc(const PlcNode& plc, std::int64_t)
{
    m_space.SetPlc(plc);
}

void ServerCore::SetValues(std::span<const ItemSample> samples, std::int64_t nowMs)
{
    m_space.SetValues(samples);
    for (auto& [key, session] : m_sessions.All()) {
        session.subscriptions->SampleItems(samples, m_space, nowMs);
        DeliverPublishAnswers(session, nowMs);
    }
}

// ---- The façade ----

Server::Server(Backend& backend, ServerConfig config, std::int64_t nowMs)
    : m_core(std::make_unique<ServerCore>(backend, std::move(config), nowMs))
{
}

Server::~Server() = default;

void Server::SetProject(std::vector<PlcNode> plcs, std::vector<ItemNode> items, std::int64_t nowMs)
{
    m_core->SetProject(plcs, items, nowMs);
}
void Server::SetRun(const RunNode& run, std::int64_t nowMs)
{
    m_core->SetRun(run, nowMs);
}
void Server::SetPlc(const PlcNode& plc, std::int64_t nowMs)
{
    m_core->SetPlc(plc, nowMs);
}
void Server::SetValues(std::span<const ItemSample> samples, std::int64_t nowMs)
{
    m_core->SetValues(samples, nowMs);
}
ConnectionId Server::Accept(std::string peer, std::int64_t nowMs)
{
    return m_core->Accept(std::move(peer), nowMs);
}
void Server::Receive(ConnectionId id, std::span<const std::uint8_t> bytes, std::int64_t nowMs)
{
    m_core->Receive(id, bytes, nowMs);
}
std::vector<std::uint8_t> Server::TakeOutput(ConnectionId id)
{
    return m_core->TakeOutput(id);
}
bool Server::ShouldClose(ConnectionId id) const
{
    return m_core->ShouldClose(id);
}
void Server::Closed(ConnectionId id, std::int64_t nowMs)
{
    m_core->Closed(id, nowMs);
}
void Server::Tick(std::int64_t nowMs)
{
    m_core->Tick(nowMs);
}
std::int64_t Server::NextTickMs() const
{
    return m_core->NextTickMs();
}
std::vector<ConnectionId> Server::ConnectionsWithOutput() const
{
    return m_core->ConnectionsWithOutput();
}
std::size_t Server::SessionCount() const
{
    return m_core->SessionCount();
}

} // namespace tavrel::opcua
