#include "mqtt/MqttBridge.h"

#include "mqtt/MosquittoClient.h"
#include "mqtt/MqttTopics.h"
#include "mqtt/TcpCork.h"
#include "mqtt/WakeFd.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <mosquitto.h>

#include <poll.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <iterator>
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

/// One connection to a broker and the thread that drives it. The thread owns the network: the bridge's thread
/// hands it whole batches of messages (a pass's changes at once, one wake-up for all), and gets back what
/// arrives through queued calls.
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

    /// Hands `batch` to the thread, leaving it empty; sent in order after what was handed before.
    void Send(std::vector<Message>& batch)
    {
        outstanding += static_cast<std::int64_t>(batch.size());
        {
            std::lock_guard lock(mutex);
            if (outbox.empty()) {
                outbox.swap(batch);
            } else {
                std::move(batch.begin(), batch.end(), std::back_inserter(outbox));
                batch.clear();
            }
        }
        wakeFd.Wake();
    }

    /// One message less outstanding, never below zero: the count starts again at each connection, while messages
    /// of the one before may still be acknowledged. Returns the count before.
    std::int64_t CountOneOut()
    {
        std::int64_t current = outstanding.load();
        while (current > 0 && !outstanding.compare_exchange_weak(current, current - 1)) { }
        return current;
    }

    void Run();
    int Serve(int& errorNumber);
    /// Publishes and writes `batch`, leaving it empty; a libmosquitto result code.
    int PublishBatch(std::vector<Message>& batch);
    int WriteCorked();
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

    WakeFd wakeFd;

    std::mutex mutex; // guards what follows
    std::condition_variable wake;
    std::deque<Message> inbox;
    std::vector<Message> outbox;
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
    for (const std::string& topic : InboundSubscriptions(connection.config.prefix)) {
        mosquitto_subscribe(mosq, nullptr, topic.c_str(), connection.config.qos);
    }
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
    if (connection.CountOneOut() <= 1 && connection.behind.exchange(false)) {
        connection.Post([](MqttBridge& b) { b.PublishAll(); });
    }
}

