#include "mqtt/MqttBridge.h"

#include "mqtt/MqttConnection.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <utility>

namespace tavrel::mqtt {

namespace {

/// Pokes and commands from the broker: whoever may publish there is trusted as an operator.
const app::Caller kMqttCaller { .surface = app::Surface::Mqtt, .user = {}, .peer = {}, .role = app::Role::Operator };

} // namespace

tl::expected<void, std::string> ApplyMqttOptions(MqttBridge& bridge, const common::MqttOptions& options)
{
    if (options.Broker.empty()) {
        bridge.Stop();
        return {};
    }
    return MakeMqttConfig(options).and_then([&bridge](MqttConfig config) { return bridge.Start(std::move(config)); });
}

MqttBridge::MqttBridge(app::ItemService& items, QObject* parent)
    : QObject(parent)
    , m_items(items)
{
    m_stateText = QStringLiteral("MQTT: off");
    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, &MqttBridge::PublishDiagnostics);
    // The changes of a pass leave at its end, each label once with the pass's last value, and the diagnostics
    // that changed with them.
    connect(&m_items, &app::ItemService::changed, this, &MqttBridge::PublishChanges);
    connect(&m_items, &app::ItemService::passFinished, this, &MqttBridge::PublishDiagnostics);
    connect(&m_items, &app::ItemService::itemRemoved, this, &MqttBridge::ItemRemoved);
    // Between passes (a run starts or stops, a PLC is removed) they leave as soon as the events are handled.
    const auto soon = [this] {
        if (!m_flushTimer.isActive()) {
            m_flushTimer.start(0);
        }
    };
    connect(&m_items, &app::ItemService::systemChanged, this, soon);
    connect(&m_items, &app::ItemService::projectChanged, this, soon);
    connect(&m_items, &app::ItemService::projectChanged, this, [this] { m_payloadItemsStale = true; });
    connect(&m_items, &app::ItemService::passFinished, this, &MqttBridge::RenewQueueItems);
    connect(&m_republishTimer, &QTimer::timeout, this, &MqttBridge::Republish);
    m_replayTimer.setSingleShot(true);
    connect(&m_replayTimer, &QTimer::timeout, this, &MqttBridge::ReplayNext);
}

MqttBridge::~MqttBridge()
{
    Stop();
}

tl::expected<void, std::string> MqttBridge::Start(MqttConfig config)
{
    Stop();
    MqttMessage will {
        .topic = UnderPrefix(config.prefix, kStatusTopic), .payload = std::string(kOffline), .retained = true, .plc = {}
    };
    std::vector<std::string> subscriptions = InboundSubscriptions(config.prefix);
    MqttConnectionListener& listener = *this;
    auto connection
        = std::make_unique<MqttConnection>(std::move(config), std::move(will), std::move(subscriptions), listener);
    if (auto started = connection->Start(); !started) {
        return started;
    }
    m_connection = std::move(connection);
    const MqttConfig& started = m_connection->Config();
    if (started.payload == PayloadFormat::Json && !started.bufferFile.empty()) {
        m_queue = std::make_unique<MqttQueue>(started.bufferFile, started.bufferBytes);
    }
    if (started.republishSeconds > 0) {
        // Each second, the values not published for the period: a heartbeat within a second of it.
        m_republishTimer.start(1000);
    }
    m_payloadItemsStale = true;
    return {};
}

void MqttBridge::Stop()
{
    if (!m_connection) {
        return;
    }
    if (m_connection->Connected() || m_queue) {
        m_items.Flush(); // what changed since the last pass: a run just stopped, the last pokes
        PublishDiagnostics();
    }
    m_connection.reset(); // it sends what it was handed, then "offline", and leaves the broker
    m_queue.reset(); // it writes what it was handed
    m_batch.clear();
    m_republishTimer.stop();
    m_replayTimer.stop();
    m_replaying = false;
    SetState(BrokerState::Off, "");
}

void MqttBridge::ConnectionStateChanged(BrokerState state, const std::string& detail)
{
    SetState(state, detail);
    if (state == BrokerState::Connected) {
        StartReplay();
    }
}

void MqttBridge::ConnectionCaughtUp()
{
    StartReplay();
}

