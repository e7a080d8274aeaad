#include "link/LinkServer.h"

#include "common/OperandCatalogue.h"
#include "link/FormulaTexts.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>
#include <sys/socket.h>

namespace tavrel::link {

namespace {

using Status = QHttpServerResponder::StatusCode;

constexpr std::string_view kService = "Tavrel";
const QByteArray kTextPlain = "text/plain; charset=utf-8";

/// A TCP server that refuses connections beyond a limit instead of letting them pile up.
class LimitedTcpServer : public QTcpServer
{
public:
    LimitedTcpServer(int limit, QObject* parent) : QTcpServer(parent), m_limit(limit) {}

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

QString ItemName(std::int32_t index) { return QStringLiteral("lblDDE(%1)").arg(index); }

QByteArray JsonText(const QJsonObject& object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); }

// An answer with a body; to a HEAD request the same headers without the body, since a client reads the bytes
// after a HEAD answer as the next answer.
void WriteContent(QHttpServerResponder& responder, QHttpServerRequest::Method method, const QByteArray& body,
                  const QByteArray& mimeType, Status status = Status::Ok)
{
    if (method != QHttpServerRequest::Method::Head) {
        responder.write(body, mimeType, status);
        return;
    }
    responder.writeStatusLine(status);
    responder.writeHeader("Content-Type", mimeType);
    responder.writeHeader("Content-Length", QByteArray::number(body.size()));
    responder.writeBody(QByteArray());
}

void Reply(QHttpServerResponder& responder, QHttpServerRequest::Method method, Status status, const QString& text)
{
    WriteContent(responder, method, text.toUtf8() + (text.isEmpty() || status == Status::Ok ? "" : "\n"), kTextPlain,
                 status);
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

QString HtmlEscaped(const std::string& text) { return QString::fromStdString(text).toHtmlEscaped(); }

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

Status RefusalStatus(app::PokeRefusal::Kind kind)
{
    switch (kind) {
    case app::PokeRefusal::Kind::UnknownItem:
        return Status::NotFound;
    case app::PokeRefusal::Kind::Conflict:
        return Status::Conflict;
    case app::PokeRefusal::Kind::BadValue:
        return Status::UnprocessableEntity;
    }
    return Status::BadRequest;
}

} // namespace

std::optional<std::int32_t> ParseItemName(const QString& name)
{
    static const QString prefix = QStringLiteral("lblDDE(");
    if (!name.startsWith(prefix, Qt::CaseInsensitive) || !name.endsWith(QLatin1Char(')'))) {
        return std::nullopt;
    }
    const QStringView digits = QStringView(name).mid(prefix.size(), name.size() - prefix.size() - 1);
    if (digits.isEmpty() || digits.size() > 5 || (digits.size() > 1 && digits.front() == QLatin1Char('0'))) {
        return std::nullopt;
    }
    std::int32_t index = 0;
    for (const QChar c : digits) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return std::nullopt;
        }
        index = index * 10 + (c.unicode() - '0');
    }
    if (index > model::LabelArray::kMaxIndex) {
        return std::nullopt;
    }
    return index;
}

struct LinkServer::Session
{
    std::unique_ptr<QWebSocket> socket;
    std::set<std::int32_t> advised;
    /// Positions, in the changes being sent, of the ones this session is linked to.
    std::vector<std::uint32_t> pending;
};

LinkServer::LinkServer(app::Program& program, LinkLimits limits, QObject* parent)
    : QAbstractHttpServer(parent)
    , m_program(program)
    , m_limits(limits)
{
    m_program.Labels().AddObserver(this);
    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, &LinkServer::FlushChanges);
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &LinkServer::AcceptWebSockets);
    // The changes of a pass leave at its end, before the next pass can hold up the event loop.
    connect(&m_program, &app::Program::passFinished, this, &LinkServer::FlushChanges);
}

LinkServer::~LinkServer()
{
    m_program.Labels().RemoveObserver(this);
    for (auto& session : m_sessions) {
        session->socket->disconnect(this);
    }
}

