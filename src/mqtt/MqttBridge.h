#pragma once

#include "app/ItemService.h"
#include "common/AppOptions.h"
#include "mqtt/BrokerState.h"
#include "mqtt/MqttConfig.h"
#include "mqtt/MqttConnectionListener.h"
#include "mqtt/MqttMessage.h"
#include "mqtt/MqttTopics.h"

#include <QObject>
#include <QString>
#include <QTimer>

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
///   items/lblDDE(i)        retained, the label text, published at the end of each pass in which it changed
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
/// The plcs/ and system/ topics are the System items (app::SystemItems), published at the end of a pass in which
/// they changed, or as soon as they change between passes; a removed PLC's topics are cleared.
/// The network side runs on a thread of its own (MqttConnection); the items are only touched on the thread the
/// bridge lives on. A lost broker is tried again after 1 s, doubling up to 30 s; on every connection all is
/// published again.
class MqttBridge : public QObject, private MqttConnectionListener
{
    Q_OBJECT

public:
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
};

/// Starts the bridge on the broker of `options`, or stops it when no broker is set; says what is wrong with the
/// options otherwise, and leaves the bridge as it was then.
[[nodiscard]] tl::expected<void, std::string> ApplyMqttOptions(MqttBridge& bridge, const common::MqttOptions& options);

} // namespace tavrel::mqtt
