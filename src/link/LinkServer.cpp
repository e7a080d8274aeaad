#include "link/LinkServer.h"

#include "common/OperandCatalogue.h"
#include "link/FormulaTexts.h"
#include "link/WebPage.h"

#include <QCryptographicHash>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <sys/socket.h>

namespace tavrel::link {

namespace {

using Status = QHttpServerResponder::StatusCode;

const QByteArray kTextPlain = "text/plain; charset=utf-8";

/// A TCP server that refuses connections beyond a limit instead of letting them pile up.
class LimitedTcpServer : public QTcpServer
{
public:
    LimitedTcpServer(int limit, QObject* parent)
        : QTcpServer(parent)
        , m_limit(limit)
    {
    }

    QTcpSocket* nextPendingConnection() override
    {
        QTcpSocket* socket = QTcpServer::nextPendingConnection();
        if (socket != nullptr) {
            m_open.append(socket);
        }
        return socket;
    }

protected:
    void incomingConnection(qintptr handle) override
    {
        // Counted by guarded pointers, not by signals: a WebSocket upgrade disconnects every signal of its socket.
        m_open.removeIf([](const QPointer<QTcpSocket>& socket) { return socket.isNull(); });
        if (m_open.size() >= m_limit) {
            QTcpSocket refused;
            refused.setSocketDescriptor(handle);
            refused.write("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 24\r\nConnection: close\r\n\r\n"
                          "too many connections\r\n\r\n");
            refused.flush();
            refused.abort();
            return;
        }
        // Room for a whole pass of changes in the kernel: between passes the event loop may have only a moment
        // to hand data over, and what does not fit waits a whole pass (the kernel caps the size it grants).
        const int sendBuffer = 4 * 1024 * 1024;
        ::setsockopt(static_cast<int>(handle), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        QTcpServer::incomingConnection(handle);
    }

private:
    int m_limit;
    QList<QPointer<QTcpSocket>> m_open;
};

bool SameIgnoringCase(const QString& a, std::string_view b)
{
    return a.compare(QLatin1String(b.data(), static_cast<qsizetype>(b.size())), Qt::CaseInsensitive) == 0;
}

bool IsWebSocketUpgrade(const QHttpServerRequest& request)
{
    return request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

qint64 NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A client that reads nothing never takes the close frame either; its connection is cut after this long.
constexpr int kCloseGraceMs = 5000;

QString ItemName(std::int32_t index)
{
    return QStringLiteral("lblDDE(%1)").arg(index);
}

QByteArray JsonText(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

using Headers = std::vector<std::pair<QByteArray, QByteArray>>;

// An answer with a body; to a HEAD request the same headers without the body, since a client reads the bytes
// after a HEAD answer as the next answer.
void WriteContent(QHttpServerResponder& responder, QHttpServerRequest::Method method, const QByteArray& body,
                  const QByteArray& mimeType, Status status = Status::Ok, const Headers& headers = {})
{
    responder.writeStatusLine(status);
    for (const auto& [name, value] : headers) {
        responder.writeHeader(name, value);
    }
    if (!mimeType.isEmpty()) {
        responder.writeHeader("Content-Type", mimeType);
    }
    responder.writeHeader("Content-Length", QByteArray::number(body.size()));
    responder.writeBody(method == QHttpServerRequest::Method::Head ? QByteArray() : body);
}

void Reply(QHttpServerResponder& responder, QHttpServerRequest::Method method, Status status, const QString& text,
           const Headers& headers = {})
{
    WriteContent(responder, method, text.toUtf8() + (text.isEmpty() || status == Status::Ok ? "" : "\n"), kTextPlain,
                 status, headers);
}

// GET /dde/Tavrel/System and /dde/Tavrel/System/<name>: read-only texts.
void ServeSystem(const app::SystemItems& system, QHttpServerResponder& responder, const QHttpServerRequest& request,
                 const QStringList& parts, Headers cors)
{
    const auto method = request.method();
    if (method != QHttpServerRequest::Method::Get && method != QHttpServerRequest::Method::Head) {
        cors.emplace_back("Allow", "GET, HEAD, OPTIONS");
        Reply(responder, method, Status::MethodNotAllowed, QStringLiteral("System items are read-only; use GET"), cors);
        return;
    }
    if (parts.size() == 5) {
        const auto item = system.Find(parts[4]);
        if (!item) {
            Reply(responder, method, Status::NotFound, QStringLiteral("no System item '%1'").arg(parts[4]), cors);
            return;
        }
        WriteContent(responder, method, item->second.toUtf8(), kTextPlain, Status::Ok, cors);
        return;
    }
    const auto items = system.Items();
    if (request.value("accept").contains("application/json")) {
        QJsonArray list;
        for (const auto& [name, value] : items) {
            list.append(QJsonObject { { "item", name }, { "value", value } });
        }
        WriteContent(responder, method,
                     JsonText(QJsonObject { { "service", "Tavrel" }, { "topic", "System" }, { "items", list } }),
                     "application/json", Status::Ok, cors);
        return;
    }
    QString html = QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Tavrel system</title>"
                                  "</head><body>\n<table border=\"1\">\n<tr><th>Item</th><th>Value</th></tr>\n");
    for (const auto& [name, value] : items) {
        html += QStringLiteral("<tr><td>%1</td><td>%2</td></tr>\n").arg(name.toHtmlEscaped(), value.toHtmlEscaped());
    }
    html += QStringLiteral("</table>\n</body></html>\n");
    WriteContent(responder, method, html.toUtf8(), "text/html; charset=utf-8", Status::Ok, cors);
}

// The host part of a Host header, lower case, without port; an IPv6 address keeps its brackets.
QString HostName(const QByteArray& header)
{
    const QString host = QString::fromLatin1(header).trimmed().toLower();
    if (host.startsWith(QLatin1Char('['))) {
        const qsizetype end = host.indexOf(QLatin1Char(']'));
        return end < 0 ? host : host.left(end + 1);
    }
    const qsizetype colon = host.lastIndexOf(QLatin1Char(':'));
    return colon < 0 ? host : host.left(colon);
}

bool IsIpLiteral(const QString& host)
{
    QHostAddress address;
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']'))) {
        return address.setAddress(host.mid(1, host.size() - 2)) && address.protocol() == QAbstractSocket::IPv6Protocol;
    }
    // Four dotted decimal numbers only: a name that merely parses as an address in some short form is a name.
    static const QRegularExpression dotted(QStringLiteral("^\\d{1,3}(\\.\\d{1,3}){3}$"));
    return dotted.match(host).hasMatch() && address.setAddress(host);
}

// An origin as compared: lower case, without a trailing "/".
QString NormalOrigin(QString origin)
{
    origin = origin.trimmed().toLower();
    while (origin.endsWith(QLatin1Char('/'))) {
        origin.chop(1);
    }
    return origin;
}

// Equal or not, in a time that does not depend on where two tokens first differ.
bool SameToken(const QByteArray& given, const QByteArray& expected)
{
    const QByteArray a = QCryptographicHash::hash(given, QCryptographicHash::Sha256);
    const QByteArray b = QCryptographicHash::hash(expected, QCryptographicHash::Sha256);
    unsigned difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned>(static_cast<unsigned char>(a[i]) ^ static_cast<unsigned char>(b[i]));
    }
    return difference == 0;
}

