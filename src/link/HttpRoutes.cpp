#include "link/HttpRoutes.h"

#include "link/HistoryRoute.h"
#include "link/LinkNames.h"
#include "link/Listings.h"
#include "model/LabelArray.h"

#include <QDateTime>
#include <QTcpSocket>
#include <QUrlQuery>

namespace tavrel::link {

namespace {

using Method = QHttpServerRequest::Method;

// The most audit lines one answer holds; a client pages on with since= the time of the last it got.
constexpr std::size_t kMaxAuditAnswered = 1000;

bool IsRead(Method method)
{
    return method == Method::Get || method == Method::Head;
}

bool WantsJson(const QHttpServerRequest& request)
{
    return request.value("accept").contains("application/json");
}

// A poked text as clients send it: a trailing line break, as spreadsheets add, is not part of the value.
std::string PokeText(const QByteArray& body)
{
    std::string text = body.toStdString();
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
    }
    return text;
}

} // namespace

HttpRoutes::HttpRoutes(app::ItemService& items, const LinkLimits& limits)
    : m_items(items)
    , m_limits(limits)
{
}

std::pair<HttpRoutes::Route, QStringList> HttpRoutes::Find(const QString& path)
{
    QStringList parts = path.split(QLatin1Char('/'));
    if (parts.size() > 3 && parts.back().isEmpty()) {
        parts.removeLast();
    }
    const auto route = [&] {
        if (parts.size() < 2 || !parts[0].isEmpty() || parts[1] != Latin1(kPathRoot)) {
            return Route::Elsewhere;
        }
        if (parts.size() < 4 || parts.size() > 5) {
            return Route::BadDepth;
        }
        if (!SameIgnoringCase(parts[2], kService)) {
            return Route::UnknownService;
        }
        if (SameIgnoringCase(parts[3], kSystemTopic)) {
            return Route::System;
        }
        if (SameIgnoringCase(parts[3], kEventsPath) && parts.size() == 4) {
            return Route::Events;
        }
        if (SameIgnoringCase(parts[3], kAuditPath) && parts.size() == 4) {
            return Route::Audit;
        }
        if (SameIgnoringCase(parts[3], kHistoryPath)) {
            return Route::History;
        }
        if (!SameIgnoringCase(parts[3], kTopic)) {
            return Route::UnknownTopic;
        }
        return parts.size() == 4 ? Route::List : Route::Item;
    }();
    return { route, std::move(parts) };
}

void HttpRoutes::ServePage(const PageFile& page, const QHttpServerRequest& request, QHttpServerResponder& responder,
                           const std::optional<AccessRules::Refusal>& refusal)
{
    const Method method = request.method();
    // The page asks for the token itself, for the data.
    if (refusal && refusal->status != Status::Unauthorized) {
        Reply(responder, method, refusal->status, refusal->reason);
    } else if (!IsRead(method)) {
        Reply(responder, method, Status::MethodNotAllowed, QStringLiteral("the page is read with GET"),
              { { "Allow", "GET, HEAD" } });
    } else {
        WriteContent(responder, method, page.body, page.mimeType, Status::Ok, PageHeaders(request.value("host")));
    }
}

void HttpRoutes::Preflight(Exchange& exchange)
{
    exchange.cors.insert(exchange.cors.end(),
                         { { "Allow", "GET, HEAD, PUT, POST, OPTIONS" },
                           { "Access-Control-Allow-Methods", "GET, HEAD, PUT, POST, OPTIONS" },
                           { "Access-Control-Allow-Headers", "Authorization, Content-Type" },
                           { "Access-Control-Max-Age", "600" } });
    WriteContent(exchange.responder, exchange.request.method(), {}, {}, Status::NoContent, exchange.cors);
}

