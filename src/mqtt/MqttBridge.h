#pragma once

#include "app/Program.h"
#include "model/LabelArray.h"
#include "mqtt/MqttConfig.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tavrel::mqtt {

/// Where the bridge stands with its broker.
enum class BrokerState {
    Off, ///< no broker set
    Connecting, ///< an attempt is under way
    Connected, ///< the broker took the login; items are published
    Disconnected, ///< lost or never reached; the next attempt follows after a delay
    Refused ///< the broker refused the login; tried again after a delay
};

/// The program's items in an MQTT broker, under a topic prefix:
///   items/lblDDE(i)        retained, the label text, published at the end of each pass in which it changed
///   items/lblDDE(i)/set    a poke; a refusal goes to "errors" as JSON {item, value, reason}
///   execute                an execute command
///   plcs/NAME/connected    retained "1" or "0"
///   status                 retained "online", or "offline" (also the will)
/// The network side runs on a thread of its own; the model is only touched on the thread the bridge lives on.
/// A lost broker is tried again after 1 s, doubling up to 30 s; on every connection all is published again.
class MqttBridge : public QObject, private model::LabelObserver
{
    Q_OBJECT

public:
    explicit MqttBridge(app::Program& program, QObject* parent = nullptr);
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
    struct Connection;
    struct Message
    {
        std::string topic;
        std::string payload;
        bool retained = false;
    };

    void LabelTextChanged(std::int32_t index, const std::string& text) override;
    void LabelUnloaded(std::int32_t index) override;

    void SetState(BrokerState state, const std::string& detail);
    void OnConnected();
    void HandleMessages();
    void HandleMessage(const Message& message);
    void PublishChanges();
    void PublishAll();
    void PublishPlcStates(bool all);
    void ForgetRemovedPlcs();
    void PublishError(const std::string& item, const std::string& value, const std::string& reason);
    void Publish(const std::string& topicUnderPrefix, const std::string& payload, bool retain);
    void Clear(const std::string& topicUnderPrefix);

    app::Program& m_program;
    std::unique_ptr<Connection> m_connection;
    BrokerState m_state = BrokerState::Off;
    QString m_stateText;
    /// Labels changed since the last publication, in the order they changed.
    std::vector<std::int32_t> m_changed;
    std::vector<bool> m_isChanged;
    /// The connection state last published per PLC name (the name as it appears in the topic).
    std::map<std::string, bool> m_plcStates;
    /// Topics of removed items and PLCs that could not be cleared while the broker was away.
    std::set<std::string> m_toClear;
    QTimer m_flushTimer;
};

/// Starts the bridge on the broker of `options`, or stops it when no broker is set; says what is wrong with the
/// options otherwise, and leaves the bridge as it was then.
[[nodiscard]] tl::expected<void, std::string> ApplyMqttOptions(MqttBridge& bridge, const common::MqttOptions& options);

/// A PLC name as one topic level: "%", "/", "+", "#" and control characters percent-encoded, text that is not
/// UTF-8 replaced, so that no name can reach into another topic.
std::string TopicLevel(const std::string& name);

} // namespace tavrel::mqtt
