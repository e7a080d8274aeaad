// Requests, item names, execute commands and WebSocket messages as any client may send them, to a link server on
// 127.0.0.1 that serves a small project on a scripted driver: the very handlers that serve clients, reached
// through real sockets. Every request gets an answer, every refusal says why, and nothing hangs.
//
// An input is lines, each one step:
//   G path       GET /dde/path             H path   HEAD /dde/path
//   J path       GET /dde/path asking for JSON
//   P path body  PUT /dde/path             X path body   POST /dde/path
//   D path       DELETE /dde/path          U path   a WebSocket upgrade asked for on /dde/path
//   W text       a WebSocket text message  B text   a WebSocket binary message
//   S n text     label n takes the text, as a read from the PLC gives it
//   R            a few turns of the event loop, so that a run goes on
// A path that starts with "/" is taken as it is instead of under /dde/.

#include "FuzzSupport.h"

#include "app/Program.h"
#include "common/OperandCatalogue.h"
#include "link/LinkServer.h"
#include "support/ScriptedDriver.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using namespace tavrel;
using tavrel::fuzz::Require;

namespace {

namespace op = common::operand;
namespace dir = common::direction;

constexpr int kAnswerMilliseconds = 5000;

struct HttpAnswer
{
    int status = 0;
    qsizetype length = 0; ///< as the header says; a HEAD answer has the length of the body it leaves out
    QByteArray body;
};

// Every byte but letters, digits and "-._~/()" percent-encoded, so any bytes make a valid request line.
QByteArray Target(std::string_view path)
{
    const QByteArray raw(path.data(), static_cast<qsizetype>(path.size()));
    const QByteArray encoded = raw.toPercentEncoding("/()");
    return path.starts_with('/') ? encoded : "/dde/" + encoded;
}

std::pair<std::string_view, std::string_view> SplitAtBlank(std::string_view text)
{
    const std::size_t blank = text.find(' ');
    if (blank == std::string_view::npos) {
        return {text, {}};
    }
    return {text.substr(0, blank), text.substr(blank + 1)};
}

QByteArray Bytes(std::string_view text) { return {text.data(), static_cast<qsizetype>(text.size())}; }

// Processes events until `done` or the time for an answer is over; false then.
bool WaitFor(const std::function<bool()>& done)
{
    QDeadlineTimer deadline(kAnswerMilliseconds);
    QEventLoop loop;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [] {});
    tick.start(10);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        loop.processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

class Harness
{
public:
    Harness()
        : m_program(common::Settings(tavrel::fuzz::ScratchFolder() / "tavrel.ini", "tavrel"), m_script.Factory(),
                    tavrel::fuzz::ScratchFolder() / "no-template.tvb")
    {
        // Pump: 1 MI Read/Write, 2 MI Read, 3..5 MB Write vector, 6 MI disabled, 7 ML, 8 MF, 9 T (Preset),
        // 10 DW, 11 C (Current); Line_1: 12 I.
        auto& pump = AddPlc("Pump");
        AddItem(pump, op::MI, dir::ReadWrite);
        AddItem(pump, op::MI, dir::Read);
        AddItem(pump, op::MB, dir::Write, 3);
        AddItem(pump, op::MI, dir::ReadWrite, 1, false);
        AddItem(pump, op::ML, dir::ReadWrite);
        AddItem(pump, op::MF, dir::ReadWrite);
        AddItem(pump, op::TPreset, dir::ReadWrite);
        AddItem(pump, op::DW, dir::Write);
        AddItem(pump, op::CCurrent, dir::Read);
        AddItem(AddPlc("Line_1"), op::I, dir::ReadWrite);

        m_server = std::make_unique<link::LinkServer>(m_program.Service());
        const auto port = m_server->Listen(QHostAddress::LocalHost, 0);
        Require(port.has_value(), "the link server listens on 127.0.0.1", port ? "" : port.error());
        m_port = *port;
        QObject::connect(&m_socket, &QWebSocket::textMessageReceived, [this](const QString& m) { m_messages.append(m); });
    }

    void Run(std::string_view input)
    {
        while (!input.empty()) {
            const std::size_t end = input.find('\n');
            const std::string_view line = input.substr(0, end);
            input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
            if (!line.empty()) {
                // The blank after the step's letter is optional.
                const std::string_view rest = line.substr(line.size() > 1 && line[1] == ' ' ? 2 : 1);
                Step(line.front(), rest);
            }
        }
        Reset();
    }

private:
    model::clsPlc& AddPlc(const std::string& name)
    {
        auto plc = m_program.Project().NewPlc();
        plc->Name = name;
        return m_program.Project().AddPLC(std::move(plc));
    }

