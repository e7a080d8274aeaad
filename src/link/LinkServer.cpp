#include "link/LinkServer.h"

#include "link/LimitedTcpServer.h"
#include "link/LinkNames.h"
#include "link/WebPage.h"

#include <QHttpServerRequest>
#include <QPointer>
#include <QWebSocket>

#include <algorithm>
#include <chrono>

namespace tavrel::link {

LinkServer::LinkServer(app::ItemService& items, LinkLimits limits, QObject* parent)
    : QAbstractHttpServer(parent)
    , m_items(items)
    , m_limits(limits)
{
    connect(&m_items, &app::ItemService::systemChanged, this, &LinkServer::SystemItemChanged);
    connect(&m_items, &app::ItemService::systemRemoved, this, &LinkServer::SystemItemRemoved);
    connect(&m_items, &app::ItemService::itemRemoved, this, &LinkServer::ItemRemoved);
    // The changes of a pass leave at its end, before the next pass can hold up the event loop.
    connect(&m_items, &app::ItemService::changed, this, &LinkServer::SendChanges);
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &LinkServer::AcceptWebSockets);
    m_watchdog.setInterval(std::clamp(m_limits.stallMs / 4, 50, 1000));
    connect(&m_watchdog, &QTimer::timeout, this, &LinkServer::WatchSlowClients);
    m_watchdog.start();
}

LinkServer::~LinkServer()
{
    // The sessions go with the server's children, when it is no longer a LinkServer: nothing may call back.
    for (LinkSession* session : m_sessions) {
        session->Detach();
        session->disconnect(this);
    }
}

void LinkServer::SetAccess(LinkAccess access)
{
    m_access.Set(std::move(access));
}

tl::expected<quint16, std::string> LinkServer::Listen(const QHostAddress& address, quint16 port)
{
    if (!address.isLoopback()) {
        const std::string where
            = "refusing to serve on " + address.toString().toStdString() + ", which other machines can reach, ";
        const auto anyToken = m_access.AnyToken();
        if (!anyToken) {
            return tl::make_unexpected(where + "while " + anyToken.error());
        }
        if (!*anyToken) {
            return tl::make_unexpected(where
                                       + "without access tokens: make some with 'tavrel --add-token NAME ROLE' "
                                         "(the users file), or set LinkTokenFile; or listen on 127.0.0.1");
        }
        if (!Tls() && !m_access.Access().allowPlainHttp) {
            return tl::make_unexpected(where
                                       + "without TLS, where tokens would travel in clear: set LinkCertFile and "
                                         "LinkKeyFile, or LinkAllowPlainHttp=1 to serve plain HTTP all the same");
        }
    }
    auto* server = new LimitedTcpServer(m_limits.maxConnections, m_tls, m_limits.handshakeMs, this);
    if (!server->listen(address, port)) {
        const std::string error = server->errorString().toStdString();
        delete server;
        return tl::make_unexpected("cannot listen on " + address.toString().toStdString() + ":" + std::to_string(port)
                                   + ": " + error);
    }
    m_tcpServer = server;
    bind(server);
    return server->serverPort();
}

tl::expected<quint16, std::string> LinkServer::Move(const QHostAddress& address, quint16 port)
{
    QTcpServer* previous = m_tcpServer;
    if (previous != nullptr && previous->serverAddress() == address && previous->serverPort() == port) {
        return port;
    }
    if (previous != nullptr) {
        // The same port on another address may clash with the old socket; free it first, then try, and
        // take the old place back if the new one cannot be had.
        const QHostAddress oldAddress = previous->serverAddress();
        const quint16 oldPort = previous->serverPort();
        previous->close();
        auto moved = Listen(address, port);
        if (!moved) {
            previous->listen(oldAddress, oldPort);
            m_tcpServer = previous;
            return moved;
        }
        previous->deleteLater();
        return moved;
    }
    return Listen(address, port);
}

std::optional<std::pair<QHostAddress, quint16>> LinkServer::Listening() const
{
    if (m_tcpServer == nullptr || !m_tcpServer->isListening()) {
        return std::nullopt;
    }
    return std::make_pair(m_tcpServer->serverAddress(), m_tcpServer->serverPort());
}

tl::expected<AccessRules::Grant, AccessRules::Refusal> LinkServer::CheckAccess(const QHttpServerRequest& request,
                                                                               const QTcpSocket& socket) const
{
    return m_tcpServer != nullptr
        ? m_access.Check(request, m_tcpServer->serverAddress(), m_tcpServer->serverPort(), socket.peerAddress())
        : m_access.Check(request, QHostAddress(), 0, socket.peerAddress());
}