void MqttBridge::SetState(BrokerState state, const std::string& detail)
{
    QString text;
    const QString broker = m_connection ? QString::fromStdString("MQTT broker " + m_connection->Config().BrokerText())
                                        : QStringLiteral("MQTT");
    switch (state) {
    case BrokerState::Off:
        text = QStringLiteral("MQTT: off");
        break;
    case BrokerState::Connecting:
        text = broker + QStringLiteral(": connecting");
        break;
    case BrokerState::Connected:
        text = broker + QStringLiteral(": connected");
        break;
    case BrokerState::Disconnected:
        text = broker + QStringLiteral(": not connected ") + QString::fromStdString(detail);
        break;
    case BrokerState::Refused:
        text = broker + QStringLiteral(": refused the login ") + QString::fromStdString(detail);
        break;
    }
    // A retry that fails the same way as the one before is no change of state worth a line.
    if (state == m_state && text == m_stateText) {
        return;
    }
    if (state == BrokerState::Connecting && (m_state == BrokerState::Disconnected || m_state == BrokerState::Refused)) {
        return;
    }
    m_state = state;
    m_stateText = text;
    m_items.Events().Add(app::EventKind::Broker, text);
    emit stateChanged(state, text);
}

void MqttBridge::ItemRemoved(std::int32_t index)
{
    // The retained value of a removed item would outlive it in the broker: an empty retained message clears it.
    Clear(ItemTopic(index));
    HandOver();
}

void MqttBridge::PublishChanges(const std::vector<app::ItemChange>& changes)
{
    m_flushTimer.stop();
    QueueChanges(changes);
    QueueDiagnostics(false);
    HandOver();
}

void MqttBridge::PublishDiagnostics()
{
    m_flushTimer.stop();
    QueueDiagnostics(false);
    HandOver();
}

void MqttBridge::QueueChanges(const std::vector<app::ItemChange>& changes)
{
    if (!m_connection) {
        return;
    }
    if (!Connected() || m_connection->Congested()) {
        // All is published again on the next connection, or once the broker caught up; with json payloads every
        // change is kept till then.
        if (m_queue) {
            std::vector<MqttMessage> kept;
            kept.reserve(changes.size());
            for (const app::ItemChange& change : changes) {
                const auto at = static_cast<std::size_t>(change.index);
                kept.push_back(
                    MqttMessage { .topic = UnderPrefix(m_connection->Config().prefix, ItemTopic(change.index)),
                                  .payload = Payload(change), // brings the items' PLCs up to date
                                  .retained = true,
                                  .plc = at < m_payloadItems.size() ? m_payloadItems[at].plc : std::string() });
            }
            m_queue->Append(std::move(kept));
        }
        return;
    }
    m_batch.reserve(m_batch.size() + changes.size());
    for (const app::ItemChange& change : changes) {
        Publish(ItemTopic(change.index), Payload(change), true);
    }
}

void MqttBridge::PublishAll()
{
    if (!Connected()) {
        return;
    }
    m_flushTimer.stop();
    Publish(kStatusTopic, kOnline, true);
    for (const std::string& topic : std::exchange(m_toClear, {})) {
        Publish(topic, {}, true);
    }
    for (std::int32_t index = 1; index <= m_items.HighestIndex(); ++index) {
        if (m_items.Exists(index)) {
            Publish(ItemTopic(index), Payload(m_items.State(index)), true);
        }
    }
    QueueDiagnostics(true);
    HandOver();
}

std::map<std::string, std::string> MqttBridge::Diagnostics() const
{
    std::map<std::string, std::string> topics;
    for (const auto& [name, value] : m_items.System().Items()) {
        if (auto topic = DiagnosticTopic(name.toStdString())) {
            topics.emplace(std::move(*topic), value.toStdString());
        }
    }
    for (const app::PlcInfo& plc : m_items.Plcs()) {
        const std::string topic = PlcConnectedTopic(plc.name);
        if (m_items.IsRunning()) {
            // A PLC whose channel would not open again stays marked connected until its next read fails.
            topics[topic] = plc.connected && plc.lastError.empty() ? "1" : "0";
        } else if (const auto told = m_diagnostics.find(topic); told != m_diagnostics.end()) {
            topics[topic] = told->second; // between runs a PLC keeps the state it was last known in
        }
    }
    return topics;
}

