#pragma once

#include "app/ItemService.h"
#include "common/Settings.h"
#include "common/UsersFile.h"
#include "opcua/Backend.h"
#include "opcua/SecureChannel.h"

#include <QHostAddress>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <tl/expected.hpp>

class QTcpServer;
class QTcpSocket;

namespace tavrel::opcua {

class Server;

/// Who may use the OPC UA server and how it proves itself: the settings' access keys, the users file, and our
/// certificate, key and the judge of clients' certificates (none: only policy None, on this computer).
struct OpcUaSecurity
{
    common::OpcUaAccessSettings access;
    std::filesystem::path usersFile;
    std::shared_ptr<const ChannelSecurity> channel;
};

/// The OPC UA server on the network: moves bytes between sockets and the protocol core (Server), keeps the core's
/// address space in step with the item service (the project, its values, the run and the PLCs' health), and hands
/// writes and method calls to the item service as the OPC UA surface's pokes and commands.
class OpcUaServer : public QObject, private Backend
{
    Q_OBJECT

public:
    /// The most bytes waiting to go to one client before it counts as not reading and is closed: two of the
    /// largest messages.
    static constexpr std::int64_t kMaxUnsentBytes = 32 * 1024 * 1024;

    explicit OpcUaServer(app::ItemService& service, QObject* parent = nullptr);
    ~OpcUaServer() override;

    /// urn:HOSTNAME:Tavrel, the application URI of this computer's server.
    static std::string ApplicationUri();

    /// Who may come in, and our certificate; taken at the next Listen.
    void SetSecurity(OpcUaSecurity security);
    /// Starts listening at `address`:`port`; the port actually bound (useful with port 0), or what went wrong. Off
    /// loopback it needs a certificate, and users in the users file or anonymous access allowed outright.
    tl::expected<quint16, std::string> Listen(const QHostAddress& address, quint16 port);
    /// What an administrator should know of the server as it listens: SecurityPolicy None offered off loopback, or
    /// anonymous operators there; empty when nothing.
    std::string SecurityWarning() const { return m_warning; }
    /// Stops listening and closes every connection.
    void Close();
    /// "opc.tcp://127.0.0.1:4840/" while listening, else empty.
    QString EndpointUrl() const;
    /// The number of sessions.
    std::size_t SessionCount() const;
    /// The number of client connections.
    std::size_t ConnectionCount() const { return m_sockets.size(); }

signals:
    /// The number of sessions changed.
    void sessionsChanged(int count);

private:
    std::optional<common::Refusal> Write(const Client& client, std::int32_t index, const std::string& text) override;
    std::optional<common::Refusal> Execute(const Client& client, const std::string& command) override;
    tl::expected<std::vector<ItemSample>, std::uint32_t> ReadHistory(std::int32_t index, std::int64_t fromMs,
                                                                     std::int64_t toMs, std::size_t maxValues) override;
    std::optional<common::Role> CheckPassword(const Client& client, const std::string& name,
                                              const std::string& password) override;

    void Accept();
    void Read(QTcpSocket* socket);
    void Dropped(QTcpSocket* socket);
    /// Sends what the core has for each connection, closes those it ends, and sets the timer for its next tick.
    void Flush();
    void Tick();

    /// The whole address space anew (after the project changed).
    void SyncProject();
    void TakeChanges(const std::vector<app::ItemChange>& changes);
    /// The run's and the PLCs' diagnostics, and the values whose status follows from them.
    void SyncSystem();
    ItemSample Sample(const app::ItemChange& change) const;
    app::Caller CallerOf(const Client& client) const;

    app::ItemService& m_service;
    std::unique_ptr<Server> m_core;
    OpcUaSecurity m_security;
    std::optional<common::UsersFileCache> m_users;
    std::string m_warning;
    QTcpServer* m_listener = nullptr;
    QString m_endpointUrl;
    std::unordered_map<std::uint64_t, QTcpSocket*> m_sockets;
    QTimer m_tick;
    QTimer m_projectTimer; ///< gathers the project's changes (items removed one by one) into one update
    QTimer m_systemTimer; ///< gathers the System items' changes of one pass into one update
    std::size_t m_sessionsTold = 0;
    bool m_running = false;
    /// The value kind of each published item, by label index.
    std::unordered_map<std::int32_t, ValueKind> m_kinds;
    /// Each PLC's connected and answered flags as last told, by name.
    std::map<std::string, std::pair<bool, bool>> m_plcStates;
};

} // namespace tavrel::opcua