void HttpRoutes::Serve(Route route, Exchange& exchange)
{
    const auto notFound = [&](const QString& reason) {
        Reply(exchange.responder, exchange.request.method(), Status::NotFound, reason, exchange.cors);
    };
    const QStringList& parts = exchange.parts;
    switch (route) {
    case Route::Elsewhere:
        break;
    case Route::BadDepth:
        notFound(QStringLiteral("paths are %1 and %1/%2").arg(ItemsPath(), ItemNameForm()));
        break;
    case Route::UnknownService:
        notFound(QStringLiteral("unknown service '%1'; the service is %2").arg(parts[2], Latin1(kService)));
        break;
    case Route::System:
        ServeSystem(exchange);
        break;
    case Route::Events:
        ServeEvents(exchange);
        break;
    case Route::Audit:
        ServeAudit(exchange);
        break;
    case Route::History:
        ServeHistory(exchange);
        break;
    case Route::UnknownTopic:
        notFound(UnknownTopicReason(parts[3]));
        break;
    case Route::List:
        ServeList(exchange);
        break;
    case Route::Item:
        ServeItem(exchange);
        break;
    }
}

// GET /dde/Tavrel/Events[?after=N]: the newest events, oldest first, at most kMaxEventsAnswered of them.
void HttpRoutes::ServeEvents(Exchange& exchange)
{
    auto& [request, responder, socket, parts, cors, caller] = exchange;
    const Method method = request.method();
    if (!IsRead(method)) {
        cors.emplace_back("Allow", "GET, HEAD, OPTIONS");
        Reply(responder, method, Status::MethodNotAllowed, QStringLiteral("events are read with GET"), cors);
        return;
    }
    bool afterOk = true;
    const QString afterText = QUrlQuery(request.url()).queryItemValue(QStringLiteral("after"));
    const qulonglong after = afterText.isEmpty() ? 0 : afterText.toULongLong(&afterOk);
    if (!afterOk) {
        Reply(responder, method, Status::BadRequest,
              QStringLiteral("after= takes the number of the last event seen, not '%1'").arg(afterText), cors);
        return;
    }
    WriteContent(responder, method, EventListJson(m_items.Events(), after), "application/json", Status::Ok, cors);
}

// GET /dde/Tavrel/Audit[?since=TIME]: the audit trail's lines, oldest first, as one JSON array; for operators.
void HttpRoutes::ServeAudit(Exchange& exchange)
{
    auto& [request, responder, socket, parts, cors, caller] = exchange;
    const Method method = request.method();
    if (!IsRead(method)) {
        cors.emplace_back("Allow", "GET, HEAD, OPTIONS");
        Reply(responder, method, Status::MethodNotAllowed, QStringLiteral("the audit trail is read with GET"), cors);
        return;
    }
    if (caller.role != app::Role::Operator) {
        Reply(responder, method, Status::Forbidden,
              QStringLiteral("the audit trail is for operators; a reader may not "
                             "read it"),
              cors);
        return;
    }
    const app::AuditTrail* audit = m_items.Audit();
    if (audit == nullptr) {
        Reply(responder, method, Status::NotFound, QStringLiteral("this server keeps no audit trail"), cors);
        return;
    }
    const QString since = QUrlQuery(request.url()).queryItemValue(QStringLiteral("since"), QUrl::FullyDecoded);
    if (!since.isEmpty() && !app::IsAuditTime(since.toStdString())) {
        Reply(responder, method, Status::BadRequest,
              QStringLiteral("since= takes a UTC time as the lines write it, like 2026-12-07T18:04:44.123Z, or its "
                             "beginning, like 2026-12-07T18; not '%1'")
                  .arg(since),
              cors);
        return;
    }
    QByteArray body = "[";
    for (const std::string& line : audit->Since(since.toStdString(), kMaxAuditAnswered)) {
        if (body.size() > 1) {
            body += ",\n";
        }
        body += QByteArray::fromStdString(line);
    }
    body += "]\n";
    WriteContent(responder, method, body, "application/json", Status::Ok, cors);
}

