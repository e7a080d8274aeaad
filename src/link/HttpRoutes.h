#pragma once

#include "app/ItemService.h"
#include "link/AccessRules.h"
#include "link/LinkSettings.h"
#include "link/LinkWire.h"
#include "link/WebPage.h"

#include <QStringList>

#include <optional>

class QTcpSocket;

namespace tavrel::link {

/// The answers of the link server over HTTP, one function per route, for requests the access rules have let
/// through (but the live page's, which holds no data and goes out without the token):
///   /dde/Tavrel/Items              GET the list, POST an execute command
///   /dde/Tavrel/Items/lblDDE(i)    GET the value, PUT a poke
///   /dde/Tavrel/System[/name]      GET the System items, read-only
///   /dde/Tavrel/Events[?after=N]   GET the newest events (after event N), as JSON
///   /dde/Tavrel/Audit[?since=TIME] GET the audit trail's lines (from TIME on), as JSON; operators only
///   /dde/Tavrel/History/lblDDE(i)?from=…&to=…&points=N
///                                  GET a recorded item's history: JSON reduced to N points, or raw CSV
///   OPTIONS on any of them         the preflight of a web page
class HttpRoutes
{
public:
    /// Where a path under "/dde" leads.
    enum class Route {
        Elsewhere, ///< not under "/dde": the server's missing handler answers
        BadDepth, ///< neither a topic nor an item
        UnknownService,
        System, ///< the System topic or one of its items
        Events, ///< what happened lately
        Audit, ///< the audit trail
        History, ///< a recorded item's history
        UnknownTopic,
        List, ///< the Items topic: the list, execute, WebSocket conversations
        Item ///< one item of the Items topic
    };

    /// One request being answered.
    struct Exchange
    {
        const QHttpServerRequest& request;
        QHttpServerResponder& responder;
        QTcpSocket& socket;
        QStringList parts; ///< of the decoded path: "", "dde", service, topic[, item]
        Headers cors; ///< the headers an allowed web page needs to read the answer, and the client's role
        app::Caller caller; ///< the client, its role and token name
    };

    HttpRoutes(app::ItemService& items, const LinkLimits& limits);

    /// The route of a decoded path, and the path's parts; a trailing "/" is forgiven.
    static std::pair<Route, QStringList> Find(const QString& path);

    /// Answers a request for a file of the live page, which the access rules refuse or not.
    static void ServePage(const PageFile& page, const QHttpServerRequest& request, QHttpServerResponder& responder,
                          const std::optional<AccessRules::Refusal>& refusal);

    /// Answers the preflight of a web page: the methods and headers it may use.
    static void Preflight(Exchange& exchange);

    /// Answers a request of any route but Elsewhere.
    void Serve(Route route, Exchange& exchange);

private:
    void ServeSystem(Exchange& exchange);
    void ServeEvents(Exchange& exchange);
    void ServeAudit(Exchange& exchange);
    void ServeHistory(Exchange& exchange);
    void ServeList(Exchange& exchange);
    void ServeItem(Exchange& exchange);

    app::ItemService& m_items;
    const LinkLimits& m_limits;
};

} // namespace tavrel::link
