#include "mqtt/MqttBridge.h"

#include "mqtt/MosquittoClient.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

namespace tavrel::mqtt {

namespace {

constexpr int kKeepAliveSeconds = 15;
constexpr int kFirstRetrySeconds = 1;
constexpr int kLastRetrySeconds = 30;
constexpr auto kConnectTimeout = std::chrono::seconds(10);
/// How long leaving a broker may take: the "offline" message and the disconnect are sent in that time or never.
constexpr auto kLeaveTimeout = std::chrono::seconds(2);
/// Pokes and commands waiting for the main thread; more are dropped (and reported) rather than kept.
constexpr std::size_t kMaxWaitingMessages = 10000;
constexpr std::size_t kMaxPayloadBytes = 64 * 1024;
/// Messages handed to the client library and not yet written (QoS 0) or acknowledged (QoS 1). A broker that
/// stops taking messages is not fed more: changes are dropped and all is published again once it caught up.
constexpr std::int64_t kMaxOutstanding = 50000;

/// An item name "lblDDE(7)", in any letter case, as its label index.
std::optional<std::int32_t> ParseItemName(std::string_view name)
{
    constexpr std::string_view kHead = "lbldde(";
    if (name.size() < kHead.size() + 2 || name.back() != ')') {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < kHead.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(name[i])) != kHead[i]) {
            return std::nullopt;
        }
    }
    const std::string_view digits = name.substr(kHead.size(), name.size() - kHead.size() - 1);
    if (digits.size() > 5 || (digits.size() > 1 && digits.front() == '0')) {
        return std::nullopt;
    }
    std::int32_t index = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        index = index * 10 + (c - '0');
    }
    if (index > model::LabelArray::kMaxIndex) {
        return std::nullopt;
    }
    return index;
}

} // namespace

tl::expected<void, std::string> ApplyMqttOptions(MqttBridge& bridge, const common::MqttOptions& options)
{
    if (options.Broker.empty()) {
        bridge.Stop();
        return {};
    }
    return MakeMqttConfig(options).and_then([&bridge](MqttConfig config) { return bridge.Start(std::move(config)); });
}

std::string TopicLevel(const std::string& name)
{
    const QByteArray text = QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())).toUtf8();
    std::string level;
    level.reserve(static_cast<std::size_t>(text.size()));
    constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '%' || c == '/' || c == '+' || c == '#' || byte < 0x20 || byte == 0x7f) {
            level += '%';
            level += kHex[byte >> 4];
            level += kHex[byte & 0xf];
        } else {
            level += c;
        }
    }
    return level;
}

/// One connection to a broker and the thread that drives it. The thread owns the network; the bridge's thread
/// publishes through the client library (which locks for it) and gets everything else through queued calls.
struct MqttBridge::Connection
{
    Connection(MqttBridge& owner, MqttConfig configuration)
        : bridge(&owner)
        , config(std::move(configuration))
        , client(config.clientId, this)
    {
    }

    /// Runs `work` on the bridge's thread, unless this connection has been replaced or stopped by then.
    void Post(std::function<void(MqttBridge&)> work)
    {
        MqttBridge* target = bridge;
        QMetaObject::invokeMethod(
            target,
            [target, self = this, work = std::move(work)] {
                if (target->m_connection.get() == self) {
                    work(*target);
                }
            },
            Qt::QueuedConnection);
    }

    void PostState(BrokerState state, std::string detail)
    {
        Post([state, detail = std::move(detail)](MqttBridge& b) { b.SetState(state, detail); });
    }

    void Run();
    void WaitBeforeRetry(int seconds);
    bool Stopping() const { return stopping.load(); }

    static void OnConnect(mosquitto* mosq, void* self, int code);
    static void OnDisconnect(mosquitto*, void* self, int);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnPublish(mosquitto*, void* self, int);

    MqttBridge* bridge;
    MqttConfig config;
    MosquittoClient client;
    std::thread thread;