    void AddItem(model::clsPlc& plc, std::int32_t type, std::int32_t direction, std::int32_t length = 1,
                 bool enabled = true)
    {
        std::int32_t label = -1;
        Require(plc.AddItems(length, 0, type, direction, enabled, label).has_value(), "the project can be built");
    }

    void Step(char kind, std::string_view rest)
    {
        const auto [path, body] = SplitAtBlank(rest);
        switch (kind) {
        case 'G':
            CheckAnswer(Http("GET", rest, {}, {}));
            break;
        case 'H':
            CheckAnswer(Http("HEAD", rest, {}, {}));
            break;
        case 'J':
            CheckAnswer(Http("GET", rest, {}, "Accept: application/json\r\n"));
            break;
        case 'P':
            CheckAnswer(Http("PUT", path, Bytes(body), {}));
            break;
        case 'X':
            CheckAnswer(Http("POST", path, Bytes(body), {}));
            break;
        case 'D':
            CheckAnswer(Http("DELETE", rest, {}, {}));
            break;
        case 'U':
            Upgrade(rest);
            break;
        case 'W':
            Message(Bytes(rest), false);
            break;
        case 'B':
            Message(Bytes(rest), true);
            break;
        case 'S':
            SetLabel(path, body);
            break;
        case 'R':
            for (int turn = 0; turn < 5; ++turn) {
                QCoreApplication::processEvents();
            }
            break;
        default:
            break;
        }
    }

