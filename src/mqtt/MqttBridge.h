#pragma once

#include "app/ItemService.h"
#include "common/AppOptions.h"
#include "mqtt/BrokerState.h"
#include "mqtt/MqttConfig.h"
#include "mqtt/MqttConnectionListener.h"
#include "mqtt/MqttMessage.h"
#include "mqtt/MqttQueue.h"
#include "mqtt/MqttTopics.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel::mqtt {

class MqttConnection;

/// The program's items in an MQTT broker, under a topic prefix:
///   items/lblDDE(i)        retained, the label text (MqttPayload plain) or a JSON object of its value, time read,
///                          quality, PLC, units and name (json), published at the end of each pass in which it
///                          changed, and again every MqttRepublishSeconds when it did not
///   items/lblDDE(i)/set    a poke; a refusal goes to "errors" as JSON {item, value, reason}
///   execute                an execute command
///   plcs/NAME/connected    retained "1" or "0"
///   plcs/NAME/answered     retained "1" once it answered in the current run, else "0"
///   plcs/NAME/lastError    retained, why its last exchange failed; empty while all is well
///   plcs/NAME/errors       retained, how many times it failed in the current run
///   plcs/NAME/passMs       retained, how long its last exchange took, in milliseconds
///   system/running         retained "1" while a run goes on, else "0"
///   system/passCount       retained, passes of the current (or last) run
///   system/passMs          retained, how long the last pass took, in milliseconds
///   status                 retained "online", or "offline" (also the will)
///   system/mqttBuffered    retained, changes kept in the queue while the broker is away (json payloads)
///   system/mqttDropped     retained, changes dropped from the queue: the oldest when it was full, or when the
///                          disk would not take them
///   system/mqttReplay      retained, "SENT/TOTAL" while queued changes are published after a connection, else empty
///   system/mqttQueueError  retained, why the queue cannot keep changes; empty while it can
/// The plcs/ and system/ topics are the System items (app::SystemItems), published at the end of a pass in which
/// they changed, or as soon as they change between passes; a removed PLC's topics are cleared.
/// With json payloads, the changes of the passes while the broker is away (or too far behind) are kept in an
/// on-disk queue (MqttQueue); on the next connection they are published first, oldest first, not retained, with
/// their own times and at a bounded rate (kReplayPerSecond), while new changes go out as they come; then every
/// current value.
/// The network side runs on a thread of its own (MqttConnection); the items are only touched on the thread the
/// bridge lives on. A lost broker is tried again after 1 s, doubling up to 30 s; on every connection all is
/// published again.
class MqttBridge : public QObject, private MqttConnectionListener
{
    Q_OBJECT

public:
    /// Queued changes published per second after a connection: a broker of a plant takes this beside the live
    /// changes of a thousand items every 100 ms, and an hour away (36 million changes) is caught up in half an hour.
    static constexpr int kReplayPerSecond = 20000;
    /// Queued changes read and published at once when the replay begins, and at most at once later.
    static constexpr std::size_t kReplaySlice = 1000;
    static constexpr std::int64_t kMaxReplaySlice = 10000;

    explicit MqttBridge(app::ItemService& items, QObject* parent = nullptr);
    ~MqttBridge() override;

    /// Connects to the broker of `config`, after leaving any broker it was connected to.
    [[nodiscard]] tl::expected<void, std::string> Start(MqttConfig config);
    /// Says "offline" and leaves the broker; the state becomes Off.
    void Stop();

    BrokerState State() const { return m_state; }
    /// A line that says where the bridge stands: "MQTT broker 127.0.0.1:1883: connected" and so on.
    QString StateText() const { return m_stateText; }

signals:
    void stateChanged(tavrel::mqtt::BrokerState state, const QString& text);

private:
    void ConnectionStateChanged(BrokerState state, const std::string& detail) override;
    void MessagesReceived(std::deque<MqttMessage> messages, std::size_t dropped) override;
    void ConnectionCaughtUp() override;

    void ItemRemoved(std::int32_t index);
    void SetState(BrokerState state, const std::string& detail);
    void HandleMessage(const MqttMessage& message);
    /// Publishes a batch of changes and the diagnostics that changed with them.
    void PublishChanges(const std::vector<app::ItemChange>& changes);
    /// Publishes the diagnostics that changed.
    void PublishDiagnostics();
    void PublishAll();
    void QueueChanges(const std::vector<app::ItemChange>& changes);
    /// The diagnostics topics under the prefix and their payloads as they stand.
    std::map<std::string, std::string> Diagnostics() const;
    /// Queues the diagnostics that changed since they were last published (`all`: every one).
    void QueueDiagnostics(bool all);
    void PublishError(const std::string& item, const std::string& value, const std::string& reason);
    /// Whether there is a connection and its broker took the login.
    bool Connected() const;
    /// Queues a message for the next hand-over; nothing while not connected.
    void Publish(std::string_view topicUnderPrefix, std::string_view payload, bool retain);
    /// The payload of an item's state, as the configuration asks.
    std::string Payload(const app::ItemChange& state);
    /// Publishes what is kept in the queue, then every current value; only every current value without a queue.
    void StartReplay();
    void ReplayNext();
    void ReplaySlice(std::vector<MqttQueue::Entry> entries);
    /// Publishes again the values not published for MqttRepublishSeconds.
    void Republish();
    /// Sets the queue's System items as they stand, and logs a problem of the queue when it changes.
    void RenewQueueItems();
    void Clear(const std::string& topicUnderPrefix);
    /// Hands the queued messages to the connection's thread in one batch.
    void HandOver();

    app::ItemService& m_items;
    std::unique_ptr<MqttConnection> m_connection;
    BrokerState m_state = BrokerState::Off;
    QString m_stateText;
    /// Messages queued for the next hand-over.
    std::vector<MqttMessage> m_batch;
    /// The diagnostics topics and payloads last published.
    std::map<std::string, std::string> m_diagnostics;
    /// Topics of removed items and PLCs that could not be cleared while the broker was away.
    std::set<std::string> m_toClear;
    QTimer m_flushTimer;

    /// What a json payload tells of each item beside its state, by label index; renewed when the project changes.
    std::vector<PayloadItem> m_payloadItems;
    bool m_payloadItemsStale = true;
    /// When each item was last published, by label index (for MqttRepublishSeconds).
    std::vector<std::chrono::steady_clock::time_point> m_publishedAt;
    QTimer m_republishTimer;

    std::unique_ptr<MqttQueue> m_queue;
    bool m_replaying = false;
    std::uint64_t m_replayNumber = 0; ///< counts the replays begun
    std::int64_t m_replayAfter = 0; ///< the last sequence published in this replay
    std::int64_t m_replayHanded = 0; ///< the last sequence handed over and not yet removed; 0 for none
    std::uint64_t m_replayed = 0;
    std::uint64_t m_replayTotal = 0;
    /// Each PLC's part of the replay: messages replayed, and in all.
    std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> m_replayPlcs;
    std::chrono::steady_clock::time_point m_replayStarted;
    QTimer m_replayTimer;
    /// The queue's System items as last set.
    std::map<QString, QString> m_queueItems;
    std::chrono::steady_clock::time_point m_droppedToldAt;
};

/// Starts the bridge on the broker of `options`, or stops it when no broker is set; says what is wrong with the
/// options otherwise, and leaves the bridge as it was then.
[[nodiscard]] tl::expected<void, std::string> ApplyMqttOptions(MqttBridge& bridge, const common::MqttOptions& options);

} // namespace tavrel::mqtt