    std::atomic<bool> stopping { false };
    std::atomic<bool> connected { false };
    std::atomic<bool> behind { false };
    std::atomic<std::int64_t> outstanding { 0 };

    std::mutex mutex; // guards what follows
    std::condition_variable wake;
    std::deque<Message> inbox;
    bool drainPosted = false;
    std::size_t dropped = 0;

    // The thread's own.
    int retrySeconds = kFirstRetrySeconds;
    std::optional<std::string> refusal;
    bool answered = false;
};

void MqttBridge::Connection::OnConnect(mosquitto* mosq, void* self, int code)
{
    auto& connection = *static_cast<Connection*>(self);
    connection.answered = true;
    if (code != 0) {
        connection.refusal = mosquitto_connack_string(code);
        return;
    }
    connection.retrySeconds = kFirstRetrySeconds;
    connection.outstanding = 0;
    connection.behind = false;
    const std::string items = connection.config.prefix + "/items/+/set";
    const std::string execute = connection.config.prefix + "/execute";
    mosquitto_subscribe(mosq, nullptr, items.c_str(), connection.config.qos);
    mosquitto_subscribe(mosq, nullptr, execute.c_str(), connection.config.qos);
    connection.connected = true;
    connection.Post([](MqttBridge& b) { b.OnConnected(); });
}

void MqttBridge::Connection::OnDisconnect(mosquitto*, void* self, int)
{
    static_cast<Connection*>(self)->connected = false;
}

void MqttBridge::Connection::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    auto& connection = *static_cast<Connection*>(self);
    Message copy;
    copy.topic = message->topic != nullptr ? message->topic : "";
    if (message->payloadlen > 0) {
        const auto length = std::min(static_cast<std::size_t>(message->payloadlen), kMaxPayloadBytes + 1);
        copy.payload.assign(static_cast<const char*>(message->payload), length);
    }
    copy.retained = message->retain;
    std::lock_guard lock(connection.mutex);
    if (connection.inbox.size() >= kMaxWaitingMessages) {
        ++connection.dropped;
        return;
    }
    connection.inbox.push_back(std::move(copy));
    if (!connection.drainPosted) {
        connection.drainPosted = true;
        connection.Post([](MqttBridge& b) { b.HandleMessages(); });
    }
}

void MqttBridge::Connection::OnPublish(mosquitto*, void* self, int)
{
    auto& connection = *static_cast<Connection*>(self);
    // Never below zero: the count starts again at each connection, while messages of the one before may still
    // be acknowledged.
    std::int64_t current = connection.outstanding.load();
    while (current > 0 && !connection.outstanding.compare_exchange_weak(current, current - 1)) { }
    if (current <= 1 && connection.behind.exchange(false)) {
        connection.Post([](MqttBridge& b) { b.PublishAll(); });
    }
}

void MqttBridge::Connection::WaitBeforeRetry(int seconds)
{
    std::unique_lock lock(mutex);
    wake.wait_for(lock, std::chrono::seconds(seconds), [this] { return Stopping(); });
}

