#include "opcua/OpcUaServer.h"

#include "app/HistoryReader.h"
#include "common/LinkProtocol.h"
#include "common/OperandCatalogue.h"
#include "opcua/Access.h"
#include "opcua/Server.h"
#include "opcua/StatusCodes.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <chrono>
#include <cstdlib>

namespace tavrel::opcua {

namespace {

std::int64_t NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

/// The OPC UA data type of an item's values.
ValueKind KindOf(const app::ItemInfo& item)
{
    switch (item.kind) {
    case app::ValueKind::Bit:
        return ValueKind::Boolean;
    case app::ValueKind::Int16:
        return ValueKind::Int16;
    case app::ValueKind::UInt16:
        return ValueKind::UInt16;
    case app::ValueKind::Int32:
        return ValueKind::Int32;
    case app::ValueKind::UInt32:
        return ValueKind::UInt32;
    case app::ValueKind::Int64:
        return ValueKind::Int64;
    case app::ValueKind::UInt64:
        return ValueKind::UInt64;
    case app::ValueKind::Float:
        return ValueKind::Float;
    case app::ValueKind::Double:
        return ValueKind::Double;
    case app::ValueKind::Text:
    case app::ValueKind::Timer:
        break;
    }
    return ValueKind::String;
}

bool Writable(const app::ItemInfo& item)
{
    return item.direction == common::direction::Write || item.direction == common::direction::ReadWrite;
}

ValueQuality QualityOf(app::Quality quality)
{
    switch (quality) {
    case app::Quality::Good:
        return ValueQuality::Good;
    case app::Quality::Waiting:
        return ValueQuality::Waiting;
    case app::Quality::Stale:
        return ValueQuality::Stale;
    case app::Quality::Bad:
        break;
    }
    return ValueQuality::Bad;
}

} // namespace

OpcUaServer::OpcUaServer(app::ItemService& service, QObject* parent)
    : QObject(parent)
    , m_service(service)
{
    m_tick.setSingleShot(true);
    connect(&m_tick, &QTimer::timeout, this, &OpcUaServer::Tick);
    m_systemTimer.setSingleShot(true);
    m_systemTimer.setInterval(0);
    connect(&m_systemTimer, &QTimer::timeout, this, &OpcUaServer::SyncSystem);
    m_projectTimer.setSingleShot(true);
    m_projectTimer.setInterval(0);
    connect(&m_projectTimer, &QTimer::timeout, this, &OpcUaServer::SyncProject);
    connect(&m_service, &app::ItemService::projectChanged, this, [this] { m_projectTimer.start(); });
    connect(&m_service, &app::ItemService::itemRemoved, this, [this] { m_projectTimer.start(); });
    connect(&m_service, &app::ItemService::changed, this, &OpcUaServer::TakeChanges);
    connect(&m_service, &app::ItemService::systemChanged, this, [this] { m_systemTimer.start(); });
}

OpcUaServer::~OpcUaServer()
{
    Close();
}

std::string OpcUaServer::ApplicationUri()
{
    return "urn:" + QHostInfo::localHostName().toStdString() + ":Tavrel";
}

void OpcUaServer::SetSecurity(OpcUaSecurity security)
{
    m_security = std::move(security);
    m_users.reset();
}

tl::expected<quint16, std::string> OpcUaServer::Listen(const QHostAddress& address, quint16 port)
{
    // The users file must be sound wherever the server listens; off loopback it must also hold someone.
    bool hasUsers = false;
    if (!m_security.usersFile.empty()) {
        const auto users = common::UsersFile::Load(m_security.usersFile);
        if (!users) {
            return tl::make_unexpected("the OPC UA server does not start: " + users.error());
        }
        const auto entries = users->Entries();
        hasUsers = std::any_of(entries.begin(), entries.end(),
                               [](const auto& entry) { return entry.kind == common::UsersFile::Kind::User; });
    }
    const bool hasCertificate = m_security.channel && m_security.channel->certificate && m_security.channel->key;
    const auto access = ChooseAccess(m_security.access, address.isLoopback(), hasCertificate, hasUsers);
    if (!access) {
        return tl::make_unexpected("the OPC UA server does not listen on " + address.toString().toStdString() + ": "
                                   + access.error() + "; listen on 127.0.0.1, or set OpcUaPort to 0 to turn it off");
    }
    // The new address is opened before the old one closes, so that a failure leaves the server where it was.
    auto* listener = new QTcpServer(this);
    if (!listener->listen(address, port)) {
        const std::string error = listener->errorString().toStdString();
        delete listener;
        return tl::make_unexpected("the OPC UA server cannot listen on " + address.toString().toStdString() + ":"
                                   + std::to_string(port) + ": " + error);
    }
    Close();
    m_listener = listener;
    const quint16 bound = listener->serverPort();
    // Listening on every interface, the server is reached by its host name; an address "0.0.0.0" in the endpoints
    // would send clients nowhere.
    const bool everywhere
        = address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6 || address == QHostAddress::Any;
    const QString host = everywhere                           ? QHostInfo::localHostName()
        : address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(address.toString())
                                                              : address.toString();
    m_endpointUrl = QStringLiteral("opc.tcp://%1:%2/").arg(host).arg(bound);

    ServerConfig config;
    config.applicationUri = ApplicationUri();
    config.productUri = "urn:Tavrel";
    config.applicationName = "Tavrel";
    config.endpointUrl = m_endpointUrl.toStdString();
    config.softwareVersion = QCoreApplication::applicationVersion().toStdString();
    config.buildNumber = config.softwareVersion;
    config.security = m_security.channel;
    config.access.offerNone = access->offerNone;
    config.access.anonymous = access->anonymous;
    m_warning = access->warning;
    if (!m_security.usersFile.empty()) {
        m_users.emplace(m_security.usersFile);
    }
    m_core = std::make_unique<Server>(static_cast<Backend&>(*this), std::move(config), NowMs());
    m_service.SetSystemItem(QStringLiteral("OpcUaEndpoint"), m_endpointUrl);
    m_service.SetSystemItem(QStringLiteral("OpcUaSessions"), QStringLiteral("0"));
    SyncProject();
    connect(listener, &QTcpServer::newConnection, this, &OpcUaServer::Accept);
    Flush();
    return bound;
}

void OpcUaServer::Close()
{
    if (m_listener != nullptr) {
        m_listener->close();
        delete m_listener;
        m_listener = nullptr;
    }
    for (const auto& [id, socket] : m_sockets) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    m_sockets.clear();
    m_core.reset();
    m_tick.stop();
    if (!m_endpointUrl.isEmpty()) {
        m_endpointUrl.clear();
        m_service.SetSystemItem(QStringLiteral("OpcUaEndpoint"), QString());
    }
    if (m_sessionsTold != 0) {
        m_sessionsTold = 0;
        m_service.SetSystemItem(QStringLiteral("OpcUaSessions"), QStringLiteral("0"));
        emit sessionsChanged(0);
    }
}

QString OpcUaServer::EndpointUrl() const
{
    return m_endpointUrl;
}

std::size_t OpcUaServer::SessionCount() const
{
    return m_core ? m_core->SessionCount() : 0;
}

app::Caller OpcUaServer::CallerOf(const Client& client) const
{
    app::Caller caller;
    caller.surface = app::Surface::OpcUa;
    caller.user = client.user;
    caller.peer = client.peer;
    caller.role = client.role;
    return caller;
}

std::optional<common::Role> OpcUaServer::CheckPassword(const Client& client, const std::string& name,
                                                       const std::string& password)
{
    const auto refused = [&](const QString& why) {
        m_service.Events().Add(app::EventKind::Client,
                               QStringLiteral("OPC UA login of '%1' from %2 refused: %3")
                                   .arg(QString::fromStdString(name), QString::fromStdString(client.peer), why));
        return std::nullopt;
    };
    if (!m_users) {
        return refused(QStringLiteral("no users file"));
    }
    const auto users = m_users->Current();
    if (!users) {
        // A users file that went bad while running lets nobody in until it is mended.
        return refused(QString::fromStdString(users.error()));
    }
    auto role = (*users)->VerifyPassword(name, password);
    if (!role) {
        return refused(QStringLiteral("unknown user or wrong password"));
    }
    return role;
}

std::optional<common::Refusal> OpcUaServer::Write(const Client& client, std::int32_t index, const std::string& text)
{
    std::string poked = text;
    if (const char separator = m_service.DecimalSeparator(); separator != '.') {
        std::replace(poked.begin(), poked.end(), '.', separator);
    }
    return m_service.Poke(CallerOf(client), index, poked);
}

std::optional<common::Refusal> OpcUaServer::Execute(const Client& client, const std::string& command)
{
    return m_service.Execute(CallerOf(client), command);
}

void OpcUaServer::Accept()
{
    while (m_listener != nullptr && m_listener->hasPendingConnections()) {
        QTcpSocket* socket = m_listener->nextPendingConnection();
        const std::string peer
            = socket->peerAddress().toString().toStdString() + ":" + std::to_string(socket->peerPort());
        const ConnectionId id = m_core->Accept(peer, NowMs());
        socket->setProperty("opcuaConnection", QVariant::fromValue<qulonglong>(id));
        m_sockets.emplace(id, socket);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Read(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { Dropped(socket); });
    }
    Flush();
}

void OpcUaServer::Read(QTcpSocket* socket)
{
    if (!m_core) {
        return;
    }
    const QByteArray bytes = socket->readAll();
    const auto id = socket->property("opcuaConnection").toULongLong();
    m_core->Receive(
        id, std::span(reinterpret_cast<const std::uint8_t*>(bytes.constData()), static_cast<std::size_t>(bytes.size())),
        NowMs());
    Flush();
}

void OpcUaServer::Dropped(QTcpSocket* socket)
{
    const auto id = socket->property("opcuaConnection").toULongLong();
    if (m_sockets.erase(id) != 0 && m_core) {
        m_core->Closed(id, NowMs());
    }
    socket->deleteLater();
    Flush();
}

void OpcUaServer::Flush()
{
    if (!m_core) {
        return;
    }
    for (const ConnectionId id : m_core->ConnectionsWithOutput()) {
        const auto found = m_sockets.find(id);
        const std::vector<std::uint8_t> output = m_core->TakeOutput(id);
        if (found == m_sockets.end()) {
            continue;
        }
        QTcpSocket* socket = found->second;
        socket->write(reinterpret_cast<const char*>(output.data()), static_cast<qint64>(output.size()));
        if (socket->bytesToWrite() > kMaxUnsentBytes) {
            // A client that does not read its socket: its answers would pile up here without end.
            m_sockets.erase(found);
            m_core->Closed(id, NowMs());
            socket->disconnect(this);
            socket->abort();
            socket->deleteLater();
        }
    }
    for (auto it = m_sockets.begin(); it != m_sockets.end();) {
        if (m_core->ShouldClose(it->first)) {
            QTcpSocket* socket = it->second;
            const ConnectionId id = it->first;
            it = m_sockets.erase(it);
            m_core->Closed(id, NowMs());
            socket->disconnect(this);
            socket->disconnectFromHost(); // after what was written has gone
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        } else {
            ++it;
        }
    }
    const std::size_t sessions = m_core->SessionCount();
    if (sessions != m_sessionsTold) {
        m_sessionsTold = sessions;
        m_service.SetSystemItem(QStringLiteral("OpcUaSessions"), QString::number(sessions));
        emit sessionsChanged(static_cast<int>(sessions));
    }
    // Only ever sooner: changes that come more often than the next tick is due must not keep putting it off.
    const auto wait = static_cast<int>(std::clamp<std::int64_t>(m_core->NextTickMs() - NowMs(), 0, 1000));
    if (!m_tick.isActive() || m_tick.remainingTime() > wait) {
        m_tick.start(wait);
    }
}

void OpcUaServer::Tick()
{
    if (m_core) {
        m_core->Tick(NowMs());
        Flush();
    }
}

ItemSample OpcUaServer::Sample(const app::ItemChange& change) const
{
    ItemSample sample;
    sample.index = change.index;
    sample.text = change.value;
    if (const char separator = m_service.DecimalSeparator(); separator != '.') {
        std::replace(sample.text.begin(), sample.text.end(), separator, '.');
    }
    const auto kind = m_kinds.find(change.index);
    if (kind != m_kinds.end() && kind->second != ValueKind::String && !sample.text.empty()) {
        char* end = nullptr;
        const double number = std::strtod(sample.text.c_str(), &end);
        if (end != nullptr && *end == '\0') {
            sample.number = number;
        }
    }
    sample.sourceTimeMs = change.readAt.time_since_epoch().count() == 0
        ? 0
        : std::chrono::duration_cast<std::chrono::milliseconds>(change.readAt.time_since_epoch()).count();
    sample.quality = m_running ? QualityOf(change.quality) : ValueQuality::OutOfService;
    return sample;
}

tl::expected<std::vector<ItemSample>, std::uint32_t> OpcUaServer::ReadHistory(std::int32_t index, std::int64_t fromMs,
                                                                              std::int64_t toMs, std::size_t maxValues)
{
    const app::HistoryReader* history = m_service.History();
    if (history == nullptr || !history->IsRecorded(index)) {
        return tl::unexpected(status::kBadHistoryOperationUnsupported);
    }
    auto points = history->ReadRaw(index, fromMs, toMs, maxValues);
    if (!points) {
        // Why is the history's own to say (its System item): a client's every read would flood the events.
        return tl::unexpected(status::kBadResourceUnavailable);
    }
    std::vector<ItemSample> samples;
    samples.reserve(points->size());
    for (const app::HistoryPoint& point : *points) {
        ItemSample& sample = samples.emplace_back();
        sample.index = index;
        sample.number = point.value;
        sample.sourceTimeMs = point.timeMs;
        sample.quality = QualityOf(point.quality);
    }
    return samples;
}

void OpcUaServer::SyncProject()
{
    if (!m_core) {
        return;
    }
    const std::int64_t now = NowMs();
    std::vector<PlcNode> plcs;
    for (const app::PlcInfo& plc : m_service.Plcs()) {
        PlcNode& node = plcs.emplace_back();
        node.name = plc.name;
        node.connected = plc.connected;
        node.answered = plc.answered;
        node.lastError = plc.lastError;
    }
    std::vector<ItemNode> items;
    std::vector<ItemSample> samples;
    const bool keepsHistory = m_service.History() != nullptr;
    m_kinds.clear();
    m_running = m_service.IsRunning();
    for (const app::ItemInfo& item : m_service.Items()) {
        ItemNode& node = items.emplace_back();
        node.index = item.index;
        node.plc = item.plc;
        // The tag name where the item has one, else the operand and address ("MI 100", "Input register 3000").
        node.displayName = !item.name.empty()
            ? item.name
            : std::string(common::OperandTypeName(item.operandType)) + " " + std::to_string(item.address);
        node.description = std::string(common::IoDirectionName(item.direction));
        if (!item.description.empty()) {
            node.description += ": " + item.description;
        }
        node.units = item.units;
        node.kind = KindOf(item);
        node.writable = Writable(item);
        node.recorded = keepsHistory && item.record;
        m_kinds.emplace(item.index, node.kind);
        samples.push_back(Sample(m_service.State(item.index)));
    }
    m_core->SetProject(std::move(plcs), std::move(items), now);
    m_core->SetValues(samples, now);
    SyncSystem();
}

void OpcUaServer::TakeChanges(const std::vector<app::ItemChange>& changes)
{
    if (!m_core) {
        return;
    }
    std::vector<ItemSample> samples;
    samples.reserve(changes.size());
    for (const app::ItemChange& change : changes) {
        samples.push_back(Sample(change));
    }
    m_core->SetValues(samples, NowMs());
    Flush();
}

void OpcUaServer::SyncSystem()
{
    if (!m_core) {
        return;
    }
    const std::int64_t now = NowMs();
    const app::SystemItems& system = m_service.System();
    const auto text = [&system](const QString& name) {
        const auto item = system.Find(name);
        return item ? item->second : QString();
    };
    RunNode run;
    run.running = m_service.IsRunning();
    run.passCount = text(QStringLiteral("PassCount")).toULongLong();
    run.passMs = static_cast<std::int64_t>(text(QStringLiteral("PassMs")).toDouble());
    m_core->SetRun(run, now);

    // Values whose status follows from the run and their PLC's health are told again when these change.
    const bool runChanged = run.running != m_running;
    m_running = run.running;
    std::vector<std::string> plcsChanged;
    for (const app::PlcInfo& plc : m_service.Plcs()) {
        const QString name = QString::fromStdString(plc.name);
        PlcNode node;
        node.name = plc.name;
        node.connected = plc.connected;
        node.answered = plc.answered;
        node.lastError = plc.lastError;
        node.errors = text(name + QStringLiteral(".Errors")).toULongLong();
        node.passMs = static_cast<std::int64_t>(text(name + QStringLiteral(".PassMs")).toDouble());
        m_core->SetPlc(node, now);
        auto [state, added] = m_plcStates.try_emplace(plc.name, plc.connected, plc.answered);
        if (!added && state->second != std::pair(plc.connected, plc.answered)) {
            plcsChanged.push_back(plc.name);
        }
        state->second = { plc.connected, plc.answered };
    }
    if (runChanged || !plcsChanged.empty()) {
        std::vector<ItemSample> samples;
        for (const app::ItemInfo& item : m_service.Items()) {
            if (runChanged || std::find(plcsChanged.begin(), plcsChanged.end(), item.plc) != plcsChanged.end()) {
                samples.push_back(Sample(m_service.State(item.index)));
            }
        }
        m_core->SetValues(samples, now);
    }
    Flush();
}

} // namespace tavrel::opcua
