#pragma once

#include "app/Program.h"
#include "model/LabelArray.h"

#include <QAbstractHttpServer>
#include <QHostAddress>
#include <QPointer>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <tl/expected.hpp>

class QTcpServer;
class QWebSocket;

namespace tavrel::link {

/// The bounds the server keeps clients within.
struct LinkLimits
{
    qint64 maxBodyBytes = 64 * 1024;        ///< a poke or execute body
    qint64 maxMessageBytes = 64 * 1024;     ///< a WebSocket message
    std::size_t maxLinksPerConnection = 40000;
    int maxConnections = 512;               ///< HTTP and WebSocket connections together
};

/// An item name "lblDDE(7)", matched without regard to case, as its label index; nothing for a name of
/// another form (leading zeros, blanks, an index beyond 32767 included).
std::optional<std::int32_t> ParseItemName(const QString& name);

/// The program's items over HTTP and WebSocket: service "Tavrel", topic "Items", items lblDDE(i).
///   GET  /dde/Tavrel/Items/lblDDE(i)   the label text
///   PUT  /dde/Tavrel/Items/lblDDE(i)   a poke of the body text
///   POST /dde/Tavrel/Items             an execute command
///   GET  /dde/Tavrel/Items             every item and its value, as HTML or (Accept) JSON
///   WebSocket /dde/Tavrel/Items        advise, unadvise, request, poke, execute as JSON messages
class LinkServer : public QAbstractHttpServer, private model::LabelObserver
{
    Q_OBJECT

public:
    explicit LinkServer(app::Program& program, LinkLimits limits = {}, QObject* parent = nullptr);
    ~LinkServer() override;

    /// Starts listening; the port actually bound (useful with port 0), or what went wrong.
    tl::expected<quint16, std::string> Listen(const QHostAddress& address, quint16 port);

    /// Moves the server to another address or port: the new one is opened before the old one closes,
    /// so a failure leaves the server where it was.
    tl::expected<quint16, std::string> Move(const QHostAddress& address, quint16 port);

    /// The address and port listened on, if any.
    std::optional<std::pair<QHostAddress, quint16>> Listening() const;

    /// The number of open WebSocket conversations.
    std::size_t SessionCount() const { return m_sessions.size(); }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Session;

    void LabelTextChanged(std::int32_t index, const std::string& text) override;
    void LabelUnloaded(std::int32_t index) override;

    void AcceptWebSockets();
    void HandleMessage(Session& session, const QString& message);
    void Advise(Session& session, std::int32_t index, const QString& item);
    void Unadvise(Session& session, std::int32_t index);
    void DropSession(Session* session);
    void FlushChanges();

    app::Program& m_program;
    LinkLimits m_limits;
    QTcpServer* m_tcpServer = nullptr;
    std::vector<std::unique_ptr<Session>> m_sessions;
    /// Sessions advising each label, by label index.
    std::vector<std::vector<Session*>> m_links;
    /// Labels changed since the last flush, in the order they changed.
    std::vector<std::int32_t> m_changed;
    std::vector<bool> m_isChanged;
    QTimer m_flushTimer;
};

} // namespace tavrel::link
