#pragma once

#include "link/LinkServer.h"

#include "app/Program.h"

#include "common/OperandCatalogue.h"
#include "support/ScriptedDriver.h"
#include "support/TempDir.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>

#include <sys/socket.h>

namespace tavrel::test {

/// A WebSocket conversation with the link server that keeps every message it receives.
class LinkClient : public QObject
{
public:
    explicit LinkClient(quint16 port)
    {
        connect(&socket, &QWebSocket::textMessageReceived, this, [this](const QString& m) { messages.append(m); });
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/dde/Tavrel/Items").arg(port)));
    }
    bool WaitConnected()
    {
        return QTest::qWaitFor([this] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000);
    }
    void Send(const QJsonObject& message)
    {
        socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson()));
    }
    /// The next message as an object; an empty one when none comes within 5 s.
    QJsonObject NextObject()
    {
        if (!QTest::qWaitFor([this] { return !messages.isEmpty(); }, 5000)) {
            return {};
        }
        return QJsonDocument::fromJson(messages.takeFirst().toUtf8()).object();
    }
    /// Sends a message as it is and waits for the answer.
    QJsonObject Ask(const QByteArray& message)
    {
        socket.sendTextMessage(QString::fromUtf8(message));
        return NextObject();
    }
    /// Advises `item` of `topic` and waits for the first answer.
    QJsonObject Advise(const QString& item, const QString& topic = QStringLiteral("Items"))
    {
        Send({ { "op", "advise" }, { "topic", topic }, { "item", item } });
        return NextObject();
    }

    QWebSocket socket;
    QStringList messages;
};

/// The status and body of one HTTP answer.
struct HttpResponse
{
    int status = 0;
    QByteArray body;
};

/// One HTTP request to the link server on `port`; `path` is sent as encoded.
inline HttpResponse HttpCall(QNetworkAccessManager& network, quint16 port, const QByteArray& method,
                             const QByteArray& path, const QByteArray& body = {}, const QByteArray& accept = {})
{
    QNetworkRequest request(QUrl::fromEncoded("http://127.0.0.1:" + QByteArray::number(port) + path));
    if (!accept.isEmpty()) {
        request.setRawHeader("Accept", accept);
    }
    request.setHeader(QNetworkRequest::ContentTypeHeader, "text/plain");
    QNetworkReply* reply = network.sendCustomRequest(request, method, body);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    finished.wait(5000);
    HttpResponse response { reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll() };
    reply->deleteLater();
    return response;
}

/// A WebSocket client on a bare TCP socket, for what QWebSocket keeps from a test: any header on the upgrade,
/// the server's refusal as sent, and a connection reset instead of a close.
class RawWebSocket
{
public:
    /// Asks for an upgrade of `target` with `headers` (each line ending in CRLF) added; the head of the answer, or
    /// what came before the connection ended.
    QByteArray Open(quint16 port, const QByteArray& headers = {}, const QByteArray& target = "/dde/Tavrel/Items")
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(5000)) {
            return {};
        }
        socket.write("GET " + target + " HTTP/1.1\r\n" + (headers.contains("Host:") ? "" : "Host: 127.0.0.1\r\n")
                     + "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                     + headers + "\r\n");
        (void)QTest::qWaitFor(
            [this] {
                received += socket.readAll();
                return received.contains("\r\n\r\n") || socket.state() == QAbstractSocket::UnconnectedState;
            },
            5000);
        received += socket.readAll();
        const qsizetype end = received.indexOf("\r\n\r\n");
        const QByteArray head = end < 0 ? received : received.left(end + 4);
        received.remove(0, head.size());
        return head;
    }

    /// Sends one masked text frame of less than 126 bytes, as a client must.
    void SendText(const QByteArray& text)
    {
        QByteArray frame("\x81");
        frame += static_cast<char>(0x80 | text.size());
        const char mask[4] = { 0x12, 0x34, 0x56, 0x78 };
        frame.append(mask, 4);
        for (qsizetype i = 0; i < text.size(); ++i) {
            frame += static_cast<char>(text[i] ^ mask[i % 4]);
        }
        socket.write(frame);
        socket.flush();
    }

    /// Waits until `count` bytes or more have come after the upgrade answer.
    bool WaitReceived(qsizetype count)
    {
        return WaitUntil([&] { return received.size() >= count; });
    }
    /// Waits until `text` has come after the upgrade answer.
    bool WaitFor(const QByteArray& text)
    {
        return WaitUntil([&] { return received.contains(text); });
    }
    bool WaitUntil(const std::function<bool()>& done)
    {
        return QTest::qWaitFor(
            [&] {
                received += socket.readAll();
                return done();
            },
            5000);
    }

    /// Ends the connection with a reset (RST) rather than a close, as a dropped network or a killed client does.
    void Reset()
    {
        const linger hard { 1, 0 };
        ::setsockopt(static_cast<int>(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        socket.abort();
    }

    QTcpSocket socket;
    QByteArray received;
};

/// A program with two PLCs and a link server on a free loopback port, for the link tests to talk to. Pump:
/// lblDDE(1) a Read/Write MI, lblDDE(2) a Read MI, lblDDE(3..5) a Write MB vector, lblDDE(6) a disabled MI;
/// Line_1: lblDDE(7) a Read/Write I.
class LinkBench
{
protected:
    /// A new program and server; false when the server could not listen.
    bool StartBench(const link::LinkLimits& limits = {})
    {
        m_server.reset();
        m_script = DriverScript();
        m_program = std::make_unique<app::Program>(common::Settings(m_dir / "t.ini", "tavrel"), m_script.Factory(),
                                                   m_dir / "missing-template.tvb");
        namespace op = common::operand;
        namespace dir = common::direction;
        auto& pump = AddPlc("Pump");
        AddItem(pump, op::MI, dir::ReadWrite);
        AddItem(pump, op::MI, dir::Read);
        AddItem(pump, op::MB, dir::Write, 3);
        AddItem(pump, op::MI, dir::ReadWrite, 1, false);
        AddItem(AddPlc("Line_1"), op::I, dir::ReadWrite);
        emit m_program->projectChanged(); // as the window's commands tell of their edits
        m_server = std::make_unique<link::LinkServer>(m_program->Service(), limits);
        m_port = m_server->Listen(QHostAddress::LocalHost, 0).value_or(0);
        return m_port != 0;
    }
    model::clsPlc& AddPlc(const std::string& name)
    {
        auto plc = m_program->Project().NewPlc();
        plc->Name = name;
        return m_program->Project().AddPLC(std::move(plc));
    }
    void AddItem(model::clsPlc& plc, std::int32_t type, std::int32_t direction, std::int32_t length = 1,
                 bool enabled = true)
    {
        std::int32_t label = -1;
        QVERIFY(plc.AddItems(length, 0, type, direction, enabled, label));
    }
    /// One HTTP request; `path` is sent as encoded.
    HttpResponse Call(const QByteArray& method, const QByteArray& path, const QByteArray& body = {},
                      const QByteArray& accept = {})
    {
        return HttpCall(m_network, m_port, method, path, body, accept);
    }

    TempDir m_dir;
    DriverScript m_script;
    std::unique_ptr<app::Program> m_program;
    std::unique_ptr<link::LinkServer> m_server; ///< after the program, so that it goes first
    quint16 m_port = 0;
    QNetworkAccessManager m_network;
};

} // namespace tavrel::test