// {"item":"lblDDE(7)","value":"..."} without a JSON document: this runs for every change of every pass.
QByteArray ItemValueJson(std::int32_t index, const std::string& value)
{
    QByteArray text;
    text.reserve(static_cast<qsizetype>(value.size()) + 40);
    text += "{\"item\":\"lblDDE(";
    text += QByteArray::number(index);
    text += ")\",\"value\":\"";
    for (const char c : value) {
        switch (c) {
        case '"':
            text += "\\\"";
            break;
        case '\\':
            text += "\\\\";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                text += escaped;
            } else {
                text += c;
            }
        }
    }
    text += "\"}";
    return text;
}

QString HtmlEscaped(const std::string& text)
{
    return QString::fromStdString(text).toHtmlEscaped();
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

// A JSON number as the text a client would have poked: the shortest form that reads back as the same number,
// with the decimal separator the poke's number parser expects.
std::string NumberPokeText(double value, char decimalSeparator)
{
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
    std::string text(buffer, written.ptr);
    std::replace(text.begin(), text.end(), '.', decimalSeparator);
    return text;
}

// The one translation of a refusal into this server's codes: the HTTP status, which a WebSocket error carries too.
Status RefusalStatus(common::Refusal::Kind kind)
{
    using Kind = common::Refusal::Kind;
    switch (kind) {
    case Kind::UnknownItem:
        return Status::NotFound;
    case Kind::NotWritable:
        return Status::Conflict;
    case Kind::BadValue:
    case Kind::OutOfRange:
        return Status::UnprocessableEntity;
    case Kind::NotAllowed:
        return Status::Forbidden;
    case Kind::UnknownCommand:
        return Status::BadRequest;
    }
    return Status::BadRequest;
}

app::Caller LinkCaller(const QString& peer)
{
    return app::Caller {
        .surface = app::Surface::Link, .user = {}, .peer = peer.toStdString(), .role = app::Role::Operator
    };
}

QString PeerText(const QHostAddress& address, quint16 port)
{
    return QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

} // namespace

std::optional<std::int32_t> ParseItemName(const QString& name)
{
    return model::ParseLabelName(name.toStdString());
}

// A WebSocket conversation. A write, flush or close of its socket can end the connection and drop the session at
// once, so a session is deleted later, from the event loop, and code that may outlive such a call holds it by a
// guarded pointer and checks `gone` before touching it again.
struct LinkServer::Session : QObject
{
    explicit Session(QObject* parent)
        : QObject(parent)
    {
    }

    QWebSocket* socket = nullptr; ///< a child of the session
    QString peer;
    bool gone = false;
    bool closing = false; ///< closed for reading too slowly; nothing more is sent
    std::set<std::int32_t> advised;
    /// System items advised, by name in upper case.
    std::set<QString> systemAdvised;
    /// While the client is behind: the links whose newest value is still to be sent.
    std::set<std::int32_t> stale;
    qint64 unsentBefore = 0;
    qint64 lastProgressMs = 0;
    /// Positions, in the changes being sent, of the ones this session is linked to.
    std::vector<std::uint32_t> pending;
};

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
    for (Session* session : m_sessions) {
        session->socket->disconnect(this);
        session->socket->disconnect(session);
    }
}

