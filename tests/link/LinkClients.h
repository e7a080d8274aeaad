#pragma once

#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>
#include <QWebSocket>

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
    void Send(const QJsonObject& message) { socket.sendTextMessage(QString::fromUtf8(QJsonDocument(message).toJson())); }
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
    HttpResponse response{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll()};
    reply->deleteLater();
    return response;
}

} // namespace tavrel::test
