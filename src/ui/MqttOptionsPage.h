#pragma once

#include "common/AppOptions.h"

#include <QWidget>

#include <optional>
#include <string>

class QComboBox;
class QSpinBox;
class QLineEdit;

namespace tavrel::ui {

/// The MQTT page of the Options dialog: broker, topic prefix, user, password file, CA file, QoS, payload, republish
/// period and the size of the queue kept while the broker is away.
class MqttOptionsPage : public QWidget
{
    Q_OBJECT

public:
    explicit MqttOptionsPage(QWidget* parent = nullptr);

    /// Shows `options` in the controls.
    void Load(const common::MqttOptions& options);
    /// The options as the controls show them.
    common::MqttOptions Options() const;
    /// Why the options cannot be used, or nothing when they can (an empty broker turns MQTT off).
    std::optional<std::string> Problem() const;

private:
    common::MqttOptions m_loaded;
    QLineEdit* m_txtBroker = nullptr;
    QLineEdit* m_txtPrefix = nullptr;
    QLineEdit* m_txtUser = nullptr;
    QLineEdit* m_txtPasswordFile = nullptr;
    QLineEdit* m_txtCaFile = nullptr;
    QComboBox* m_cbQos = nullptr;
    QComboBox* m_cbPayload = nullptr;
    QSpinBox* m_spnRepublish = nullptr;
    QSpinBox* m_spnBuffer = nullptr;
};

} // namespace tavrel::ui