void LinkServer::SetAccess(LinkAccess access)
{
    for (QString& origin : access.allowedOrigins) {
        origin = NormalOrigin(origin);
    }
    for (QString& host : access.allowedHosts) {
        host = host.trimmed().toLower();
    }
    m_access = std::move(access);
}

tl::expected<quint16, std::string> LinkServer::Listen(const QHostAddress& address, quint16 port)
{
    if (!address.isLoopback() && m_access.token.isEmpty()) {
        return tl::make_unexpected(
            "refusing to serve on " + address.toString().toStdString()
            + ", which other machines can reach, without an access token: set LinkTokenFile in the settings to a file "
              "that only you can read (chmod 600) holding a token of 16 or more characters, or listen on 127.0.0.1");
    }
    auto* server = new LimitedTcpServer(m_limits.maxConnections, this);
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

bool LinkServer::OriginAllowed(const QString& origin) const
{
    const quint16 port = m_tcpServer != nullptr ? m_tcpServer->serverPort() : 0;
    QStringList own { QStringLiteral("127.0.0.1"), QStringLiteral("localhost"), QStringLiteral("[::1]") };
    if (m_tcpServer != nullptr) {
        const QHostAddress listened = m_tcpServer->serverAddress();
        own.append(listened.protocol() == QAbstractSocket::IPv6Protocol
                       ? QStringLiteral("[%1]").arg(listened.toString())
                       : listened.toString());
    }
    for (const QString& host : own) {
        if (origin == QStringLiteral("http://%1:%2").arg(host.toLower()).arg(port)) {
            return true;
        }
    }
    return m_access.allowedOrigins.contains(origin);
}

std::optional<LinkServer::Refusal> LinkServer::CheckAccess(const QHttpServerRequest& request) const
{
    // A browser always names the host it asked for; a page of a rebound name does so under that name.
    const QByteArray hostHeader = request.value("host");
    if (!hostHeader.isEmpty()) {
        const QString host = HostName(hostHeader);
        if (!IsIpLiteral(host) && host != QStringLiteral("localhost") && !m_access.allowedHosts.contains(host)) {
            return Refusal { Status::MisdirectedRequest,
                             QStringLiteral("this server is not '%1'; reach it by IP address or localhost, or add the "
                                            "name to LinkAllowedHosts")
                                 .arg(host) };
        }
    }
    // Requests from web pages carry the page's origin; a page may command the server only when trusted.
    if (!request.value("origin").isEmpty()) {
        const QString origin = NormalOrigin(QString::fromLatin1(request.value("origin")));
        if (!OriginAllowed(origin)) {
            return Refusal { Status::Forbidden,
                             QStringLiteral("requests from web pages of origin '%1' are refused; add "
                                            "the origin to LinkAllowedOrigins to allow them")
                                 .arg(origin) };
        }
    }
    // The preflight of a browser carries no credentials.
    if (m_access.token.isEmpty() || request.method() == QHttpServerRequest::Method::Options) {
        return std::nullopt;
    }
    QByteArray given;
    const QByteArray authorization = request.value("authorization").trimmed();
    if (authorization.size() > 7 && authorization.left(7).compare("Bearer ", Qt::CaseInsensitive) == 0) {
        given = authorization.mid(7).trimmed();
    } else if (IsWebSocketUpgrade(request)) {
        given = QUrlQuery(request.url()).queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8();
    }
    if (given.isEmpty()) {
        return Refusal { Status::Unauthorized,
                         QStringLiteral("this server needs its access token: send the header 'Authorization: Bearer "
                                        "TOKEN' (on a WebSocket upgrade, ?token=TOKEN will do too)") };
    }
    if (!SameToken(given, m_access.token)) {
        return Refusal { Status::Unauthorized, QStringLiteral("the access token is wrong") };
    }
    return std::nullopt;
}

bool LinkServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    const auto method = request.method();
    const bool upgrade = IsWebSocketUpgrade(request);
    // The live page's files hold no data and go out without the token: the page asks for it, for the data.
    if (auto page = upgrade ? std::nullopt : FindPageFile(request.url().path(QUrl::FullyDecoded))) {
        auto responder = makeResponder(request, socket);
        if (const auto refusal = CheckAccess(request); refusal && refusal->status != Status::Unauthorized) {
            Reply(responder, method, refusal->status, refusal->reason);
        } else if (method != QHttpServerRequest::Method::Get && method != QHttpServerRequest::Method::Head) {
            Reply(responder, method, Status::MethodNotAllowed, QStringLiteral("the page is read with GET"),
                  { { "Allow", "GET, HEAD" } });
        } else {
            WriteContent(responder, method, page->body, page->mimeType, Status::Ok, PageHeaders(request.value("host")));
        }
        return true;
    }
    if (const auto refusal = CheckAccess(request)) {
        // An upgrade that this handler accepts becomes a conversation; the missing handler refuses it instead.
        if (upgrade) {
            return false;
        }
        auto responder = makeResponder(request, socket);
        Reply(responder, method, refusal->status, refusal->reason,
              refusal->status == Status::Unauthorized ? Headers { { "WWW-Authenticate", "Bearer realm=\"Tavrel\"" } }
                                                      : Headers {});
        return true;
    }
    // Allowed web pages may read the answers; the origin was checked above.
    Headers cors;
    if (const QByteArray origin = request.value("origin"); !origin.isEmpty()) {
        cors = { { "Access-Control-Allow-Origin", origin }, { "Vary", "Origin" } };
    }
    const QString path = request.url().path(QUrl::FullyDecoded);
    QStringList parts = path.split(QLatin1Char('/'));
    // "/dde/Tavrel/Items[/item]" splits into "", "dde", service, topic[, item]; a trailing "/" is forgiven.
    if (parts.size() > 3 && parts.back().isEmpty()) {
        parts.removeLast();
    }
    if (parts.size() < 2 || !parts[0].isEmpty() || parts[1] != QStringLiteral("dde")) {
        return false;
    }
    // Whatever this handler accepts of an upgrade, the server hands over to a WebSocket conversation, answered
    // or not; so one on any path but the list's goes to the missing handler, which refuses it and closes.
    if (upgrade && !(parts.size() == 4 && SameIgnoringCase(parts[2], kService) && SameIgnoringCase(parts[3], kTopic))) {
        return false;
    }

    auto responder = makeResponder(request, socket);
    if (method == QHttpServerRequest::Method::Options) {
        cors.insert(cors.end(),
                    { { "Allow", "GET, HEAD, PUT, POST, OPTIONS" },
                      { "Access-Control-Allow-Methods", "GET, HEAD, PUT, POST, OPTIONS" },
                      { "Access-Control-Allow-Headers", "Authorization, Content-Type" },
                      { "Access-Control-Max-Age", "600" } });
        WriteContent(responder, method, {}, {}, Status::NoContent, cors);
        return true;
    }
    if (parts.size() < 4 || parts.size() > 5) {
        Reply(responder, method, Status::NotFound,
              QStringLiteral("paths are /dde/Tavrel/Items and /dde/Tavrel/Items/lblDDE(n)"), cors);
        return true;
    }
    if (!SameIgnoringCase(parts[2], kService)) {
        Reply(responder, method, Status::NotFound,
              QStringLiteral("unknown service '%1'; the service is Tavrel").arg(parts[2]), cors);
        return true;
    }
    if (SameIgnoringCase(parts[3], kSystemTopic) && !upgrade) {
        ServeSystem(m_items.System(), responder, request, parts, cors);
        return true;
    }
    if (!SameIgnoringCase(parts[3], kTopic)) {
        Reply(responder, method, Status::NotFound,
              QStringLiteral("unknown topic '%1'; the topics are Items and System").arg(parts[3]), cors);
        return true;
    }

    if (parts.size() == 4) {
        if (upgrade) {
            return true; // the WebSocket conversation takes the connection over; nothing is written here
        }
        if (method == QHttpServerRequest::Method::Post) {
            if (request.body().size() > m_limits.maxBodyBytes) {
                Reply(responder, method, Status::PayloadTooLarge,
                      QStringLiteral("the command is longer than %1 bytes").arg(m_limits.maxBodyBytes), cors);
                return true;
            }
            // Every execute is acknowledged, whatever it asks; a run it starts goes on in the event loop.
            const std::string command = PokeText(request.body());
            WriteContent(responder, method, {}, {}, Status::Accepted, cors);
            socket->flush(); // the answer leaves before a run that the command starts opens its channels
            (void)m_items.Execute(LinkCaller(PeerText(socket->peerAddress(), socket->peerPort())), command);
            return true;
        }
        if (method != QHttpServerRequest::Method::Get && method != QHttpServerRequest::Method::Head) {
            cors.emplace_back("Allow", "GET, HEAD, POST, OPTIONS");
            Reply(responder, method, Status::MethodNotAllowed,
                  QStringLiteral("use GET to list the items, POST to execute a command"), cors);
            return true;
        }
        const bool json = request.value("accept").contains("application/json");
        if (json) {
            QJsonArray items;
            for (const app::ItemInfo& one : m_items.Items()) {
                items.append(QJsonObject {
                    { "item", ItemName(one.index) },
                    { "plc", QString::fromStdString(one.plc) },
                    { "operand", QString::fromUtf8(common::OperandTypeName(one.operandType).data()) },
                    { "address", one.address },
                    { "direction", QString::fromUtf8(common::IoDirectionName(one.direction).data()) },
                    { "enabled", one.enabled },
                    { "plcConnected", one.plcConnected },
                    { "plcAnswered", one.plcAnswered },
                    { "plcError", QString::fromStdString(one.plcError) },
                    { "value", QString::fromStdString(m_items.Value(one.index)) },
                });
            }
            WriteContent(responder, method,
                         JsonText(QJsonObject { { "service", "Tavrel" },
                                                { "topic", "Items" },
                                                { "running", m_items.IsRunning() },
                                                { "items", items } }),
                         "application/json", Status::Ok, cors);
            return true;
        }
        QString html
            = QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Tavrel items</title></head>"
                             "<body>\n<table border=\"1\">\n<tr><th>Item</th><th>PLC</th><th>Operand</th>"
                             "<th>Address</th><th>Direction</th><th>Value</th></tr>\n");
        for (const app::ItemInfo& one : m_items.Items()) {
            html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td></tr>\n")
                        .arg(ItemName(one.index), HtmlEscaped(one.plc),
                             QString::fromUtf8(common::OperandTypeName(one.operandType).data()).toHtmlEscaped())
                        .arg(one.address)
                        .arg(QString::fromUtf8(common::IoDirectionName(one.direction).data()),
                             HtmlEscaped(m_items.Value(one.index)));
        }
        html += QStringLiteral("</table>\n</body></html>\n");
        WriteContent(responder, method, html.toUtf8(), "text/html; charset=utf-8", Status::Ok, cors);
        return true;
    }

    const auto index = ParseItemName(parts[4]);
    if (!index) {
        Reply(
            responder, method, Status::BadRequest,
            QStringLiteral("'%1' is no item name; item names have the form lblDDE(n), n from 0 to 32767").arg(parts[4]),
            cors);
        return true;
    }
    if (!m_items.Exists(*index)) {
        Reply(responder, method, Status::NotFound, QStringLiteral("no item %1").arg(ItemName(*index)), cors);
        return true;
    }
    if (method == QHttpServerRequest::Method::Get || method == QHttpServerRequest::Method::Head) {
        WriteContent(responder, method, QByteArray::fromStdString(m_items.Value(*index)), kTextPlain, Status::Ok, cors);
        return true;
    }
    if (method == QHttpServerRequest::Method::Put) {
        if (request.body().size() > m_limits.maxBodyBytes) {
            Reply(responder, method, Status::PayloadTooLarge,
                  QStringLiteral("the value is longer than %1 bytes").arg(m_limits.maxBodyBytes), cors);
            return true;
        }
        if (const auto refusal = m_items.Poke(LinkCaller(PeerText(socket->peerAddress(), socket->peerPort())), *index,
                                              PokeText(request.body()))) {
            Reply(responder, method, RefusalStatus(refusal->kind),
                  QStringLiteral("%1: %2").arg(ItemName(*index), QString::fromStdString(refusal->reason)), cors);
            return true;
        }
        WriteContent(responder, method, {}, {}, Status::NoContent, cors);
        return true;
    }
    cors.emplace_back("Allow", "GET, HEAD, PUT, OPTIONS");
    Reply(responder, method, Status::MethodNotAllowed, QStringLiteral("use GET to read the item, PUT to poke it"),
          cors);
    return true;
}

void LinkServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    auto responder = makeResponder(request, socket);
    if (const auto refusal = CheckAccess(request)) {
        Reply(responder, request.method(), refusal->status, refusal->reason,
              refusal->status == Status::Unauthorized ? Headers { { "WWW-Authenticate", "Bearer realm=\"Tavrel\"" } }
                                                      : Headers {});
        return;
    }
    Reply(responder, request.method(), Status::NotFound,
          IsWebSocketUpgrade(request) ? QStringLiteral("WebSocket conversations open on /dde/Tavrel/Items only")
                                      : QStringLiteral("no such path; the items are under /dde/Tavrel/Items"));
}

void LinkServer::AcceptWebSockets()
{
    while (hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> socket = nextPendingWebSocketConnection();
        if (!socket) {
            continue;
        }
        if (static_cast<int>(m_sessions.size()) >= m_limits.maxConnections) {
            socket->close(QWebSocketProtocol::CloseCodeTooMuchData, QStringLiteral("too many connections"));
            socket.release()->deleteLater();
            continue;
        }
        socket->setMaxAllowedIncomingMessageSize(static_cast<quint64>(m_limits.maxMessageBytes));
        socket->setMaxAllowedIncomingFrameSize(static_cast<quint64>(m_limits.maxMessageBytes));
        auto* session = new Session(this);
        session->socket = socket.release();
        session->socket->setParent(session);
        session->peer
            = QStringLiteral("%1:%2").arg(session->socket->peerAddress().toString()).arg(session->socket->peerPort());
        // The session is the context of each connection: none can call into a deleted session.
        connect(session->socket, &QWebSocket::textMessageReceived, session,
                [this, session](const QString& message) { HandleMessage(*session, message); });
        connect(session->socket, &QWebSocket::binaryMessageReceived, session, [this, session](const QByteArray&) {
            Send(*session, QStringLiteral("{\"op\":\"error\",\"error\":\"send JSON text messages\"}"));
        });
        connect(session->socket, &QWebSocket::disconnected, session, [this, session] { DropSession(session); });
        session->lastProgressMs = NowMs();
        connect(session->socket, &QWebSocket::bytesWritten, session, [this, session](qint64) {
            session->lastProgressMs = NowMs();
            if (!session->stale.empty() && session->socket->bytesToWrite() <= m_limits.conflateBytes) {
                SendStale(*session);
            }
        });
        m_sessions.push_back(session);
        ++m_stats.opened;
    }
}

