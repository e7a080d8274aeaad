#pragma once

#include "app/ItemService.h"
#include "link/AccessRules.h"
#include "link/CommandTable.h"
#include "link/HttpRoutes.h"
#include "link/LabelLinks.h"
#include "link/LinkSession.h"
#include "link/LinkSettings.h" // LinkLimits, LinkAccess, LinkStats
#include "link/LinkWire.h" // ParseItemName

#include <QAbstractHttpServer>
#include <QHostAddress>
#include <QSslConfiguration>
#include <QTimer>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <tl/expected.hpp>

class QTcpServer;

namespace tavrel::link {

/// The program's items over HTTP and WebSocket: service "Tavrel", topic "Items", items lblDDE(i).
///   GET  /dde/Tavrel/Items/lblDDE(i)   the label text
///   PUT  /dde/Tavrel/Items/lblDDE(i)   a poke of the body text
///   POST /dde/Tavrel/Items             an execute command
///   GET  /dde/Tavrel/Items             every item and its value, as HTML or (Accept) JSON
///   WebSocket /dde/Tavrel/Items        advise, unadvise, request, poke, execute as JSON messages
///   GET  /dde/Tavrel/System[/name]     the run's and the PLCs' health (app::SystemItems), read-only; over the
///                                      WebSocket the same with "topic":"System" in advise, unadvise, request
///   GET  /dde/Tavrel/Audit[?since=T]   the audit trail, for operators
///   GET  /                             the live page (WebPage), which works through the routes above
/// With a TLS set-up, all of it over HTTPS and WSS only.
class LinkServer : public QAbstractHttpServer
{
    Q_OBJECT

public:
    explicit LinkServer(app::ItemService& items, LinkLimits limits = {}, QObject* parent = nullptr);
    ~LinkServer() override;

    /// Sets who may talk to the server, for requests from now on.
    void SetAccess(LinkAccess access);

    /// Whether every request must carry a token.
    bool TokenInForce() const { return m_access.TokenInForce(); }

    /// Serves HTTPS and WSS only with `tls`, plain HTTP and WebSocket without; for listening from now on.
    void SetTls(std::optional<QSslConfiguration> tls) { m_tls = std::move(tls); }
    /// Whether the server speaks TLS.
    bool Tls() const { return m_tls.has_value(); }
    /// "https" or "http".
    QString Scheme() const { return Tls() ? QStringLiteral("https") : QStringLiteral("http"); }

    /// Starts listening; the port actually bound (useful with port 0), or what went wrong. An address other
    /// machines can reach is refused while no token can be presented, and without TLS unless plain HTTP is allowed
    /// (LinkAllowPlainHttp).
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
    /// What the access rules say of a request to this server over `socket`.
    tl::expected<AccessRules::Grant, AccessRules::Refusal> CheckAccess(const QHttpServerRequest& request,
                                                                       const QTcpSocket& socket) const;

    void AcceptWebSockets();
    void DropSession(LinkSession* session);
    void WatchSlowClients();

    /// Sends a pass's changes to the sessions linked to them.
    void SendChanges(const std::vector<app::ItemChange>& changes);
    void ItemRemoved(std::int32_t index);
    void SystemItemChanged(const QString& name, const QString& value);
    void SystemItemRemoved(const QString& name);

    app::ItemService& m_items;
    LinkLimits m_limits;
    AccessRules m_access;
    LinkStats m_stats;
    LabelLinks m_links;
    SessionContext m_context { m_items, m_limits, m_stats, m_links };
    HttpRoutes m_routes { m_items, m_limits };
    CommandTable m_commands { m_items, m_limits };
    std::optional<QSslConfiguration> m_tls;
    QTcpServer* m_tcpServer = nullptr;
    /// Open conversations; each a child of the server, deleted later when dropped.
    std::vector<LinkSession*> m_sessions;
    QTimer m_watchdog;
};

} // namespace tavrel::link