int MqttBridge::Connection::Serve(int& errorNumber)
{
    // libmosquitto's own loop reads a byte of its wake-up pipe per turn, and each publication writes one: a pass
    // of a thousand changes would wake it a thousand times. Here a batch wakes it once and is written a slice at a
    // time with the socket corked (a segment per slice rather than per message); the library's pipe is left alone.
    mosquitto* mosq = client.Get();
    std::vector<Message> batch;
    std::optional<std::chrono::steady_clock::time_point> leaveBy;
    while (true) {
        {
            std::lock_guard lock(mutex);
            batch.swap(outbox);
        }
        int code = PublishBatch(batch);
        if (code == MOSQ_ERR_SUCCESS && Stopping() && !leaveBy) {
            // Whatever was handed over, then "offline" and the disconnect, for a while at most.
            const std::string status = UnderPrefix(config.prefix, kStatusTopic);
            mosquitto_publish(mosq, nullptr, status.c_str(), static_cast<int>(kOffline.size()), kOffline.data(),
                              config.qos, true);
            mosquitto_disconnect(mosq);
            leaveBy = std::chrono::steady_clock::now() + kLeaveTimeout;
        }
        if (code == MOSQ_ERR_SUCCESS && mosquitto_want_write(mosq)) {
            code = WriteCorked();
        }
        const int socket = mosquitto_socket(mosq);
        if (code != MOSQ_ERR_SUCCESS || socket == -1) {
            errorNumber = errno;
            return code != MOSQ_ERR_SUCCESS || leaveBy ? code : MOSQ_ERR_CONN_LOST;
        }
        int timeoutMs = 1000;
        if (leaveBy) {
            const auto left
                = std::chrono::duration_cast<std::chrono::milliseconds>(*leaveBy - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return MOSQ_ERR_SUCCESS;
            }
            timeoutMs = std::min(timeoutMs, static_cast<int>(left.count()));
        }
        std::array<pollfd, 2> watched { {
            { socket, static_cast<short>(POLLIN | (mosquitto_want_write(mosq) ? POLLOUT : 0)), 0 },
            { wakeFd.Get(), POLLIN, 0 },
        } };
        if (::poll(watched.data(), watched.size(), timeoutMs) == -1 && errno != EINTR) {
            errorNumber = errno;
            return MOSQ_ERR_ERRNO;
        }
        if ((watched[1].revents & POLLIN) != 0) {
            wakeFd.Drain();
        }
        if ((watched[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            code = mosquitto_loop_read(mosq, 1);
        }
        if (code == MOSQ_ERR_SUCCESS && (watched[0].revents & POLLOUT) != 0) {
            code = WriteCorked();
        }
        if (code == MOSQ_ERR_SUCCESS) {
            code = mosquitto_loop_misc(mosq); // keep-alive
        }
        if (code != MOSQ_ERR_SUCCESS) {
            errorNumber = errno;
            return code;
        }
    }
}

int MqttBridge::Connection::PublishBatch(std::vector<Message>& batch)
{
    // Written a slice at a time, so that the broker starts on the first messages while the rest are made.
    constexpr std::size_t kSlice = 64;
    mosquitto* mosq = client.Get();
    int code = MOSQ_ERR_SUCCESS;
    for (std::size_t first = 0; first < batch.size() && code == MOSQ_ERR_SUCCESS; first += kSlice) {
        const std::size_t end = std::min(batch.size(), first + kSlice);
        for (std::size_t i = first; i < end; ++i) {
            const Message& message = batch[i];
            if (mosquitto_publish(mosq, nullptr, message.topic.c_str(), static_cast<int>(message.payload.size()),
                                  message.payload.data(), config.qos, message.retained)
                != MOSQ_ERR_SUCCESS) {
                CountOneOut();
            }
        }
        code = WriteCorked();
    }
    batch.clear();
    return code;
}

int MqttBridge::Connection::WriteCorked()
{
    mosquitto* mosq = client.Get();
    const TcpCork cork(mosquitto_socket(mosq));
    return mosquitto_loop_write(mosq, 1);
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
        {
            // What was handed over for the connection before is not sent on this one: all is published again.
            std::lock_guard lock(mutex);
            outbox.clear();
        }
        PostState(BrokerState::Connecting, "");
        int code = mosquitto_connect_async(mosq, config.host.c_str(), config.port, kKeepAliveSeconds);
        int errorNumber = errno;
        bool timedOut = false;
        const auto started = std::chrono::steady_clock::now();
        // The library's loop until the broker answered the login (it knows the way through TLS and connecting
        // sockets), then the connection's own.
        while (code == MOSQ_ERR_SUCCESS && !Stopping()) {
            if (connected) {
                code = Serve(errorNumber);
                break;
            }
            code = mosquitto_loop(mosq, 100, 1);
            errorNumber = errno;
            if (!answered && std::chrono::steady_clock::now() - started > kConnectTimeout) {
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
}

MqttBridge::~MqttBridge()
{
    Stop();
}

tl::expected<void, std::string> MqttBridge::Start(MqttConfig config)
{
    Stop();
    auto connection = std::make_unique<Connection>(*this, std::move(config));
    mosquitto* mosq = connection->client.Get();
    if (mosq == nullptr) {
        return tl::make_unexpected(std::string("the MQTT client library could not make a client"));
    }
    if (!connection->wakeFd) {
        return tl::make_unexpected("cannot set up the MQTT connection: "
                                   + MosquittoErrorText(MOSQ_ERR_ERRNO, connection->wakeFd.Error()));
    }
    const MqttConfig& c = connection->config;
    mosquitto_threaded_set(mosq, true);
    mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq, &Connection::OnConnect);
    mosquitto_disconnect_callback_set(mosq, &Connection::OnDisconnect);
    mosquitto_message_callback_set(mosq, &Connection::OnMessage);
    mosquitto_publish_callback_set(mosq, &Connection::OnPublish);
    const std::string status = UnderPrefix(c.prefix, kStatusTopic);
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
    if (m_connection->connected) {
        m_items.Flush(); // what changed since the last pass: a run just stopped, the last pokes
        PublishDiagnostics();
    }
    std::unique_ptr<Connection> connection = std::move(m_connection);
    // The thread sends what it was handed, then "offline", and leaves the broker.
    {
        std::lock_guard lock(connection->mutex);
        connection->stopping = true;
    }
    connection->wake.notify_all();
    connection->wakeFd.Wake();
    connection->thread.join();
    m_batch.clear();
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
    if (!m_connection || !m_connection->connected) {
        return; // all is published again on the next connection
    }
    if (m_connection->outstanding.load() > kMaxOutstanding) {
        m_connection->behind = true;
        return;
    }
    m_batch.reserve(m_batch.size() + changes.size());
    for (const app::ItemChange& change : changes) {
        Publish(ItemTopic(change.index), change.value, true);
    }
}

void MqttBridge::PublishAll()
{
    if (!m_connection || !m_connection->connected) {
        return;
    }
    m_flushTimer.stop();
    Publish(kStatusTopic, kOnline, true);
    for (const std::string& topic : std::exchange(m_toClear, {})) {
        Publish(topic, {}, true);
    }
    for (std::int32_t index = 1; index <= m_items.HighestIndex(); ++index) {
        if (m_items.Exists(index)) {
            Publish(ItemTopic(index), m_items.Value(index), true);
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
    if (m_connection && m_connection->connected) {
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
    const auto inbound = ParseInboundTopic(m_connection->config.prefix, message.topic);
    if (!inbound) {
        return; // not a topic of ours
    }
    const std::string item = inbound->execute ? std::string(kExecuteTopic) : inbound->item;
    if (message.retained) {
        // A retained poke or command would be carried out again at every connection, long after it was meant.
        PublishError(item, message.payload, "a retained poke or command is not carried out; publish it without retain");
        return;
    }
    if (message.payload.size() > kMaxPayloadBytes) {
        PublishError(item, {}, "longer than " + std::to_string(kMaxPayloadBytes) + " bytes");
        return;
    }
    if (inbound->execute) {
        (void)m_items.Execute(kMqttCaller, message.payload);
        return;
    }
    const auto index = model::ParseLabelName(item);
    if (!index) {
        PublishError(item, message.payload, "'" + item + "' is no item name (lblDDE(n))");
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

void MqttBridge::Clear(const std::string& topicUnderPrefix)
{
    // Cleared with the next hand-over when connected, or else first thing on the next connection.
    if (!m_connection) {
        return;
    }
    if (m_connection->connected) {
        Publish(topicUnderPrefix, {}, true);
    } else {
        m_toClear.insert(topicUnderPrefix);
    }
}

void MqttBridge::Publish(std::string_view topicUnderPrefix, std::string_view payload, bool retain)
{
    if (!m_connection || !m_connection->connected) {
        return;
    }
    Message& message = m_batch.emplace_back();
    message.topic = UnderPrefix(m_connection->config.prefix, topicUnderPrefix);
    message.payload.assign(payload);
    message.retained = retain;
}

void MqttBridge::HandOver()
{
    if (m_batch.empty()) {
        return;
    }
    if (!m_connection || !m_connection->connected) {
        m_batch.clear();
        return;
    }
    m_connection->Send(m_batch);
}

} // namespace tavrel::mqtt