void LinkServer::DropSession(Session* session)
{
    if (session->gone) {
        return;
    }
    session->gone = true;
    for (const std::int32_t index : session->advised) {
        std::erase(m_links[static_cast<std::size_t>(index)], session);
    }
    session->advised.clear();
    std::erase(m_sessions, session);
    session->socket->disconnect(this);
    session->socket->disconnect(session);
    session->deleteLater();
    ++m_stats.dropped;
}

bool LinkServer::Send(Session& session, const QString& text)
{
    if (session.gone || session.closing) {
        return false;
    }
    session.socket->sendTextMessage(text);
    if (session.gone) {
        return false;
    }
    // Past this, even answers to its own requests would grow the process without end.
    session.unsentBefore = session.socket->bytesToWrite();
    if (session.unsentBefore > m_limits.maxUnsentBytes) {
        CloseSlow(
            session,
            QStringLiteral("the client reads too slowly: more than %1 bytes unsent").arg(m_limits.maxUnsentBytes));
        return false;
    }
    return true;
}

void LinkServer::SendStale(Session& session)
{
    QByteArray text;
    int count = 0;
    for (const std::int32_t index : std::exchange(session.stale, {})) {
        if (session.advised.count(index) == 0 || !m_items.Exists(index)) {
            continue;
        }
        text += (count++ == 0 ? "" : ",") + ItemValueJson(index, m_items.Value(index));
    }
    if (count > 0) {
        Send(session, QString::fromUtf8(count == 1 ? text : '[' + text + ']'));
    }
}