// GET /dde/Tavrel/History/lblDDE(i)?from=…&to=…&points=N: a recorded item's history, reduced to N points as JSON, or
// with Accept: text/csv its samples as recorded, up to a number of rows the answer says in its headers.
void HttpRoutes::ServeHistory(Exchange& exchange)
{
    auto& [request, responder, socket, parts, cors, caller] = exchange;
    const Method method = request.method();
    if (!IsRead(method)) {
        cors.emplace_back("Allow", "GET, HEAD, OPTIONS");
        Reply(responder, method, Status::MethodNotAllowed, QStringLiteral("the history is read with GET"), cors);
        return;
    }
    if (parts.size() != 5) {
        Reply(responder, method, Status::NotFound,
              QStringLiteral("name an item: /%1/%2/%3/%4")
                  .arg(Latin1(kPathRoot), Latin1(kService), Latin1(kHistoryPath), ItemNameForm()),
              cors);
        return;
    }
    const ItemLookup lookup = LookUpItem(m_items, parts[4]);
    const app::HistoryReader* history = m_items.History();
    if (!lookup.index) {
        Reply(responder, method, lookup.status, lookup.reason, cors);
        return;
    }
    const std::int32_t index = *lookup.index;
    if (!m_items.Exists(index)) {
        Reply(responder, method, Status::NotFound, NoItemReason(index), cors);
        return;
    }
    if (history == nullptr) {
        Reply(responder, method, Status::NotFound, QStringLiteral("no history: the project is not saved in a file"),
              cors);
        return;
    }
    if (!history->IsRecorded(index)) {
        Reply(responder, method, Status::NotFound,
              QStringLiteral("%1 is not recorded: set its Record flag to keep its history").arg(ItemName(index)), cors);
        return;
    }
    const auto asked = ParseHistoryQuery(QUrlQuery(request.url()), QDateTime::currentMSecsSinceEpoch());
    if (!asked) {
        Reply(responder, method, Status::BadRequest, asked.error(), cors);
        return;
    }
    if (request.value("accept").contains("text/csv")) {
        // One row more than the cap tells whether the cap was hit.
        constexpr std::size_t kCap = HistoryRouteLimits::kMaxRawRows;
        auto rows = history->ReadRaw(index, asked->fromMs, asked->toMs, kCap + 1);
        if (!rows) {
            Reply(responder, method, Status::ServiceUnavailable, QString::fromStdString(rows.error()), cors);
            return;
        }
        const bool capped = rows->size() > kCap;
        rows->resize(std::min(rows->size(), kCap));
        cors.emplace_back("X-History-Row-Cap", QByteArray::number(static_cast<qulonglong>(kCap)));
        cors.emplace_back("X-History-Capped", capped ? "true" : "false");
        WriteContent(responder, method, HistoryCsv(*rows), "text/csv; charset=utf-8", Status::Ok, cors);
        return;
    }
    const auto points = history->Read(index, asked->fromMs, asked->toMs, asked->points);
    if (!points) {
        Reply(responder, method, Status::ServiceUnavailable, QString::fromStdString(points.error()), cors);
        return;
    }
    WriteContent(responder, method, HistoryJson(ItemName(index), QString::fromStdString(m_items.Units(index)), *points),
                 "application/json", Status::Ok, cors);
}

// GET /dde/Tavrel/System and /dde/Tavrel/System/<name>: read-only texts.
void HttpRoutes::ServeSystem(Exchange& exchange)
{
    auto& [request, responder, socket, parts, cors, caller] = exchange;
    const Method method = request.method();
    const app::SystemItems& system = m_items.System();
    if (!IsRead(method)) {
        cors.emplace_back("Allow", "GET, HEAD, OPTIONS");
        Reply(responder, method, Status::MethodNotAllowed,
              QStringLiteral("%1 items are read-only; use GET").arg(Latin1(kSystemTopic)), cors);
    } else if (parts.size() == 5) {
        if (const auto item = system.Find(parts[4])) {
            WriteContent(responder, method, item->second.toUtf8(), kTextPlain, Status::Ok, cors);
        } else {
            Reply(responder, method, Status::NotFound, NoSystemItemReason(parts[4]), cors);
        }
    } else if (WantsJson(request)) {
        WriteContent(responder, method, SystemListJson(system), "application/json", Status::Ok, cors);
    } else {
        WriteContent(responder, method, SystemListHtml(system), "text/html; charset=utf-8", Status::Ok, cors);
    }
}

