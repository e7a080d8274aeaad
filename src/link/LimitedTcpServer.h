#pragma once

#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

namespace tavrel::link {

/// A TCP server that refuses connections beyond a limit, with "503 too many connections", instead of letting them
/// pile up; WebSocket conversations count as long as their connections last.
class LimitedTcpServer : public QTcpServer
{
public:
    /// A server that holds at most `limit` connections at once.
    LimitedTcpServer(int limit, QObject* parent);

    /// The next accepted connection, counted from now until it is deleted.
    QTcpSocket* nextPendingConnection() override;

protected:
    void incomingConnection(qintptr handle) override;

private:
    int m_limit;
    QList<QPointer<QTcpSocket>> m_open;
};

} // namespace tavrel::link