void LinkServer::CloseSlow(Session& session, const QString& reason)
{
    if (session.gone || session.closing) {
        return;
    }
    session.closing = true;
    ++m_stats.closedSlow;
    const QString peer = session.peer;
    // Nothing more is queued for it.
    for (const std::int32_t index : session.advised) {
        std::erase(m_links[static_cast<std::size_t>(index)], &session);
    }
    session.advised.clear();
    session.stale.clear();
    const QPointer<Session> guarded(&session);
    session.socket->close(QWebSocketProtocol::CloseCodePolicyViolated, reason);
    if (guarded != nullptr && !guarded->gone) {
        QTimer::singleShot(kCloseGraceMs, guarded.data(), [guarded] {
            if (guarded != nullptr && !guarded->gone) {
                guarded->socket->abort();
            }
        });
    }
    emit clientNotice(QStringLiteral("link client %1 closed (1008): %2").arg(peer, reason));
}

void LinkServer::SayGoodbye()
{
    const std::vector<QPointer<Session>> sessions(m_sessions.begin(), m_sessions.end());
    for (const QPointer<Session>& session : sessions) {
        if (session == nullptr || session->gone || session->closing) {
            continue;
        }
        session->closing = true;
        session->socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("Tavrel is stopping"));
        if (session != nullptr && !session->gone) {
            session->socket->flush();
        }
    }
}

void LinkServer::WatchSlowClients()
{
    const qint64 now = NowMs();
    const std::vector<QPointer<Session>> sessions(m_sessions.begin(), m_sessions.end());
    for (const QPointer<Session>& guarded : sessions) {
        Session* session = guarded.data();
        if (session == nullptr || session->gone || session->closing) {
            continue;
        }
        const qint64 unsent = session->socket->bytesToWrite();
        if (unsent == 0 || unsent < session->unsentBefore) {
            session->lastProgressMs = now;
        }
        session->unsentBefore = unsent;
        if (unsent > 0 && now - session->lastProgressMs > m_limits.stallMs) {
            CloseSlow(*session, QStringLiteral("the client has taken nothing for %1 s").arg(m_limits.stallMs / 1000.0));
        } else if (!session->stale.empty() && unsent <= m_limits.conflateBytes) {
            SendStale(*session);
        }
    }
}

