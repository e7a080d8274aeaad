#include "mqtt/MqttConnection.h"

#include "mqtt/TcpCork.h"

#include <mosquitto.h>

#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <iterator>
#include <utility>

namespace tavrel::mqtt {

namespace {

constexpr int kKeepAliveSeconds = 15;
constexpr int kFirstRetrySeconds = 1;
constexpr int kLastRetrySeconds = 30;
constexpr auto kConnectTimeout = std::chrono::seconds(10);
/// How long leaving a broker may take: the will and the disconnect are sent in that time or never.
constexpr auto kLeaveTimeout = std::chrono::seconds(2);
/// Messages handed to the client library and not yet written (QoS 0) or acknowledged (QoS 1). A broker that
/// stops taking messages is not fed more: the owner drops changes and publishes all again once it caught up.
constexpr std::int64_t kMaxOutstanding = 50000;

} // namespace

MqttConnection::MqttConnection(MqttConfig config, MqttMessage will, std::vector<std::string> subscriptions,
                               MqttConnectionListener& listener)
    : m_config(std::move(config))
    , m_will(std::move(will))
    , m_subscriptions(std::move(subscriptions))
    , m_listener(listener)
    , m_client(m_config.clientId, this)
    , m_retrySeconds(kFirstRetrySeconds)
{
}

MqttConnection::~MqttConnection()
{
    if (!m_thread.joinable()) {
        return;
    }
    // The thread sends what it was handed, then the will, and leaves the broker.
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_wakeFd.Wake();
    m_thread.join();
}

tl::expected<void, std::string> MqttConnection::Start()
{
    mosquitto* mosq = m_client.Get();
    if (mosq == nullptr) {
        return tl::make_unexpected(std::string("the MQTT client library could not make a client"));
    }
    if (!m_wakeFd) {
        return tl::make_unexpected("cannot set up the MQTT connection: "
                                   + MosquittoErrorText(MOSQ_ERR_ERRNO, m_wakeFd.Error()));
    }
    mosquitto_threaded_set(mosq, true);
    mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq, &MqttConnection::OnConnect);
    mosquitto_disconnect_callback_set(mosq, &MqttConnection::OnDisconnect);
    mosquitto_message_callback_set(mosq, &MqttConnection::OnMessage);
    mosquitto_publish_callback_set(mosq, &MqttConnection::OnPublish);
    int code = mosquitto_will_set(mosq, m_will.topic.c_str(), static_cast<int>(m_will.payload.size()),
                                  m_will.payload.data(), m_config.qos, m_will.retained);
    if (code == MOSQ_ERR_SUCCESS && !m_config.user.empty()) {
        code = mosquitto_username_pw_set(mosq, m_config.user.c_str(),
                                         m_config.password.empty() ? nullptr : m_config.password.c_str());
    }
    if (code == MOSQ_ERR_SUCCESS && !m_config.caFile.empty()) {
        code = mosquitto_tls_set(mosq, m_config.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    if (code != MOSQ_ERR_SUCCESS) {
        return tl::make_unexpected("cannot set up the MQTT client: " + MosquittoErrorText(code, errno));
    }
    m_thread = std::thread([this] { Run(); });
    return {};
}

bool MqttConnection::Congested()
{
    if (m_outstanding.load() <= kMaxOutstanding) {
        return false;
    }
    m_behind = true;
    return true;
}

void MqttConnection::Send(std::vector<MqttMessage>& batch)
{
    m_outstanding += static_cast<std::int64_t>(batch.size());
    {
        std::lock_guard lock(m_mutex);
        if (m_outbox.empty()) {
            m_outbox.swap(batch);
        } else {
            std::move(batch.begin(), batch.end(), std::back_inserter(m_outbox));
            batch.clear();
        }
    }
    m_wakeFd.Wake();
}

void MqttConnection::Post(std::function<void()> work)
{
    QMetaObject::invokeMethod(&m_context, std::move(work), Qt::QueuedConnection);
}

void MqttConnection::PostState(BrokerState state, std::string detail)
{
    Post([this, state, detail = std::move(detail)] { m_listener.ConnectionStateChanged(state, detail); });
}

void MqttConnection::DeliverReceived()
{
    std::deque<MqttMessage> messages;
    std::size_t dropped = 0;
    {
        std::lock_guard lock(m_mutex);
        messages.swap(m_inbox);
        m_deliveryPosted = false;
        dropped = std::exchange(m_dropped, 0);
    }
    m_listener.MessagesReceived(std::move(messages), dropped);
}

std::int64_t MqttConnection::CountOneOut()
{
    // The count starts again at each connection, while messages of the one before may still be acknowledged.
    std::int64_t current = m_outstanding.load();
    while (current > 0 && !m_outstanding.compare_exchange_weak(current, current - 1)) { }
    return current;
}

void MqttConnection::OnConnect(mosquitto* mosq, void* self, int code)
{
    auto& connection = *static_cast<MqttConnection*>(self);
    connection.m_answered = true;
    if (code != 0) {
        connection.m_refusal = mosquitto_connack_string(code);
        return;
    }
    connection.m_retrySeconds = kFirstRetrySeconds;
    connection.m_outstanding = 0;
    connection.m_behind = false;
    for (const std::string& topic : connection.m_subscriptions) {
        mosquitto_subscribe(mosq, nullptr, topic.c_str(), connection.m_config.qos);
    }
    connection.m_connected = true;
    connection.PostState(BrokerState::Connected, "");
}

void MqttConnection::OnDisconnect(mosquitto*, void* self, int)
{
    static_cast<MqttConnection*>(self)->m_connected = false;
}

void MqttConnection::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    auto& connection = *static_cast<MqttConnection*>(self);
    MqttMessage copy;
    copy.topic = message->topic != nullptr ? message->topic : "";
    if (message->payloadlen > 0) {
        const auto length = std::min(static_cast<std::size_t>(message->payloadlen), kMaxPayloadBytes + 1);
        copy.payload.assign(static_cast<const char*>(message->payload), length);
    }
    copy.retained = message->retain;
    std::lock_guard lock(connection.m_mutex);
    if (connection.m_inbox.size() >= kMaxWaitingMessages) {
        ++connection.m_dropped;
        return;
    }
    connection.m_inbox.push_back(std::move(copy));
    if (!connection.m_deliveryPosted) {
        connection.m_deliveryPosted = true;
        connection.Post([&connection] { connection.DeliverReceived(); });
    }
}

void MqttConnection::OnPublish(mosquitto*, void* self, int)
{
    auto& connection = *static_cast<MqttConnection*>(self);
    if (connection.CountOneOut() <= 1 && connection.m_behind.exchange(false)) {
        connection.Post([&connection] { connection.m_listener.ConnectionCaughtUp(); });
    }
}

void MqttConnection::Run()
{
    mosquitto* mosq = m_client.Get();
    while (!Stopping()) {
        m_refusal.reset();
        m_answered = false;
        {
            // What was handed over for the connection before is not sent on this one: all is published again.
            std::lock_guard lock(m_mutex);
            m_outbox.clear();
        }
        PostState(BrokerState::Connecting, "");
        int code = mosquitto_connect_async(mosq, m_config.host.c_str(), m_config.port, kKeepAliveSeconds);
        int errorNumber = errno;
        bool timedOut = false;
        const auto started = std::chrono::steady_clock::now();
        // The library's loop until the broker answered the login (it knows the way through TLS and connecting
        // sockets), then the connection's own.
        while (code == MOSQ_ERR_SUCCESS && !Stopping()) {
            if (m_connected) {
                code = Serve(errorNumber);
                break;
            }
            code = mosquitto_loop(mosq, 100, 1);
            errorNumber = errno;
            if (!m_answered && std::chrono::steady_clock::now() - started > kConnectTimeout) {
                timedOut = true;
                break;
            }
        }
        m_connected = false;
        if (Stopping()) {
            break;
        }
        mosquitto_disconnect(mosq);
        std::string reason;
        if (m_refusal) {
            reason = *m_refusal;
        } else if (timedOut) {
            reason = "no answer within " + std::to_string(kConnectTimeout.count()) + " s";
        } else {
            reason = MosquittoErrorText(code, errorNumber);
        }
        PostState(m_refusal ? BrokerState::Refused : BrokerState::Disconnected,
                  "(" + reason + "); next attempt in " + std::to_string(m_retrySeconds) + " s");
        WaitBeforeRetry(m_retrySeconds);
        m_retrySeconds = std::min(m_retrySeconds * 2, kLastRetrySeconds);
    }
}

int MqttConnection::Serve(int& errorNumber)
{
    // libmosquitto's own loop reads a byte of its wake-up pipe per turn, and each publication writes one: a pass
    // of a thousand changes would wake it a thousand times. Here a batch wakes it once and is written a slice at a
    // time with the socket corked (a segment per slice rather than per message); the library's pipe is left alone.
    mosquitto* mosq = m_client.Get();
    std::vector<MqttMessage> batch;
    std::optional<std::chrono::steady_clock::time_point> leaveBy;
    while (true) {
        {
            std::lock_guard lock(m_mutex);
            batch.swap(m_outbox);
        }
        int code = PublishBatch(batch);
        if (code == MOSQ_ERR_SUCCESS && Stopping() && !leaveBy) {
            // Whatever was handed over, then the will and the disconnect, for a while at most.
            mosquitto_publish(mosq, nullptr, m_will.topic.c_str(), static_cast<int>(m_will.payload.size()),
                              m_will.payload.data(), m_config.qos, m_will.retained);
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
            { m_wakeFd.Get(), POLLIN, 0 },
        } };
        if (::poll(watched.data(), watched.size(), timeoutMs) == -1 && errno != EINTR) {
            errorNumber = errno;
            return MOSQ_ERR_ERRNO;
        }
        if ((watched[1].revents & POLLIN) != 0) {
            m_wakeFd.Drain();
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

int MqttConnection::PublishBatch(std::vector<MqttMessage>& batch)
{
    // Written a slice at a time, so that the broker starts on the first messages while the rest are made.
    constexpr std::size_t kSlice = 64;
    mosquitto* mosq = m_client.Get();
    int code = MOSQ_ERR_SUCCESS;
    for (std::size_t first = 0; first < batch.size() && code == MOSQ_ERR_SUCCESS; first += kSlice) {
        const std::size_t end = std::min(batch.size(), first + kSlice);
        for (std::size_t i = first; i < end; ++i) {
            const MqttMessage& message = batch[i];
            if (mosquitto_publish(mosq, nullptr, message.topic.c_str(), static_cast<int>(message.payload.size()),
                                  message.payload.data(), m_config.qos, message.retained)
                != MOSQ_ERR_SUCCESS) {
                CountOneOut();
            }
        }
        code = WriteCorked();
    }
    batch.clear();
    return code;
}

int MqttConnection::WriteCorked()
{
    mosquitto* mosq = m_client.Get();
    const TcpCork cork(mosquitto_socket(mosq));
    return mosquitto_loop_write(mosq, 1);
}

void MqttConnection::WaitBeforeRetry(int seconds)
{
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::seconds(seconds), [this] { return Stopping(); });
}

} // namespace tavrel::mqtt
