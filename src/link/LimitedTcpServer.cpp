#include "link/LimitedTcpServer.h"

#include <sys/socket.h>

namespace tavrel::link {

LimitedTcpServer::LimitedTcpServer(int limit, std::optional<QSslConfiguration> tls, int handshakeMs, QObject* parent)
    : QSslServer(parent)
    , m_limit(limit)
    , m_tls(tls.has_value())
{
    if (tls) {
        setSslConfiguration(*tls);
        setHandshakeTimeout(handshakeMs);
        // A connection counts from its handshake on: many clients that stall there hold no more than the limit.
        connect(this, &QSslServer::startedEncryptionHandshake, this,
                [this](QSslSocket* socket) { m_open.append(socket); });
    }
}

QTcpSocket* LimitedTcpServer::nextPendingConnection()
{
    QTcpSocket* socket = QTcpServer::nextPendingConnection();
    if (socket != nullptr && !m_open.contains(socket)) {
        m_open.append(socket);
    }
    return socket;
}

void LimitedTcpServer::incomingConnection(qintptr handle)
{
    // Counted by guarded pointers, not by signals: a WebSocket upgrade disconnects every signal of its socket.
    m_open.removeIf([](const QPointer<QTcpSocket>& socket) { return socket.isNull(); });
    if (m_open.size() >= m_limit) {
        QTcpSocket refused;
        refused.setSocketDescriptor(handle);
        // A TLS client could not read a plain answer; it is only closed.
        if (!m_tls) {
            refused.write("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 24\r\nConnection: close\r\n\r\n"
                          "too many connections\r\n\r\n");
            refused.flush();
        }
        refused.abort();
        return;
    }
    // Room for a whole pass of changes in the kernel: between passes the event loop may have only a moment
    // to hand data over, and what does not fit waits a whole pass (the kernel caps the size it grants).
    const int sendBuffer = 4 * 1024 * 1024;
    ::setsockopt(static_cast<int>(handle), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    if (m_tls) {
        QSslServer::incomingConnection(handle);
    } else {
        QTcpServer::incomingConnection(handle); // a plain socket: no handshake is waited for
    }
}

} // namespace tavrel::link