bool LinkServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    const auto method = request.method();
    const bool upgrade = IsWebSocketUpgrade(request);
    const QString path = request.url().path(QUrl::FullyDecoded);
    // The live page's files hold no data and go out without the token: the page asks for it, for the data.
    if (auto page = upgrade ? std::nullopt : FindPageFile(path)) {
        auto responder = makeResponder(request, socket);
        const auto access = CheckAccess(request, *socket);
        HttpRoutes::ServePage(*page, request, responder,
                              access ? std::nullopt : std::optional<AccessRules::Refusal>(access.error()));
        return true;
    }
    const auto access = CheckAccess(request, *socket);
    if (!access) {
        // An upgrade that this handler accepts becomes a conversation; the missing handler refuses it instead.
        if (upgrade) {
            return false;
        }
        auto responder = makeResponder(request, socket);
        AccessRules::Refuse(responder, method, access.error());
        return true;
    }
    auto [route, parts] = HttpRoutes::Find(path);
    // Whatever this handler accepts of an upgrade, the server hands over to a WebSocket conversation, answered
    // or not; so one on any path but the list's goes to the missing handler, which refuses it and closes.
    if (route == HttpRoutes::Route::Elsewhere || (upgrade && route != HttpRoutes::Route::List)) {
        return false;
    }
    auto responder = makeResponder(request, socket);
    // Allowed web pages may read the answers; the origin was checked above.
    HttpRoutes::Exchange exchange { request,
                                    responder,
                                    *socket,
                                    std::move(parts),
                                    AccessRules::CorsHeaders(request),
                                    LinkCaller(PeerText(socket->peerAddress(), socket->peerPort()), access->role,
                                               access->user) };
    // The live page shows a reader no controls that would be refused.
    const std::string_view role = common::RoleName(access->role);
    exchange.cors.emplace_back("X-Tavrel-Role", QByteArray(role.data(), static_cast<qsizetype>(role.size())));
    if (method == QHttpServerRequest::Method::Options) {
        HttpRoutes::Preflight(exchange);
    } else if (!upgrade) { // an upgrade's conversation takes the connection over; nothing is written here
        m_routes.Serve(route, exchange);
    }
    return true;
}

void LinkServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    auto responder = makeResponder(request, socket);
    if (const auto access = CheckAccess(request, *socket); !access) {
        AccessRules::Refuse(responder, request.method(), access.error());
        return;
    }
    Reply(responder, request.method(), Status::NotFound,
          IsWebSocketUpgrade(request) ? QStringLiteral("WebSocket conversations open on %1 only").arg(ItemsPath())
                                      : QStringLiteral("no such path; the items are under %1").arg(ItemsPath()));
}

void LinkServer::AcceptWebSockets()
{
    while (hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> socket = nextPendingWebSocketConnection();
        if (!socket) {
            continue;
        }
        if (static_cast<int>(m_sessions.size()) >= m_limits.maxConnections) {
            socket->close(static_cast<QWebSocketProtocol::CloseCode>(kCloseTooMuchData),
                          QStringLiteral("too many connections"));
            socket.release()->deleteLater();
            continue;
        }
        // The upgrade passed the access rules; its token, read again from the handshake, gives the role.
        const auto grant = m_access.CheckToken(socket->request().rawHeader("Authorization"), socket->request().url(),
                                               socket->peerAddress());
        if (!grant) {
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated, grant.error().reason);
            socket.release()->deleteLater();
            continue;
        }
        auto* session = new LinkSession(std::move(socket), m_context, grant->role, grant->user, this);
        connect(session, &LinkSession::messageReceived, this,
                [this, session](const QString& message) { m_commands.Handle(*session, message); });
        connect(session, &LinkSession::ended, this, [this, session] { DropSession(session); });
        connect(session, &LinkSession::notice, this, &LinkServer::clientNotice);
        connect(session, &LinkSession::notice, this,
                [this](const QString& text) { m_items.Events().Add(app::EventKind::Client, text); });
        m_sessions.push_back(session);
        ++m_stats.opened;
    }
}

void LinkServer::DropSession(LinkSession* session)
{
    std::erase(m_sessions, session);
    session->deleteLater();
}