void LinkServer::HandleMessage(Session& session, const QString& message)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8(), &parseError);
    const auto fail = [&](const QString& op, const QString& error, int status) {
        QJsonObject reply { { "op", op.isEmpty() ? QStringLiteral("error") : op },
                            { "ok", false },
                            { "error", error },
                            { "status", status } };
        // The item the refused message named, so that a client with several messages on their way knows which.
        if (const QJsonValue item = document.object().value("item"); item.isString()) {
            reply.insert("item", item);
        }
        Send(session, QString::fromUtf8(JsonText(reply)));
    };
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        fail({}, QStringLiteral("a message is one JSON object, like {\"op\":\"advise\",\"item\":\"lblDDE(7)\"}"), 400);
        return;
    }
    const QJsonObject object = document.object();
    const QString op = object.value("op").toString();
    if (op == QStringLiteral("execute")) {
        if (!object.value("command").isString()) {
            fail(op, QStringLiteral("execute needs a \"command\" text"), 400);
            return;
        }
        Send(session, QString::fromUtf8(JsonText({ { "op", op }, { "ok", true } })));
        (void)m_items.Execute(LinkCaller(session.peer), object.value("command").toString().toStdString());
        return;
    }
    if (op != QStringLiteral("advise") && op != QStringLiteral("unadvise") && op != QStringLiteral("request")
        && op != QStringLiteral("poke")) {
        fail(op, QStringLiteral("unknown op '%1'; use advise, unadvise, request, poke or execute").arg(op), 400);
        return;
    }
    if (object.contains("topic")) {
        const QString topic = object.value("topic").toString();
        if (SameIgnoringCase(topic, kSystemTopic)) {
            HandleSystemMessage(session, op, object);
            return;
        }
        if (!SameIgnoringCase(topic, kTopic)) {
            fail(op, QStringLiteral("unknown topic '%1'; the topics are Items and System").arg(topic), 404);
            return;
        }
    }
    const QString item = object.value("item").toString();
    const auto index = ParseItemName(item);
    if (!index) {
        fail(op, QStringLiteral("'%1' is no item name; item names have the form lblDDE(n)").arg(item), 400);
        return;
    }
    if (op == QStringLiteral("unadvise")) {
        Unadvise(session, *index);
        Send(session, QString::fromUtf8(JsonText({ { "op", op }, { "item", item }, { "ok", true } })));
        return;
    }
    if (!m_items.Exists(*index)) {
        fail(op, QStringLiteral("no item %1").arg(ItemName(*index)), 404);
        return;
    }
    if (op == QStringLiteral("advise")) {
        if (session.advised.size() >= m_limits.maxLinksPerConnection && !session.advised.count(*index)) {
            fail(op, QStringLiteral("at most %1 links per connection").arg(m_limits.maxLinksPerConnection), 429);
            return;
        }
        Advise(session, *index, item);
        return;
    }
    if (op == QStringLiteral("request")) {
        Send(session,
             QString::fromUtf8(JsonText({ { "op", op },
                                          { "item", ItemName(*index) },
                                          { "value", QString::fromStdString(m_items.Value(*index)) } })));
        return;
    }
    // poke
    const QJsonValue value = object.value("value");
    if (!value.isString() && !value.isDouble()) {
        fail(op, QStringLiteral("poke needs a \"value\" text"), 400);
        return;
    }
    const std::string text = value.isString() ? value.toString().toStdString()
                                              : NumberPokeText(value.toDouble(), m_items.DecimalSeparator());
    if (static_cast<qint64>(text.size()) > m_limits.maxBodyBytes) {
        fail(op, QStringLiteral("the value is longer than %1 bytes").arg(m_limits.maxBodyBytes), 413);
        return;
    }
    if (const auto refusal = m_items.Poke(LinkCaller(session.peer), *index, text)) {
        fail(op, QStringLiteral("%1: %2").arg(ItemName(*index), QString::fromStdString(refusal->reason)),
             static_cast<int>(RefusalStatus(refusal->kind)));
        return;
    }
    Send(session, QString::fromUtf8(JsonText({ { "op", op }, { "item", ItemName(*index) }, { "ok", true } })));
}

void LinkServer::HandleSystemMessage(Session& session, const QString& op, const QJsonObject& message)
{
    const QString name = message.value("item").toString();
    const auto send = [&](const QJsonObject& reply) { Send(session, QString::fromUtf8(JsonText(reply))); };
    if (op == QStringLiteral("unadvise")) {
        session.systemAdvised.erase(name.toUpper());
        send({ { "op", op }, { "topic", "System" }, { "item", name }, { "ok", true } });
        return;
    }
    const auto item = m_items.System().Find(name);
    if (!item) {
        send({ { "op", op },
               { "topic", "System" },
               { "ok", false },
               { "error", QStringLiteral("no System item '%1'").arg(name) },
               { "status", 404 } });
        return;
    }
    if (op == QStringLiteral("poke")) {
        send({ { "op", op },
               { "topic", "System" },
               { "ok", false },
               { "error", QStringLiteral("System items are read-only") },
               { "status", 409 } });
        return;
    }
    if (op == QStringLiteral("advise")) {
        // Only names that exist are kept, so a client cannot grow this set beyond the System items.
        session.systemAdvised.insert(item->first.toUpper());
        send({ { "topic", "System" }, { "item", item->first }, { "value", item->second } });
        return;
    }
    send({ { "op", op }, { "topic", "System" }, { "item", item->first }, { "value", item->second } });
}

