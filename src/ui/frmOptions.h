#pragma once

#include "common/AppOptions.h"

#include <QDialog>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;

namespace tavrel::common {
class Settings;
}

namespace tavrel::ui {

/// Moves the link server to another address and port. Returns nothing when it listens there, or the reason
/// it cannot; the server then keeps listening where it was.
using LinkServerMover = std::function<std::optional<std::string>(const std::string& address, std::uint16_t port)>;

/// Moves the OPC UA server to another address and port (port 0: off), as LinkServerMover does the link server.
using OpcUaServerMover = LinkServerMover;

/// Sets the MQTT bridge to new options. Returns nothing when done, or the reason it cannot.
using MqttApplier = std::function<std::optional<std::string>(const common::MqttOptions& options)>;

class MqttOptionsPage;
class OpcUaOptionsPage;

/// The Options dialog: start-up behaviour, automatic run, minimising, the connect-once rule and the link
/// server's address. Reads the settings file when it opens; writes it only on OK.
class frmOptions : public QDialog
{
    Q_OBJECT

public:
    /// A dialog over `settings`; `moveLinkServer`, when given, applies a changed link address on OK.
    explicit frmOptions(common::Settings& settings, LinkServerMover moveLinkServer = {}, QWidget* parent = nullptr);
    ~frmOptions() override;

    /// Lets OK apply changed MQTT options to the running bridge.
    void SetMqttApplier(MqttApplier apply) { m_applyMqtt = std::move(apply); }
    /// Lets OK move the running OPC UA server to a changed address or port.
    void SetOpcUaMover(OpcUaServerMover move) { m_moveOpcUa = std::move(move); }

    /// Reads the settings file into the dialog's record and its controls.
    void LoadOptions();
    /// Enables the path box and "..." only for "Load project:", and "Auto Run" for all but "Load new project".
    void UpdateStartUpControls();
    /// Validates the link server fields, moves the server when they changed, then writes the settings.
    /// False, with a message and nothing written, when the fields are refused or the server cannot move.
    bool SaveOptions();

    /// The dialog's record as the controls show it.
    common::AppOptions Options() const;

private:
    void BuildControls();
    void OnStartUpChosen();
    void ChooseProjectPath();

    common::Settings& m_settings;
    LinkServerMover m_moveLinkServer;
    OpcUaServerMover m_moveOpcUa;
    common::AppOptions m_options;
    std::string m_loadedOpcUaAddress;
    std::uint16_t m_loadedOpcUaPort = 0;
    std::string m_loadedLinkAddress;
    std::uint16_t m_loadedLinkPort = 0;

    QTabWidget* m_tabs = nullptr;
    QRadioButton* m_opLoadNew = nullptr;
    QRadioButton* m_opLoadPath = nullptr;
    QRadioButton* m_opLoadLast = nullptr;
    QLineEdit* m_txtProjectPath = nullptr;
    QPushButton* m_cmdProjectPath = nullptr;
    QCheckBox* m_ckAutoRun = nullptr;
    QCheckBox* m_ckMinimized = nullptr;
    QCheckBox* m_ckRunAsService = nullptr;
    QCheckBox* m_ckConnectOnce = nullptr;
    QLineEdit* m_txtOpcUaAddress = nullptr;
    QLineEdit* m_txtOpcUaPort = nullptr;
    QSpinBox* m_spnMinPassMs = nullptr;
    QLineEdit* m_txtLinkAddress = nullptr;
    QLineEdit* m_txtLinkPort = nullptr;
    QLabel* m_lblLinkToken = nullptr;
    MqttOptionsPage* m_mqtt = nullptr;
    OpcUaOptionsPage* m_opcUa = nullptr;
    MqttApplier m_applyMqtt;
    common::MqttOptions m_loadedMqtt;
    QPushButton* m_cmdOK = nullptr;
    QPushButton* m_cmdCancel = nullptr;
};

} // namespace tavrel::ui