tl::expected<quint16, std::string> LinkServer::Listen(const QHostAddress& address, quint16 port)
{
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

bool LinkServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    const QString path = request.url().path(QUrl::FullyDecoded);
    QStringList parts = path.split(QLatin1Char('/'));
    // "/dde/Tavrel/Items[/item]" splits into "", "dde", service, topic[, item]; a trailing "/" is forgiven.
    if (parts.size() > 3 && parts.back().isEmpty()) {
        parts.removeLast();
    }
    if (parts.size() < 2 || !parts[0].isEmpty() || parts[1] != QStringLiteral("dde")) {
        return false;
    }
    const bool upgrade = IsWebSocketUpgrade(request);
    // Whatever this handler accepts of an upgrade, the server hands over to a WebSocket conversation, answered
    // or not; so one on any path but the list's goes to the missing handler, which refuses it and closes.
    if (upgrade && !(parts.size() == 4 && SameIgnoringCase(parts[2], kService) && SameIgnoringCase(parts[3], kTopic))) {
        return false;
    }

    const auto method = request.method();
    auto responder = makeResponder(request, socket);
    if (parts.size() < 4 || parts.size() > 5) {
        Reply(responder, method, Status::NotFound, QStringLiteral("paths are /dde/Tavrel/Items and /dde/Tavrel/Items/lblDDE(n)"));
        return true;
    }
    if (!SameIgnoringCase(parts[2], kService)) {
        Reply(responder, method, Status::NotFound, QStringLiteral("unknown service '%1'; the service is Tavrel").arg(parts[2]));
        return true;
    }
    if (!SameIgnoringCase(parts[3], kTopic)) {
        Reply(responder, method, Status::NotFound, QStringLiteral("unknown topic '%1'; the topic is Items").arg(parts[3]));
        return true;
    }

    if (parts.size() == 4) {
        if (upgrade) {
            return true; // the WebSocket conversation takes the connection over; nothing is written here
        }
        if (method == QHttpServerRequest::Method::Post) {
            if (request.body().size() > m_limits.maxBodyBytes) {
                Reply(responder, method, Status::PayloadTooLarge, QStringLiteral("the command is longer than %1 bytes").arg(m_limits.maxBodyBytes));
                return true;
            }
            // Every execute is acknowledged, whatever it asks; a run it starts goes on in the event loop.
            const std::string command = PokeText(request.body());
            responder.write(Status::Accepted);
            socket->flush(); // the answer leaves before a run that the command starts opens its channels
            m_program.Execute(command);
            return true;
        }
        if (method != QHttpServerRequest::Method::Get && method != QHttpServerRequest::Method::Head) {
            responder.write(QByteArray("use GET to list the items, POST to execute a command\n"),
                            {{"Content-Type", kTextPlain}, {"Allow", "GET, HEAD, POST"}}, Status::MethodNotAllowed);
            return true;
        }
        const bool json = request.value("accept").contains("application/json");
        if (json) {
            QJsonArray items;
            for (const auto& plc : m_program.Project().colPlcs()) {
                for (const auto& item : plc->colItems()) {
                    const auto add = [&](const model::Clsitem& one) {
                        items.append(QJsonObject{
                            {"item", ItemName(one.Label.Index())},
                            {"plc", QString::fromStdString(plc->Name)},
                            {"operand", QString::fromUtf8(common::OperandTypeName(one.OperandType).data())},
                            {"address", one.OperandAddress},
                            {"direction", QString::fromUtf8(common::IoDirectionName(one.IoDirection).data())},
                            {"enabled", one.IsEnable},
                            {"value", QString::fromStdString(one.Label.Text())},
                        });
                    };
                    if (item->IsArray) {
                        std::for_each(item->colItems().begin(), item->colItems().end(), add);
                    } else {
                        add(*item);
                    }
                }
            }
            WriteContent(responder, method,
                         JsonText(QJsonObject{{"service", "Tavrel"}, {"topic", "Items"},
                                              {"running", m_program.IsRunning()}, {"items", items}}),
                         "application/json");
            return true;
        }
        QString html = QStringLiteral("<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Tavrel items</title></head>"
                                      "<body>\n<table border=\"1\">\n<tr><th>Item</th><th>PLC</th><th>Operand</th>"
                                      "<th>Address</th><th>Direction</th><th>Value</th></tr>\n");
        for (const auto& plc : m_program.Project().colPlcs()) {
            for (const auto& item : plc->colItems()) {
                const auto row = [&](const model::Clsitem& one) {
                    html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td><td>%5</td><td>%6</td></tr>\n")
                                .arg(ItemName(one.Label.Index()), HtmlEscaped(plc->Name),
                                     QString::fromUtf8(common::OperandTypeName(one.OperandType).data()).toHtmlEscaped())
                                .arg(one.OperandAddress)
                                .arg(QString::fromUtf8(common::IoDirectionName(one.IoDirection).data()),
                                     HtmlEscaped(one.Label.Text()));
                };
                if (item->IsArray) {
                    std::for_each(item->colItems().begin(), item->colItems().end(), row);
                } else {
                    row(*item);
                }
            }
        }
        html += QStringLiteral("</table>\n</body></html>\n");
        WriteContent(responder, method, html.toUtf8(), "text/html; charset=utf-8");
        return true;
    }

    const auto index = ParseItemName(parts[4]);
    if (!index) {
        Reply(responder, method, Status::BadRequest,
              QStringLiteral("'%1' is no item name; item names have the form lblDDE(n), n from 0 to 32767").arg(parts[4]));
        return true;
    }
    if (!m_program.Labels().IsLoaded(*index)) {
        Reply(responder, method, Status::NotFound, QStringLiteral("no item %1").arg(ItemName(*index)));
        return true;
    }
    if (method == QHttpServerRequest::Method::Get || method == QHttpServerRequest::Method::Head) {
        WriteContent(responder, method, QByteArray::fromStdString(m_program.Labels().Text(*index)), kTextPlain);
        return true;
    }
    if (method == QHttpServerRequest::Method::Put) {
        if (request.body().size() > m_limits.maxBodyBytes) {
            Reply(responder, method, Status::PayloadTooLarge, QStringLiteral("the value is longer than %1 bytes").arg(m_limits.maxBodyBytes));
            return true;
        }
        if (const auto refusal = m_program.Poke(*index, PokeText(request.body()))) {
            Reply(responder, method, RefusalStatus(refusal->kind),
                  QStringLiteral("%1: %2").arg(ItemName(*index), QString::fromStdString(refusal->reason)));
            return true;
        }
        responder.write(Status::NoContent);
        return true;
    }
    responder.write(QByteArray("use GET to read the item, PUT to poke it\n"),
                    {{"Content-Type", kTextPlain}, {"Allow", "GET, HEAD, PUT"}}, Status::MethodNotAllowed);
    return true;
}

void LinkServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    auto responder = makeResponder(request, socket);
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
        auto session = std::make_unique<Session>();
        session->socket = std::move(socket);
        Session* raw = session.get();
        connect(raw->socket.get(), &QWebSocket::textMessageReceived, this,
                [this, raw](const QString& message) { HandleMessage(*raw, message); });
        connect(raw->socket.get(), &QWebSocket::binaryMessageReceived, this, [raw](const QByteArray&) {
            raw->socket->sendTextMessage(QStringLiteral("{\"op\":\"error\",\"error\":\"send JSON text messages\"}"));
        });
        connect(raw->socket.get(), &QWebSocket::disconnected, this, [this, raw] { DropSession(raw); });
        m_sessions.push_back(std::move(session));
    }
}

void LinkServer::DropSession(Session* session)
{
    for (const std::int32_t index : session->advised) {
        std::erase(m_links[static_cast<std::size_t>(index)], session);
    }
    const auto it = std::find_if(m_sessions.begin(), m_sessions.end(), [session](const auto& s) { return s.get() == session; });
    if (it != m_sessions.end()) {
        (*it)->socket->disconnect(this);
        (*it)->socket.release()->deleteLater();
        m_sessions.erase(it);
    }
}

void LinkServer::HandleMessage(Session& session, const QString& message)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8(), &parseError);
    const auto fail = [&](const QString& op, const QString& error, int status) {
        QJsonObject reply{{"op", op.isEmpty() ? QStringLiteral("error") : op}, {"ok", false}, {"error", error}, {"status", status}};
        session.socket->sendTextMessage(QString::fromUtf8(JsonText(reply)));
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
        session.socket->sendTextMessage(QString::fromUtf8(JsonText({{"op", op}, {"ok", true}})));
        m_program.Execute(object.value("command").toString().toStdString());
        return;
    }
    if (op != QStringLiteral("advise") && op != QStringLiteral("unadvise") && op != QStringLiteral("request")
        && op != QStringLiteral("poke")) {
        fail(op, QStringLiteral("unknown op '%1'; use advise, unadvise, request, poke or execute").arg(op), 400);
        return;
    }
    const QString item = object.value("item").toString();
    const auto index = ParseItemName(item);
    if (!index) {
        fail(op, QStringLiteral("'%1' is no item name; item names have the form lblDDE(n)").arg(item), 400);
        return;
    }
    if (op == QStringLiteral("unadvise")) {
        Unadvise(session, *index);
        session.socket->sendTextMessage(QString::fromUtf8(JsonText({{"op", op}, {"item", item}, {"ok", true}})));
        return;
    }
    if (!m_program.Labels().IsLoaded(*index)) {
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
        session.socket->sendTextMessage(QString::fromUtf8(JsonText(
            {{"op", op}, {"item", ItemName(*index)}, {"value", QString::fromStdString(m_program.Labels().Text(*index))}})));
        return;
    }
    // poke
    const QJsonValue value = object.value("value");
    if (!value.isString() && !value.isDouble()) {
        fail(op, QStringLiteral("poke needs a \"value\" text"), 400);
        return;
    }
    const std::string text = value.isString() ? value.toString().toStdString()
                                              : QString::number(value.toDouble(), 'g', 17).toStdString();
    if (static_cast<qint64>(text.size()) > m_limits.maxBodyBytes) {
        fail(op, QStringLiteral("the value is longer than %1 bytes").arg(m_limits.maxBodyBytes), 413);
        return;
    }
    if (const auto refusal = m_program.Poke(*index, text)) {
        fail(op, QStringLiteral("%1: %2").arg(ItemName(*index), QString::fromStdString(refusal->reason)),
             static_cast<int>(RefusalStatus(refusal->kind) == Status::NotFound ? 404
                              : RefusalStatus(refusal->kind) == Status::Conflict ? 409 : 422));
        return;
    }
    session.socket->sendTextMessage(QString::fromUtf8(JsonText({{"op", op}, {"item", ItemName(*index)}, {"ok", true}})));
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
    session.socket->sendTextMessage(QString::fromUtf8(
        JsonText({{"item", ItemName(index)}, {"value", QString::fromStdString(m_program.Labels().Text(index))}})));
}