// /dde/Tavrel/Items: GET the list, POST an execute command.
void HttpRoutes::ServeList(Exchange& exchange)
{
    auto& [request, responder, socket, parts, cors, caller] = exchange;
    const Method method = request.method();
    if (method == Method::Post) {
        if (request.body().size() > m_limits.maxBodyBytes) {
            Reply(responder, method, Status::PayloadTooLarge,
                  QStringLiteral("the command is longer than %1 bytes").arg(m_limits.maxBodyBytes), cors);
            return;
        }
        // A command that names nothing is refused with the list of those there are; one that does is acknowledged,
        // and a run it starts goes on in the event loop.
        const std::string command = PokeText(request.body());
        const auto refusal = m_items.Execute(exchange.caller, command, [&] {
            WriteContent(responder, method, {}, {}, Status::Accepted, cors);
            socket.flush(); // the answer leaves before a run that the command starts opens its channels
        });
        if (refusal) {
            Reply(responder, method, RefusalStatus(refusal->kind), QString::fromStdString(refusal->reason), cors);
        }
    } else if (!IsRead(method)) {
        cors.emplace_back("Allow", "GET, HEAD, POST, OPTIONS");
        Reply(responder, method, Status::MethodNotAllowed,
              QStringLiteral("use GET to list the items, POST to execute a command"), cors);
    } else if (WantsJson(request)) {
        WriteContent(responder, method, ItemListJson(m_items), "application/json", Status::Ok, cors);
    } else {
        WriteContent(responder, method, ItemListHtml(m_items), "text/html; charset=utf-8", Status::Ok, cors);
    }
}

// /dde/Tavrel/Items/lblDDE(i): GET the value, PUT a poke.
void HttpRoutes::ServeItem(Exchange& exchange)
{
    auto& [request, responder, socket, parts, cors, caller] = exchange;
    const Method method = request.method();
    const ItemLookup lookup = LookUpItem(m_items, parts[4]);
    const auto& index = lookup.index;
    if (!index) {
        Reply(responder, method, lookup.status, lookup.reason, cors);
    } else if (!m_items.Exists(*index)) {
        Reply(responder, method, Status::NotFound, NoItemReason(*index), cors);
    } else if (IsRead(method) && WantsJson(request)) {
        WriteContent(responder, method, ItemStateJson(m_items.State(*index)), "application/json", Status::Ok, cors);
    } else if (IsRead(method)) {
        WriteContent(responder, method, QByteArray::fromStdString(m_items.Value(*index)), kTextPlain, Status::Ok, cors);
    } else if (method != Method::Put) {
        cors.emplace_back("Allow", "GET, HEAD, PUT, OPTIONS");
        Reply(responder, method, Status::MethodNotAllowed, QStringLiteral("use GET to read the item, PUT to poke it"),
              cors);
    } else if (request.body().size() > m_limits.maxBodyBytes) {
        Reply(responder, method, Status::PayloadTooLarge,
              QStringLiteral("the value is longer than %1 bytes").arg(m_limits.maxBodyBytes), cors);
    } else if (const auto refusal = m_items.Poke(exchange.caller, *index, PokeText(request.body()))) {
        Reply(responder, method, RefusalStatus(refusal->kind),
              QStringLiteral("%1: %2").arg(ItemName(*index), QString::fromStdString(refusal->reason)), cors);
    } else {
        WriteContent(responder, method, {}, {}, Status::NoContent, cors);
    }
}

} // namespace tavrel::link