void LinkServer::SystemItemChanged(const QString& name, const QString& value)
{
    const QString key = name.toUpper();
    QString text;
    // A copy: a send may close a slow session, which changes the list.
    const std::vector<Session*> sessions = m_sessions;
    for (Session* session : sessions) {
        if (session->gone || session->closing || session->systemAdvised.count(key) == 0) {
            continue;
        }
        if (text.isEmpty()) {
            text = QString::fromUtf8(JsonText({ { "topic", "System" }, { "item", name }, { "value", value } }));
        }
        Send(*session, text);
    }
}

void LinkServer::SystemItemRemoved(const QString& name)
{
    // Its advises end as a removed label's do: a client shows the value as gone, not as current.
    const QString text = QString::fromUtf8(
        JsonText({ { "op", "ended" },
                   { "topic", "System" },
                   { "item", name },
                   { "reason", QStringLiteral("%1 is no more: its PLC left the project or was renamed").arg(name) } }));
    const std::vector<Session*> sessions = m_sessions;
    for (Session* session : sessions) {
        if (!session->gone && !session->closing && session->systemAdvised.erase(name.toUpper()) != 0) {
            Send(*session, text);
        }
    }
}

void LinkServer::Advise(Session& session, std::int32_t index, const QString&)
{
    if (session.advised.insert(index).second) {
        const auto position = static_cast<std::size_t>(index);
        if (m_links.size() <= position) {
            m_links.resize(position + 1);
        }
        m_links[position].push_back(&session);
    }
    Send(session,
         QString::fromUtf8(
             JsonText({ { "item", ItemName(index) }, { "value", QString::fromStdString(m_items.Value(index)) } })));
}

void LinkServer::Unadvise(Session& session, std::int32_t index)
{
    if (session.advised.erase(index) != 0) {
        std::erase(m_links[static_cast<std::size_t>(index)], &session);
    }
}

void LinkServer::ItemRemoved(std::int32_t index)
{
    const auto position = static_cast<std::size_t>(index);
    if (position >= m_links.size() || m_links[position].empty()) {
        return;
    }
    const QString text
        = QString::fromUtf8(JsonText({ { "op", "ended" },
                                       { "item", ItemName(index) },
                                       { "reason", QStringLiteral("%1 was removed").arg(ItemName(index)) } }));
    std::vector<QPointer<Session>> ended;
    for (Session* session : std::exchange(m_links[position], {})) {
        session->advised.erase(index);
        session->stale.erase(index);
        ended.emplace_back(session);
    }
    for (const QPointer<Session>& session : ended) {
        if (session != nullptr) {
            Send(*session, text);
        }
    }
}

void LinkServer::SendChanges(const std::vector<app::ItemChange>& changes)
{
    // One JSON text per changed label, then one message per session: the object itself for a single
    // change, an array of them for several. Sessions linked to the same changed labels (the common case
    // of many clients watching one set) share one message text.
    std::vector<QByteArray> fragments(changes.size());
    std::vector<QPointer<Session>> touched;
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const std::int32_t index = changes[i].index;
        const auto position = static_cast<std::size_t>(index);
        if (position >= m_links.size() || m_links[position].empty()) {
            continue;
        }
        fragments[i] = ItemValueJson(index, changes[i].value);
        for (Session* session : m_links[position]) {
            if (session->pending.empty()) {
                touched.emplace_back(session);
            }
            session->pending.push_back(static_cast<std::uint32_t>(i));
        }
    }

    // Sending can drop any session of the list, so each is held by a guarded pointer and checked before use.
    std::vector<std::uint32_t> previous;
    QString message;
    QStringList notices;
    for (const QPointer<Session>& guarded : touched) {
        Session* session = guarded.data();
        if (session == nullptr || session->gone) {
            continue;
        }
        std::vector<std::uint32_t> pending = std::exchange(session->pending, {});
        // A client with much unsent gets, for each of its links, only the newest value once it has caught up.
        if (!session->stale.empty() || session->socket->bytesToWrite() > m_limits.conflateBytes) {
            if (session->stale.empty()) {
                ++m_stats.conflated;
                notices.append(QStringLiteral("link client %1 is behind by %2 bytes; it gets only the newest values")
                                   .arg(session->peer)
                                   .arg(session->socket->bytesToWrite()));
            }
            for (const std::uint32_t i : pending) {
                session->stale.insert(changes[i].index);
            }
            if (session->socket->bytesToWrite() <= m_limits.conflateBytes) {
                SendStale(*session);
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
        // Hand the message to the network now: a pass that starts next may keep the event loop busy a while.
        if (Send(*session, message)) {
            session->socket->flush();
        }
    }
    for (const QString& notice : notices) {
        emit clientNotice(notice);
    }
}

} // namespace tavrel::link
