#pragma once

#include "mqtt/MosquittoClient.h"
#include "mqtt/MqttConfig.h"
#include "mqtt/MqttConnectionListener.h"
#include "mqtt/MqttMessage.h"
#include "mqtt/WakeFd.h"

#include <QObject>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct mosquitto_message;

namespace tavrel::mqtt {

/// One connection to an MQTT broker and the thread that drives it; it knows topics and payloads, not what they
/// mean. The thread owns the network: the owner's thread hands it whole batches of messages (a pass's changes at
/// once, one wake-up for all), and hears of what arrives through its listener. A lost broker is tried again after
/// 1 s, doubling up to 30 s.
class MqttConnection
{
public:
    /// Messages received and waiting for the listener; more are dropped (and counted) rather than kept.
    static constexpr std::size_t kMaxWaitingMessages = 10000;
    /// A received payload is cut after this many bytes and one more, so that a longer one still shows as such.
    static constexpr std::size_t kMaxPayloadBytes = 64 * 1024;

    /// A connection to the broker of `config`, not started: subscribes to `subscriptions` on every login, and
    /// leaves `will` with the broker, to be published when the connection is lost or when it leaves.
    MqttConnection(MqttConfig config, MqttMessage will, std::vector<std::string> subscriptions,
                   MqttConnectionListener& listener);
    MqttConnection(const MqttConnection&) = delete;
    MqttConnection& operator=(const MqttConnection&) = delete;
    /// Sends what was handed over, then the will, leaves the broker (for 2 s at most) and ends the thread.
    ~MqttConnection();

    /// Sets up the client and starts the thread's first attempt; says what failed otherwise. Once only.
    [[nodiscard]] tl::expected<void, std::string> Start();

    /// The broker's settings it was made with.
    const MqttConfig& Config() const { return m_config; }
    /// Whether the broker took the login and the connection still stands.
    bool Connected() const { return m_connected.load(); }
    /// Whether the broker is too many messages behind to be handed more (kMaxOutstanding); if so,
    /// ConnectionCaughtUp follows once it has taken them all.
    [[nodiscard]] bool Congested();
    /// Hands `batch` to the thread, leaving it empty; sent in order after what was handed before. What is still
    /// waiting when the broker is lost is not sent after the next login.
    void Send(std::vector<MqttMessage>& batch);

private:
    /// Runs `work` on the owner's thread, unless the connection is gone by then.
    void Post(std::function<void()> work);
    void PostState(BrokerState state, std::string detail);
    /// Hands the messages received to the listener (on the owner's thread).
    void DeliverReceived();
    /// One message less outstanding, never below zero; returns the count before.
    std::int64_t CountOneOut();
    bool Stopping() const { return m_stopping.load(); }

    /// The thread: attempts, serving and waiting until stopped.
    void Run();
    /// Drives an established connection until it ends; a libmosquitto result code.
    int Serve(int& errorNumber);
    /// Publishes and writes `batch`, leaving it empty; a libmosquitto result code.
    int PublishBatch(std::vector<MqttMessage>& batch);
    int WriteCorked();
    void WaitBeforeRetry(int seconds);

    static void OnConnect(mosquitto* mosq, void* self, int code);
    static void OnDisconnect(mosquitto*, void* self, int);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnPublish(mosquitto*, void* self, int);

    const MqttConfig m_config;
    const MqttMessage m_will;
    const std::vector<std::string> m_subscriptions;
    MqttConnectionListener& m_listener;
    /// Lives on the owner's thread: what is posted to it runs there, and is dropped with it.
    QObject m_context;
    MosquittoClient m_client;
    WakeFd m_wakeFd;
    std::thread m_thread;

    std::atomic<bool> m_stopping { false };
    std::atomic<bool> m_connected { false };
    std::atomic<bool> m_behind { false };
    std::atomic<std::int64_t> m_outstanding { 0 };

    std::mutex m_mutex; // guards what follows
    std::condition_variable m_wake;
    std::deque<MqttMessage> m_inbox;
    std::vector<MqttMessage> m_outbox;
    bool m_deliveryPosted = false;
    std::size_t m_dropped = 0;

    // The thread's own.
    int m_retrySeconds;
    std::optional<std::string> m_refusal;
    bool m_answered = false;
};

} // namespace tavrel::mqtt