void LinkServer::Unadvise(Session& session, std::int32_t index)
{
    if (session.advised.erase(index) != 0) {
        std::erase(m_links[static_cast<std::size_t>(index)], &session);
    }
}

void LinkServer::LabelTextChanged(std::int32_t index, const std::string&)
{
    const auto position = static_cast<std::size_t>(index);
    if (position >= m_links.size() || m_links[position].empty()) {
        return;
    }
    if (m_isChanged.size() <= position) {
        m_isChanged.resize(position + 1, false);
    }
    if (!m_isChanged[position]) {
        m_isChanged[position] = true;
        m_changed.push_back(index);
    }
    // Changes are sent together once control returns to the event loop, at the end of the pass.
    if (!m_flushTimer.isActive()) {
        m_flushTimer.start(0);
    }
}

void LinkServer::LabelUnloaded(std::int32_t index)
{
    const auto position = static_cast<std::size_t>(index);
    if (position >= m_links.size() || m_links[position].empty()) {
        return;
    }
    const QString text = QString::fromUtf8(JsonText({{"op", "ended"}, {"item", ItemName(index)},
                                                     {"reason", QStringLiteral("%1 was removed").arg(ItemName(index))}}));
    const std::vector<Session*> ended = std::exchange(m_links[position], {});
    for (Session* session : ended) {
        session->advised.erase(index);
        session->socket->sendTextMessage(text);
    }
}

void LinkServer::FlushChanges()
{
    // One JSON text per changed label, then one message per session: the object itself for a single
    // change, an array of them for several. Sessions linked to the same changed labels (the common case
    // of many clients watching one set) share one message text.
    m_flushTimer.stop();
    if (m_changed.empty()) {
        return;
    }
    std::vector<QByteArray> fragments(m_changed.size());
    std::vector<Session*> touched;
    for (std::size_t i = 0; i < m_changed.size(); ++i) {
        const std::int32_t index = m_changed[i];
        m_isChanged[static_cast<std::size_t>(index)] = false;
        const auto position = static_cast<std::size_t>(index);
        if (position >= m_links.size() || m_links[position].empty() || !m_program.Labels().IsLoaded(index)) {
            continue;
        }
        fragments[i] = ItemValueJson(index, m_program.Labels().Text(index));
        for (Session* session : m_links[position]) {
            if (session->pending.empty()) {
                touched.push_back(session);
            }
            session->pending.push_back(static_cast<std::uint32_t>(i));
        }
    }
    m_changed.clear();

    Session* previous = nullptr;
    QString message;
    for (Session* session : touched) {
        if (previous == nullptr || previous->pending != session->pending) {
            QByteArray text;
            if (session->pending.size() == 1) {
                text = fragments[session->pending.front()];
            } else {
                text += '[';
                for (std::size_t i = 0; i < session->pending.size(); ++i) {
                    if (i) {
                        text += ',';
                    }
                    text += fragments[session->pending[i]];
                }
                text += ']';
            }
            message = QString::fromUtf8(text);
        }
        session->socket->sendTextMessage(message);
        // Hand the message to the network now: a pass that starts next may keep the event loop busy a while.
        session->socket->flush();
        if (previous != nullptr) {
            previous->pending.clear();
        }
        previous = session;
    }
    if (previous != nullptr) {
        previous->pending.clear();
    }
}

} // namespace tavrel::link
