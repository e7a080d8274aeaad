#pragma once

#include <QList>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslServer>
#include <QTcpSocket>

#include <optional>

namespace tavrel::link {

/// A TCP server that refuses connections beyond a limit, with "503 too many connections", instead of letting them
/// pile up; WebSocket conversations count as long as their connections last. With a TLS set-up it speaks TLS only:
/// a connection is handed on once its handshake is done, and one whose handshake fails (plain HTTP sent to it) or
/// stalls past the handshake time is closed, without touching the others.
class LimitedTcpServer : public QSslServer
{
public:
    /// A server that holds at most `limit` connections at once, with TLS when `tls` is given.
    LimitedTcpServer(int limit, std::optional<QSslConfiguration> tls, int handshakeMs, QObject* parent);

    /// The next accepted connection, counted from now until it is deleted.
    QTcpSocket* nextPendingConnection() override;

protected:
    void incomingConnection(qintptr handle) override;

private:
    int m_limit;
    bool m_tls;
    QList<QPointer<QTcpSocket>> m_open;
};

} // namespace tavrel::link