void LinkServer::SayGoodbye()
{
    const std::vector<QPointer<LinkSession>> sessions(m_sessions.begin(), m_sessions.end());
    for (const QPointer<LinkSession>& session : sessions) {
        if (session != nullptr) {
            session->SayGoodbye();
        }
    }
}

void LinkServer::WatchSlowClients()
{
    const qint64 now
        = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
              .count();
    const std::vector<QPointer<LinkSession>> sessions(m_sessions.begin(), m_sessions.end());
    for (const QPointer<LinkSession>& session : sessions) {
        if (session != nullptr) {
            session->Watch(now);
        }
    }
}

void LinkServer::SystemItemChanged(const QString& name, const QString& value)
{
    const QString key = name.toUpper();
    QString text;
    // A copy: a send may close a slow session, which changes the list.
    const std::vector<LinkSession*> sessions = m_sessions;
    for (LinkSession* session : sessions) {
        if (!session->IsOpen() || !session->AdvisesSystem(key)) {
            continue;
        }
        if (text.isEmpty()) {
            text = QString::fromUtf8(
                JsonText({ { "topic", Latin1(kSystemTopic) }, { "item", name }, { "value", value } }));
        }
        session->Send(text);
    }
}

void LinkServer::SystemItemRemoved(const QString& name)
{
    // Its advises end as a removed label's do: a client shows the value as gone, not as current.
    const QString text = QString::fromUtf8(
        JsonText({ { "op", Latin1(kOpEnded) },
                   { "topic", Latin1(kSystemTopic) },
                   { "item", name },
                   { "reason", QStringLiteral("%1 is no more: its PLC left the project or was renamed").arg(name) } }));
    const std::vector<LinkSession*> sessions = m_sessions;
    for (LinkSession* session : sessions) {
        if (session->IsOpen() && session->UnadviseSystem(name.toUpper())) {
            session->Send(text);
        }
    }
}

void LinkServer::ItemRemoved(std::int32_t index)
{
    if (m_links.Sessions(index).empty()) {
        return;
    }
    const QString text
        = QString::fromUtf8(JsonText({ { "op", Latin1(kOpEnded) },
                                       { "item", ItemName(index) },
                                       { "reason", QStringLiteral("%1 was removed").arg(ItemName(index)) } }));
    std::vector<QPointer<LinkSession>> ended;
    for (LinkSession* session : m_links.Take(index)) {
        session->Forget(index);
        ended.emplace_back(session);
    }
    for (const QPointer<LinkSession>& session : ended) {
        if (session != nullptr) {
            session->Send(text);
        }
    }
}

void LinkServer::SendChanges(const std::vector<app::ItemChange>& changes)
{
    // One JSON text per changed label, then one message per session: the object itself for a single
    // change, an array of them for several. Sessions linked to the same changed labels (the common case
    // of many clients watching one set) share one message text.
    std::vector<QByteArray> fragments(changes.size());
    std::vector<QPointer<LinkSession>> touched;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const auto linked = m_links.Sessions(changes[i].index);
        if (linked.empty()) {
            continue;
        }
        fragments[i] = ItemChangeJson(changes[i]);
        for (LinkSession* session : linked) {
            if (session->AddPending(static_cast<std::uint32_t>(i))) {
                touched.emplace_back(session);
            }
        }
    }

    // Sending can drop any session of the list, so each is held by a guarded pointer and checked before use.
    std::vector<std::uint32_t> previous;
    QString message;
    QStringList notices;
    for (const QPointer<LinkSession>& guarded : touched) {
        LinkSession* session = guarded.data();
        if (session == nullptr || session->IsGone()) {
            continue;
        }
        std::vector<std::uint32_t> pending = session->TakePending();
        // A client with much unsent gets, for each of its links, only the newest value once it has caught up.
        if (session->Behind()) {
            if (auto notice = session->HoldBack(pending, changes)) {
                notices.append(std::move(*notice));
            }
            continue;
        }
        if (message.isEmpty() || pending != previous) {
            QByteArray text;
            if (pending.size() == 1) {
                text = fragments[pending.front()];
            } else {
                text += '[';
                for (std::size_t i = 0; i < pending.size(); ++i) {
                    if (i) {
                        text += ',';
                    }
                    text += fragments[pending[i]];
                }
                text += ']';
            }
            message = QString::fromUtf8(text);
            previous = std::move(pending);
        }
        session->SendNow(message);
    }
    for (const QString& notice : notices) {
        m_items.Events().Add(app::EventKind::Client, notice);
        emit clientNotice(notice);
    }
}

} // namespace tavrel::link