void MqttBridge::Connection::Run()
{
    mosquitto* mosq = client.Get();
    while (!Stopping()) {
        refusal.reset();
        answered = false;
        PostState(BrokerState::Connecting, "");
        int code = mosquitto_connect_async(mosq, config.host.c_str(), config.port, kKeepAliveSeconds);
        int errorNumber = errno;
        bool timedOut = false;
        const auto started = std::chrono::steady_clock::now();
        std::optional<std::chrono::steady_clock::time_point> leaving;
        while (code == MOSQ_ERR_SUCCESS) {
            code = mosquitto_loop(mosq, 100, 1);
            errorNumber = errno;
            const auto now = std::chrono::steady_clock::now();
            if (Stopping()) {
                // The bridge has queued "offline" and the disconnect: let them go out, for a while at most.
                if (!leaving) {
                    leaving = now;
                } else if (now - *leaving > kLeaveTimeout) {
                    break;
                }
            } else if (!answered && now - started > kConnectTimeout) {
                timedOut = true;
                break;
            }
        }
        connected = false;
        if (Stopping()) {
            break;
        }
        mosquitto_disconnect(mosq);
        std::string reason;
        if (refusal) {
            reason = *refusal;
        } else if (timedOut) {
            reason = "no answer within " + std::to_string(kConnectTimeout.count()) + " s";
        } else {
            reason = MosquittoErrorText(code, errorNumber);
        }
        PostState(refusal ? BrokerState::Refused : BrokerState::Disconnected,
                  "(" + reason + "); next attempt in " + std::to_string(retrySeconds) + " s");
        WaitBeforeRetry(retrySeconds);
        retrySeconds = std::min(retrySeconds * 2, kLastRetrySeconds);
    }
}

MqttBridge::MqttBridge(app::Program& program, QObject* parent)
    : QObject(parent)
    , m_program(program)
{
    m_stateText = QStringLiteral("MQTT: off");
    m_program.Labels().AddObserver(this);
    m_flushTimer.setSingleShot(true);
    connect(&m_flushTimer, &QTimer::timeout, this, &MqttBridge::PublishChanges);
    // The changes of a pass leave at its end, each label once with the pass's last value.
    connect(&m_program, &app::Program::passFinished, this, [this] {
        PublishChanges();
        PublishPlcStates(false);
    });
    connect(&m_program, &app::Program::projectChanged, this, &MqttBridge::ForgetRemovedPlcs);
}

MqttBridge::~MqttBridge()
{
    Stop();
    m_program.Labels().RemoveObserver(this);
}

