#pragma once

#include "app/ItemService.h"

#include <QAbstractHttpServer>
#include <QHostAddress>
#include <QHttpServerResponder>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <tl/expected.hpp>

class QJsonObject;
class QTcpServer;
class QWebSocket;

namespace tavrel::link {

/// The bounds the server keeps clients within.
struct LinkLimits
{
    qint64 maxBodyBytes = 64 * 1024; ///< a poke or execute body
    qint64 maxMessageBytes = 64 * 1024; ///< a WebSocket message
    std::size_t maxLinksPerConnection = 40000;
    int maxConnections = 512; ///< HTTP and WebSocket connections together
    /// Unsent bytes past which a connection gets only the newest value of each of its links.
    qint64 conflateBytes = 1024 * 1024;
    /// Unsent bytes past which a connection is closed (code 1008).
    qint64 maxUnsentBytes = 16 * 1024 * 1024;
    /// Time a connection may hold unsent data without taking any of it before it is closed (code 1008).
    int stallMs = 30000;
};

/// Who may talk to the server. Requests without an Origin header (programs rather than web pages) need no
/// origin; requests from web pages are served when their origin is the server's own or listed here.
struct LinkAccess
{
    QStringList allowedOrigins; ///< web page origins served besides the server's own, like "http://scada.example:8080"
    QStringList allowedHosts; ///< Host names served besides IP addresses and localhost (DNS rebinding stops here)
    QByteArray token; ///< when not empty, every request must carry it; required to listen off loopback
};

/// What the server has done with its WebSocket clients since it started.
struct LinkStats
{
    std::uint64_t opened = 0; ///< conversations accepted
    std::uint64_t dropped = 0; ///< conversations ended, for whatever reason
    std::uint64_t conflated = 0; ///< times a client fell behind and got only the newest values
    std::uint64_t closedSlow = 0; ///< clients closed for reading too slowly or not at all
};

/// An item name "lblDDE(7)", matched without regard to case, as its label index; nothing for a name of
/// another form (leading zeros, blanks, an index beyond 32767 included).
std::optional<std::int32_t> ParseItemName(const QString& name);

/// The program's items over HTTP and WebSocket: service "Tavrel", topic "Items", items lblDDE(i).
///   GET  /dde/Tavrel/Items/lblDDE(i)   the label text
///   PUT  /dde/Tavrel/Items/lblDDE(i)   a poke of the body text
///   POST /dde/Tavrel/Items             an execute command
///   GET  /dde/Tavrel/Items             every item and its value, as HTML or (Accept) JSON
///   WebSocket /dde/Tavrel/Items        advise, unadvise, request, poke, execute as JSON messages
///   GET  /dde/Tavrel/System[/name]     the run's and the PLCs' health (app::SystemItems), read-only; over the
///                                      WebSocket the same with "topic":"System" in advise, unadvise, request
///   GET  /                             the live page (WebPage), which works through the routes above
class LinkServer : public QAbstractHttpServer
{
    Q_OBJECT

public:
    explicit LinkServer(app::ItemService& items, LinkLimits limits = {}, QObject* parent = nullptr);
    ~LinkServer() override;

    /// Sets who may talk to the server, for requests from now on.
    void SetAccess(LinkAccess access);

    /// Whether requests must carry the access token.
    bool TokenInForce() const { return !m_access.token.isEmpty(); }

    /// Starts listening; the port actually bound (useful with port 0), or what went wrong. An address other
    /// machines can reach is refused while no access token is set.
    tl::expected<quint16, std::string> Listen(const QHostAddress& address, quint16 port);

    /// Moves the server to another address or port: the new one is opened before the old one closes,
    /// so a failure leaves the server where it was.
    tl::expected<quint16, std::string> Move(const QHostAddress& address, quint16 port);

    /// The address and port listened on, if any.
    std::optional<std::pair<QHostAddress, quint16>> Listening() const;

    /// Ends every WebSocket conversation with "going away" (1001), the close frame handed to the network at
    /// once, so that clients of a program that is ending hear so rather than find the connection gone.
    void SayGoodbye();

    /// The number of open WebSocket conversations.
    std::size_t SessionCount() const { return m_sessions.size(); }

    const LinkStats& Stats() const { return m_stats; }

signals:
    /// Something worth a line in a log about one client: it fell behind, or it was closed for not reading.
    void clientNotice(const QString& text);

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Session;
    struct Refusal
    {
        QHttpServerResponder::StatusCode status;
        QString reason;
    };

    /// Why a request may not be served (Host, Origin, token, in this order), or nothing when it may.
    std::optional<Refusal> CheckAccess(const QHttpServerRequest& request) const;
    bool OriginAllowed(const QString& origin) const;

    void ItemRemoved(std::int32_t index);

    void AcceptWebSockets();
    void HandleMessage(Session& session, const QString& message);
    void Advise(Session& session, std::int32_t index, const QString& item);
    void Unadvise(Session& session, std::int32_t index);
    void DropSession(Session* session);
    void SendChanges(const std::vector<app::ItemChange>& changes);
    void HandleSystemMessage(Session& session, const QString& op, const QJsonObject& message);
    void SystemItemChanged(const QString& name, const QString& value);
    void SystemItemRemoved(const QString& name);
    /// Queues a message for a session; false when the session is gone or has just been closed for it.
    bool Send(Session& session, const QString& text);
    /// Sends the newest value of every link left out while the session was behind, once it has caught up.
    void SendStale(Session& session);
    void CloseSlow(Session& session, const QString& reason);
    void WatchSlowClients();

    app::ItemService& m_items;
    LinkLimits m_limits;
    LinkAccess m_access;
    QTcpServer* m_tcpServer = nullptr;
    /// Open conversations; each a child of the server, deleted later when dropped.
    std::vector<Session*> m_sessions;
    /// Sessions advising each label, by label index.
    std::vector<std::vector<Session*>> m_links;
    QTimer m_watchdog;
    LinkStats m_stats;
};

} // namespace tavrel::link