    // One request on the kept connection, and its answer.
    HttpAnswer Http(const QByteArray& method, std::string_view path, const QByteArray& body, const QByteArray& headers)
    {
        if (m_http.state() != QAbstractSocket::ConnectedState) {
            m_http.abort();
            m_buffer.clear();
            m_http.connectToHost(QHostAddress::LocalHost, m_port);
            Require(WaitFor([this] { return m_http.state() == QAbstractSocket::ConnectedState; }),
                    "the link server takes a connection");
        }
        m_http.write(method + " " + Target(path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers
                     + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
        std::optional<HttpAnswer> answer;
        const bool answered = WaitFor([&] {
            m_buffer += m_http.readAll();
            answer = TakeAnswer(method == "HEAD");
            return answer.has_value() || m_http.state() != QAbstractSocket::ConnectedState;
        });
        Require(answered && answer.has_value(), "every request gets an answer", (method + " " + Target(path)).toStdString());
        return *answer;
    }

    // A whole answer from the front of the buffer, if one is there.
    std::optional<HttpAnswer> TakeAnswer(bool headOnly)
    {
        const qsizetype headerEnd = m_buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0) {
            return std::nullopt;
        }
        const QByteArray header = m_buffer.left(headerEnd);
        Require(header.startsWith("HTTP/1.1 "), "an answer starts with a status line", header.left(80).toStdString());
        HttpAnswer answer;
        answer.status = header.mid(9, 3).toInt();
        qsizetype length = 0;
        for (const QByteArray& line : header.split('\n')) {
            if (line.toLower().startsWith("content-length:")) {
                length = line.mid(15).trimmed().toLongLong();
            }
        }
        answer.length = length;
        if (headOnly) {
            length = 0;
        }
        if (m_buffer.size() < headerEnd + 4 + length) {
            return std::nullopt;
        }
        answer.body = m_buffer.mid(headerEnd + 4, length);
        m_buffer.remove(0, headerEnd + 4 + length);
        return answer;
    }

    static void CheckAnswer(const HttpAnswer& answer)
    {
        static const std::set<int> known = {200, 202, 204, 400, 404, 405, 409, 413, 422};
        Require(known.count(answer.status) == 1, "an answer has one of the server's statuses",
                std::to_string(answer.status));
        if (answer.status >= 400) {
            Require(answer.length > 1, "a refusal says why", std::to_string(answer.status));
        }
    }

    // An upgrade on a connection of its own: a WebSocket conversation opens on the list path alone.
    void Upgrade(std::string_view path)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_port);
        Require(WaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }),
                "the link server takes a connection");
        socket.write("GET " + Target(path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                     "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                     "Sec-WebSocket-Version: 13\r\n\r\n");
        QByteArray received;
        const bool answered = WaitFor([&] {
            received += socket.readAll();
            return received.contains("\r\n\r\n") || socket.state() != QAbstractSocket::ConnectedState;
        });
        Require(answered && received.startsWith("HTTP/1.1 "), "an upgrade gets an answer", Target(path).toStdString());
        const int status = received.mid(9, 3).toInt();
        Require(status == 101 || status == 404, "an upgrade is taken or refused", received.left(80).toStdString());
        Require(received.count("HTTP/1.1 ") == 1, "an upgrade gets one answer", received.toStdString());
        socket.abort();
        Require(WaitFor([this] { return m_server->SessionCount() == SessionsWanted(); }),
                "a conversation ends with its connection");
    }

    // The message and its marker leave as two writes; without this the second waits for the first's
    // acknowledgement (Nagle), and every message costs a delayed ACK. QWebSocket keeps its socket to itself, so
    // the descriptor is found by its local port.
    static void SendAtOnce(quint16 localPort)
    {
        for (int descriptor = 3; descriptor < 1024; ++descriptor) {
            sockaddr_in address{};
            socklen_t length = sizeof address;
            if (::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length) == 0
                && address.sin_family == AF_INET && ntohs(address.sin_port) == localPort) {
                const int on = 1;
                (void)::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            }
        }
    }

    std::size_t SessionsWanted() const { return m_socket.state() == QAbstractSocket::ConnectedState ? 1 : 0; }

    // One message, then a marker whose answer comes after every answer to the message.
    void Message(const QByteArray& text, bool binary)
    {
        if (m_socket.state() != QAbstractSocket::ConnectedState) {
            m_socket.abort();
            m_socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/dde/Tavrel/Items").arg(m_port)));
            Require(WaitFor([this] { return m_socket.state() == QAbstractSocket::ConnectedState; }),
                    "a WebSocket conversation opens");
            SendAtOnce(m_socket.localPort());
        }
        if (binary) {
            m_socket.sendBinaryMessage(text);
        } else {
            m_socket.sendTextMessage(QString::fromUtf8(text));
        }
        const QString marker = QStringLiteral("fuzz-marker-%1").arg(++m_markers);
        m_socket.sendTextMessage(QStringLiteral("{\"op\":\"%1\"}").arg(marker));
        const bool answered = WaitFor([&] {
            return m_socket.state() != QAbstractSocket::ConnectedState
                || std::any_of(m_messages.begin(), m_messages.end(), [&](const QString& m) { return m.contains(marker); });
        });
        Require(answered, "every message gets an answer", text.toStdString());
        for (const QString& message : m_messages) {
            QJsonParseError error;
            const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8(), &error);
            Require(error.error == QJsonParseError::NoError && !document.isNull(), "every answer is JSON",
                    message.toStdString());
            if (document.isObject() && document.object().value("ok") == QJsonValue(false)) {
                Require(!document.object().value("error").toString().isEmpty(), "a refusal says why",
                        message.toStdString());
                Require(document.object().value("status").toInt() >= 400, "a refusal has a status",
                        message.toStdString());
            }
        }
        m_messages.clear();
    }

    void SetLabel(std::string_view index, std::string_view text)
    {
        const auto parsed = link::ParseItemName(QStringLiteral("lblDDE(%1)").arg(QString::fromUtf8(Bytes(index))));
        if (parsed) {
            m_program.Labels().SetText(*parsed, std::string(text));
        }
    }

    // Back to the state every input starts from: no run, no conversation, no texts.
    void Reset()
    {
        m_program.Stop();
        if (m_socket.state() != QAbstractSocket::UnconnectedState) {
            m_socket.abort();
        }
        Require(WaitFor([this] { return m_server->SessionCount() == 0; }), "a conversation ends with its connection");
        m_messages.clear();
        for (std::int32_t index = 0; index <= m_program.Labels().HighestIndex(); ++index) {
            m_program.Labels().SetText(index, std::string());
        }
        QCoreApplication::processEvents();
        m_script.Clear();
    }

    test::DriverScript m_script;
    app::Program m_program;
    std::unique_ptr<link::LinkServer> m_server;
    quint16 m_port = 0;
    QTcpSocket m_http;
    QByteArray m_buffer;
    QWebSocket m_socket;
    QStringList m_messages;
    int m_markers = 0;
};

QCoreApplication& Application()
{
    static int argc = 1;
    static char name[] = "LinkServerFuzzer";
    static char* argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
    return application;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Application();
    static Harness harness;
    harness.Run(tavrel::fuzz::AsText(data, size));
    return 0;
}