void MqttBridge::QueueDiagnostics(bool all)
{
    std::map<std::string, std::string> current = Diagnostics();
    // A removed PLC's topics are cleared, whether the broker is there now or not.
    for (const auto& [topic, value] : m_diagnostics) {
        if (!current.contains(topic)) {
            Clear(topic);
        }
    }
    if (Connected()) {
        for (const auto& [topic, value] : current) {
            const auto told = m_diagnostics.find(topic);
            if (all || told == m_diagnostics.end() || told->second != value) {
                Publish(topic, value, true);
            }
        }
        m_diagnostics = std::move(current);
    } else {
        // Only what is gone is forgotten: the rest goes out on the next connection.
        std::erase_if(m_diagnostics, [&current](const auto& told) { return !current.contains(told.first); });
    }
}

void MqttBridge::MessagesReceived(std::deque<MqttMessage> messages, std::size_t dropped)
{
    if (dropped != 0) {
        PublishError({}, {},
                     std::to_string(dropped) + " pokes or commands were dropped: more than "
                         + std::to_string(MqttConnection::kMaxWaitingMessages) + " were waiting");
    }
    for (const MqttMessage& message : messages) {
        // A poke or command can end this connection (a command that replaces it); the rest then go with it.
        if (!m_connection) {
            return;
        }
        HandleMessage(message);
    }
}

void MqttBridge::HandleMessage(const MqttMessage& message)
{
    const auto inbound = ParseInboundTopic(m_connection->Config().prefix, message.topic);
    if (!inbound) {
        return; // not a topic of ours
    }
    const std::string item = inbound->execute ? std::string(kExecuteTopic) : inbound->item;
    if (message.retained) {
        // A retained poke or command would be carried out again at every connection, long after it was meant.
        PublishError(item, message.payload, "a retained poke or command is not carried out; publish it without retain");
        return;
    }
    if (message.payload.size() > MqttConnection::kMaxPayloadBytes) {
        PublishError(item, {}, "longer than " + std::to_string(MqttConnection::kMaxPayloadBytes) + " bytes");
        return;
    }
    if (inbound->execute) {
        if (const auto refusal = m_items.Execute(kMqttCaller, message.payload)) {
            PublishError(item, message.payload, refusal->reason);
        }
        return;
    }
    // A label name is taken as it is (the poke says whether it is an item); anything else must be a tag name.
    auto index = model::ParseLabelName(item);
    if (!index) {
        index = m_items.Find(item);
    }
    if (!index) {
        PublishError(item, message.payload, "'" + item + "' is no item name (lblDDE(n) or an item's tag name)");
        return;
    }
    if (const auto refusal = m_items.Poke(kMqttCaller, *index, message.payload)) {
        PublishError(model::LabelName(*index), message.payload, refusal->reason);
    }
}

void MqttBridge::PublishError(const std::string& item, const std::string& value, const std::string& reason)
{
    QJsonObject error;
    error.insert(QStringLiteral("item"), QString::fromStdString(item));
    error.insert(QStringLiteral("value"), QString::fromStdString(value));
    error.insert(QStringLiteral("reason"), QString::fromStdString(reason));
    Publish(kErrorsTopic, QJsonDocument(error).toJson(QJsonDocument::Compact).toStdString(), false);
    HandOver();
}

bool MqttBridge::Connected() const
{
    return m_connection && m_connection->Connected();
}

void MqttBridge::Clear(const std::string& topicUnderPrefix)
{
    // Cleared with the next hand-over when connected, or else first thing on the next connection.
    if (!m_connection) {
        return;
    }
    if (m_connection->Connected()) {
        Publish(topicUnderPrefix, {}, true);
    } else {
        m_toClear.insert(topicUnderPrefix);
    }
}

void MqttBridge::Publish(std::string_view topicUnderPrefix, std::string_view payload, bool retain)
{
    if (!Connected()) {
        return;
    }
    MqttMessage& message = m_batch.emplace_back();
    message.topic = UnderPrefix(m_connection->Config().prefix, topicUnderPrefix);
    message.payload.assign(payload);
    message.retained = retain;
}

void MqttBridge::HandOver()
{
    if (m_batch.empty()) {
        return;
    }
    if (!Connected()) {
        m_batch.clear();
        return;
    }
    m_connection->Send(m_batch);
}

} // namespace tavrel::mqtt