tl::expected<void, std::string> MqttBridge::Start(MqttConfig config)
{
    Stop();
    auto connection = std::make_unique<Connection>(*this, std::move(config));
    mosquitto* mosq = connection->client.Get();
    if (mosq == nullptr) {
        return tl::make_unexpected(std::string("the MQTT client library could not make a client"));
    }
    const MqttConfig& c = connection->config;
    mosquitto_threaded_set(mosq, true);
    mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq, &Connection::OnConnect);
    mosquitto_disconnect_callback_set(mosq, &Connection::OnDisconnect);
    mosquitto_message_callback_set(mosq, &Connection::OnMessage);
    mosquitto_publish_callback_set(mosq, &Connection::OnPublish);
    const std::string status = c.prefix + "/status";
    constexpr std::string_view kOffline = "offline";
    int code
        = mosquitto_will_set(mosq, status.c_str(), static_cast<int>(kOffline.size()), kOffline.data(), c.qos, true);
    if (code == MOSQ_ERR_SUCCESS && !c.user.empty()) {
        code = mosquitto_username_pw_set(mosq, c.user.c_str(), c.password.empty() ? nullptr : c.password.c_str());
    }
    if (code == MOSQ_ERR_SUCCESS && !c.caFile.empty()) {
        code = mosquitto_tls_set(mosq, c.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    if (code != MOSQ_ERR_SUCCESS) {
        return tl::make_unexpected("cannot set up the MQTT client: " + MosquittoErrorText(code, errno));
    }
    m_connection = std::move(connection);
    Connection* running = m_connection.get();
    running->thread = std::thread([running] { running->Run(); });
    return {};
}

void MqttBridge::Stop()
{
    if (!m_connection) {
        return;
    }
    std::unique_ptr<Connection> connection = std::move(m_connection);
    mosquitto* mosq = connection->client.Get();
    if (connection->connected) {
        const std::string status = connection->config.prefix + "/status";
        constexpr std::string_view kOffline = "offline";
        mosquitto_publish(mosq, nullptr, status.c_str(), static_cast<int>(kOffline.size()), kOffline.data(),
                          connection->config.qos, true);
    }
    mosquitto_disconnect(mosq);
    {
        std::lock_guard lock(connection->mutex);
        connection->stopping = true;
    }
    connection->wake.notify_all();
    connection->thread.join();
    m_changed.clear();
    std::fill(m_isChanged.begin(), m_isChanged.end(), false);
    SetState(BrokerState::Off, "");
}

void MqttBridge::SetState(BrokerState state, const std::string& detail)
{
    QString text;
    const QString broker = m_connection ? QString::fromStdString("MQTT broker " + m_connection->config.BrokerText())
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
    emit stateChanged(state, text);
}

void MqttBridge::OnConnected()
{
    SetState(BrokerState::Connected, "");
    PublishAll();
}

void MqttBridge::LabelTextChanged(std::int32_t index, const std::string&)
{
    if (!m_connection) {
        return;
    }
    const auto position = static_cast<std::size_t>(index);
    if (m_isChanged.size() <= position) {
        m_isChanged.resize(position + 1, false);
    }
    if (!m_isChanged[position]) {
        m_isChanged[position] = true;
        m_changed.push_back(index);
    }
    if (!m_flushTimer.isActive()) {
        m_flushTimer.start(0);
    }
}

void MqttBridge::LabelUnloaded(std::int32_t index)
{
    // The retained value of a removed item would outlive it in the broker: an empty retained message clears it.
    Clear("items/" + model::LabelName(index));
}

void MqttBridge::PublishChanges()
{
    m_flushTimer.stop();
    std::vector<std::int32_t> changed = std::exchange(m_changed, {});
    for (const std::int32_t index : changed) {
        m_isChanged[static_cast<std::size_t>(index)] = false;
    }
    if (!m_connection || !m_connection->connected) {
        return; // all is published again on the next connection
    }
    if (m_connection->outstanding.load() > kMaxOutstanding) {
        m_connection->behind = true;
        return;
    }
    const model::LabelArray& labels = m_program.Labels();
    for (const std::int32_t index : changed) {
        if (labels.IsLoaded(index)) {
            Publish("items/" + model::LabelName(index), labels.Text(index), true);
        }
    }
}

void MqttBridge::PublishAll()
{
    if (!m_connection || !m_connection->connected) {
        return;
    }
    m_flushTimer.stop();
    for (const std::int32_t index : std::exchange(m_changed, {})) {
        m_isChanged[static_cast<std::size_t>(index)] = false;
    }
    Publish("status", "online", true);
    for (const std::string& topic : std::exchange(m_toClear, {})) {
        Publish(topic, {}, true);
    }
    const model::LabelArray& labels = m_program.Labels();
    for (std::int32_t index = 1; index <= labels.HighestIndex(); ++index) {
        if (labels.IsLoaded(index)) {
            Publish("items/" + model::LabelName(index), labels.Text(index), true);
        }
    }
    PublishPlcStates(true);
}

void MqttBridge::PublishPlcStates(bool all)
{
    if (!m_connection || !m_connection->connected) {
        return;
    }
    if (all) {
        for (const auto& [level, connected] : m_plcStates) {
            Publish("plcs/" + level + "/connected", connected ? "1" : "0", true);
        }
        if (!m_program.IsRunning()) {
            return;
        }
    }
    for (const auto& plc : m_program.Project().colPlcs()) {
        // A PLC whose channel would not open again stays marked connected until its next read fails.
        const bool connected = plc->Connected && plc->LastError.empty();
        const std::string level = TopicLevel(plc->Name);
        const auto known = m_plcStates.find(level);
        if (known != m_plcStates.end() && known->second == connected) {
            continue;
        }
        m_plcStates[level] = connected;
        Publish("plcs/" + level + "/connected", connected ? "1" : "0", true);
    }
}

void MqttBridge::ForgetRemovedPlcs()
{
    for (auto it = m_plcStates.begin(); it != m_plcStates.end();) {
        const bool present = std::any_of(m_program.Project().colPlcs().begin(), m_program.Project().colPlcs().end(),
                                         [&](const auto& plc) { return TopicLevel(plc->Name) == it->first; });
        if (present) {
            ++it;
        } else {
            Clear("plcs/" + it->first + "/connected");
            it = m_plcStates.erase(it);
        }
    }
}

void MqttBridge::HandleMessages()
{
    std::deque<Message> messages;
    std::size_t dropped = 0;
    {
        std::lock_guard lock(m_connection->mutex);
        messages.swap(m_connection->inbox);
        m_connection->drainPosted = false;
        dropped = std::exchange(m_connection->dropped, 0);
    }
    if (dropped != 0) {
        PublishError({}, {},
                     std::to_string(dropped) + " pokes or commands were dropped: more than "
                         + std::to_string(kMaxWaitingMessages) + " were waiting");
    }
    for (const Message& message : messages) {
        // A poke or command can end this connection (a command that replaces it); the rest then go with it.
        if (!m_connection) {
            return;
        }
        HandleMessage(message);
    }
}

void MqttBridge::HandleMessage(const Message& message)
{
    const std::string& prefix = m_connection->config.prefix;
    const std::string itemsHead = prefix + "/items/";
    constexpr std::string_view kSetTail = "/set";
    const bool isExecute = message.topic == prefix + "/execute";
    std::string item = isExecute ? std::string("execute") : std::string();
    if (!isExecute) {
        if (message.topic.size() <= itemsHead.size() + kSetTail.size() || !message.topic.starts_with(itemsHead)
            || !message.topic.ends_with(kSetTail)) {
            return; // not a topic of ours
        }
        item = message.topic.substr(itemsHead.size(), message.topic.size() - itemsHead.size() - kSetTail.size());
    }
    if (message.retained) {
        // A retained poke or command would be carried out again at every connection, long after it was meant.
        PublishError(item, message.payload, "a retained poke or command is not carried out; publish it without retain");
        return;
    }
    if (message.payload.size() > kMaxPayloadBytes) {
        PublishError(item, {}, "longer than " + std::to_string(kMaxPayloadBytes) + " bytes");
        return;
    }
    if (isExecute) {
        m_program.Execute(message.payload);
        return;
    }
    const auto index = ParseItemName(item);
    if (!index) {
        PublishError(item, message.payload, "'" + item + "' is no item name (lblDDE(n))");
        return;
    }
    if (const auto refusal = m_program.Poke(*index, message.payload)) {
        PublishError(model::LabelName(*index), message.payload, refusal->reason);
    }
}

void MqttBridge::PublishError(const std::string& item, const std::string& value, const std::string& reason)
{
    QJsonObject error;
    error.insert(QStringLiteral("item"), QString::fromStdString(item));
    error.insert(QStringLiteral("value"), QString::fromStdString(value));
    error.insert(QStringLiteral("reason"), QString::fromStdString(reason));
    Publish("errors", QJsonDocument(error).toJson(QJsonDocument::Compact).toStdString(), false);
}

void MqttBridge::Clear(const std::string& topicUnderPrefix)
{
    // Cleared at once when connected, or else first thing on the next connection.
    if (!m_connection) {
        return;
    }
    if (m_connection->connected) {
        Publish(topicUnderPrefix, {}, true);
    } else {
        m_toClear.insert(topicUnderPrefix);
    }
}

void MqttBridge::Publish(const std::string& topicUnderPrefix, const std::string& payload, bool retain)
{
    if (!m_connection || !m_connection->connected) {
        return;
    }
    const std::string topic = m_connection->config.prefix + "/" + topicUnderPrefix;
    const int code
        = mosquitto_publish(m_connection->client.Get(), nullptr, topic.c_str(), static_cast<int>(payload.size()),
                            payload.data(), m_connection->config.qos, retain);
    if (code == MOSQ_ERR_SUCCESS) {
        ++m_connection->outstanding;
    }
}

} // namespace tavrel::mqtt
