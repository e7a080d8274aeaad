#include "ui/frmOptions.h"

#include "common/Settings.h"
#include "ui/MqttOptionsPage.h"
#include "ui/OpcUaOptionsPage.h"
#include "ui/WindowTools.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

namespace tavrel::ui {

namespace {

QRadioButton* NewOption(QWidget* parent, const char* name, const char* caption)
{
    auto* option = new QRadioButton(QString::fromLatin1(caption), parent);
    option->setObjectName(QString::fromLatin1(name));
    return option;
}

QCheckBox* NewCheckBox(QWidget* parent, const char* name, const char* caption)
{
    auto* box = new QCheckBox(QString::fromLatin1(caption), parent);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

/// The port of a text: a whole number from 0 to 65535 (0: a free port the system picks, as the settings
/// allow), or nothing.
std::optional<std::uint16_t> LinkPortOf(const QString& text)
{
    static const QRegularExpression digits(QStringLiteral("^\\s*[0-9]{1,5}\\s*$"));
    if (!digits.match(text).hasMatch()) {
        return std::nullopt;
    }
    const int port = text.trimmed().toInt();
    if (port > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(port);
}

} // namespace

frmOptions::frmOptions(common::Settings& settings, LinkServerMover moveLinkServer, QWidget* parent)
    : QDialog(parent)
    , m_settings(settings)
    , m_moveLinkServer(std::move(moveLinkServer))
{
    setObjectName(QStringLiteral("frmOptions"));
    setWindowTitle(QStringLiteral("Options"));
    BuildControls();
    ApplyFormFont(*this);
    LoadOptions();
    UpdateStartUpControls();
    // The tabs take the size of the largest page: a page whose height follows its width (the wrapped access
    // token line) would otherwise shrink the dialog while it is shown.
    m_tabs->setMinimumSize(m_tabs->sizeHint());
}

frmOptions::~frmOptions() = default;

void frmOptions::BuildControls()
{
    m_tabs = new QTabWidget(this);
    m_tabs->setObjectName(QStringLiteral("tabOptions"));

    auto* startUp = new QWidget(m_tabs);
    auto* frame = new QGroupBox(QStringLiteral("When Tavrel starts"), startUp);
    m_opLoadNew = NewOption(frame, "opLoadNew", "Load new project");
    m_opLoadPath = NewOption(frame, "opLoadPath", "Load project:");
    m_opLoadLast = NewOption(frame, "opLoadLast", "Load last project");
    m_opLoadNew->setChecked(true);
    m_txtProjectPath = new QLineEdit(frame);
    m_txtProjectPath->setObjectName(QStringLiteral("txtProjectPath"));
    m_cmdProjectPath = new QPushButton(QStringLiteral("..."), frame);
    m_cmdProjectPath->setObjectName(QStringLiteral("cmdProjectPath"));
    m_cmdProjectPath->setFixedWidth(m_cmdProjectPath->fontMetrics().horizontalAdvance(QStringLiteral("...")) + 16);
    auto* frameGrid = new QGridLayout(frame);
    frameGrid->addWidget(m_opLoadNew, 0, 0, 1, 3);
    frameGrid->addWidget(m_opLoadPath, 1, 0);
    frameGrid->addWidget(m_txtProjectPath, 1, 1);
    frameGrid->addWidget(m_cmdProjectPath, 1, 2);
    frameGrid->addWidget(m_opLoadLast, 2, 0, 1, 3);
    frameGrid->setColumnStretch(1, 1);
    m_ckAutoRun = NewCheckBox(startUp, "ckAutoRun", "Auto Run");
    m_ckMinimized = NewCheckBox(startUp, "ckMinimized", "Minimized after Run");
    m_ckRunAsService = NewCheckBox(startUp, "ckRunAsService", "Run as service");
    m_ckRunAsService->hide();
    auto* startUpLayout = new QVBoxLayout(startUp);
    startUpLayout->addWidget(frame);
    startUpLayout->addWidget(m_ckAutoRun);
    startUpLayout->addWidget(m_ckMinimized);
    startUpLayout->addWidget(m_ckRunAsService);
    startUpLayout->addStretch();
    m_tabs->addTab(startUp, QStringLiteral("Start Up"));

    auto* communication = new QWidget(m_tabs);
    m_ckConnectOnce = NewCheckBox(communication, "ckConnectOnce", "Connect Once");
    m_spnMinPassMs = new QSpinBox(communication);
    m_spnMinPassMs->setObjectName(QStringLiteral("spnMinPassMs"));
    m_spnMinPassMs->setRange(0, common::kMaxMinPassMs);
    m_spnMinPassMs->setSingleStep(50);
    m_spnMinPassMs->setSuffix(QStringLiteral(" ms"));
    m_spnMinPassMs->setSpecialValueText(QStringLiteral("none"));
    m_spnMinPassMs->setToolTip(QStringLiteral("Time from the start of one refresh pass to the start of the next; "
                                              "none lets passes follow each other at once."));
    auto* passForm = new QFormLayout;
    passForm->addRow(QStringLiteral("Minimum pass time:"), m_spnMinPassMs);
    auto* linkGroup = new QGroupBox(QStringLiteral("Link Server"), communication);
    linkGroup->setObjectName(QStringLiteral("fLinkServer"));
    m_txtLinkAddress = new QLineEdit(linkGroup);
    m_txtLinkAddress->setObjectName(QStringLiteral("txtLinkAddress"));
    m_txtLinkPort = new QLineEdit(linkGroup);
    m_txtLinkPort->setObjectName(QStringLiteral("txtLinkPort"));
    m_txtLinkPort->setMaxLength(5);
    auto* linkForm = new QFormLayout(linkGroup);
    linkForm->addRow(QStringLiteral("Address:"), m_txtLinkAddress);
    linkForm->addRow(QStringLiteral("Port:"), m_txtLinkPort);
    m_lblLinkToken = new QLabel(linkGroup);
    m_lblLinkToken->setObjectName(QStringLiteral("lblLinkToken"));
    m_lblLinkToken->setWordWrap(true);
    linkForm->addRow(QStringLiteral("Access token:"), m_lblLinkToken);
    auto* opcUaGroup = new QGroupBox(QStringLiteral("OPC UA Server"), communication);
    opcUaGroup->setObjectName(QStringLiteral("fOpcUaServer"));
    m_txtOpcUaAddress = new QLineEdit(opcUaGroup);
    m_txtOpcUaAddress->setObjectName(QStringLiteral("txtOpcUaAddress"));
    m_txtOpcUaPort = new QLineEdit(opcUaGroup);
    m_txtOpcUaPort->setObjectName(QStringLiteral("txtOpcUaPort"));
    m_txtOpcUaPort->setMaxLength(5);
    m_txtOpcUaPort->setToolTip(QStringLiteral("0 turns the OPC UA server off."));
    auto* opcUaForm = new QFormLayout(opcUaGroup);
    opcUaForm->addRow(QStringLiteral("Address:"), m_txtOpcUaAddress);
    opcUaForm->addRow(QStringLiteral("Port:"), m_txtOpcUaPort);
    auto* communicationLayout = new QVBoxLayout(communication);
    communicationLayout->addWidget(m_ckConnectOnce);
    communicationLayout->addLayout(passForm);
    communicationLayout->addWidget(linkGroup);
    communicationLayout->addWidget(opcUaGroup);
    communicationLayout->addStretch();
    m_tabs->addTab(communication, QStringLiteral("Communication"));
    m_mqtt = new MqttOptionsPage(m_tabs);
    m_tabs->addTab(m_mqtt, QStringLiteral("MQTT"));
    m_opcUa = new OpcUaOptionsPage(common::OpcUaPkiFolder(m_settings), m_tabs);
    m_tabs->addTab(m_opcUa, QStringLiteral("OPC UA"));

    m_cmdOK = new QPushButton(QStringLiteral("OK"), this);
    m_cmdOK->setObjectName(QStringLiteral("cmdOK"));
    m_cmdOK->setDefault(true);
    m_cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_cmdOK);
    buttons->addWidget(m_cmdCancel);
    auto* whole = new QVBoxLayout(this);
    whole->addWidget(m_tabs);
    whole->addLayout(buttons);
    whole->setSizeConstraint(QLayout::SetFixedSize);

    connect(m_opLoadNew, &QRadioButton::toggled, this, [this](bool on) {
        if (on) {
            m_ckAutoRun->setChecked(false);
            m_txtProjectPath->clear();
            UpdateStartUpControls();
        }
    });
    connect(m_opLoadLast, &QRadioButton::toggled, this, [this](bool on) {
        if (on) {
            m_txtProjectPath->clear();
            UpdateStartUpControls();
        }
    });
    connect(m_opLoadPath, &QRadioButton::toggled, this, [this](bool on) {
        if (on) {
            UpdateStartUpControls();
        }
    });
    connect(m_cmdProjectPath, &QPushButton::clicked, this, [this] { ChooseProjectPath(); });
    connect(m_cmdOK, &QPushButton::clicked, this, [this] {
        if (SaveOptions()) {
            accept();
        }
    });
    connect(m_cmdCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void frmOptions::LoadOptions()
{
    m_options = common::GetOptions(m_settings);
    m_ckAutoRun->setChecked(m_options.AutoRun);
    m_ckMinimized->setChecked(m_options.MinimizedAfterRun);
    m_ckConnectOnce->setChecked(m_options.ConnectOnce);
    m_spnMinPassMs->setValue(m_options.MinPassMs);
    m_txtProjectPath->setText(QString::fromStdString(m_options.ProjectFilePath));
    switch (m_options.StartUpOperation) {
    case 0:
        m_opLoadNew->setChecked(true);
        break;
    case 1:
        m_opLoadPath->setChecked(true);
        break;
    case 2:
        m_opLoadLast->setChecked(true);
        break;
    default:
        break;
    }
    m_loadedLinkAddress = common::ReadLinkAddress(m_settings);
    m_loadedLinkPort = common::ReadLinkPort(m_settings);
    m_txtLinkAddress->setText(QString::fromStdString(m_loadedLinkAddress));
    m_txtLinkPort->setText(QString::number(m_loadedLinkPort));
    // The token is set in the settings file (LinkTokenFile), never shown here.
    const std::filesystem::path tokenFile = common::ReadLinkAccess(m_settings).tokenFile;
    if (tokenFile.empty()) {
        m_lblLinkToken->setText(QStringLiteral("none: only this computer can be served"));
    } else if (const auto token = common::ReadLinkToken(tokenFile); token) {
        m_lblLinkToken->setText(QStringLiteral("in force: every client must send it (from %1)")
                                    .arg(QString::fromStdString(tokenFile.string())));
    } else {
        m_lblLinkToken->setText(QStringLiteral("not usable: %1").arg(QString::fromStdString(token.error())));
    }
    m_loadedOpcUaAddress = common::ReadOpcUaAddress(m_settings);
    m_loadedOpcUaPort = common::ReadOpcUaPort(m_settings);
    m_txtOpcUaAddress->setText(QString::fromStdString(m_loadedOpcUaAddress));
    m_txtOpcUaPort->setText(QString::number(m_loadedOpcUaPort));
    m_loadedMqtt = common::ReadMqttOptions(m_settings);
    m_mqtt->Load(m_loadedMqtt);
}

void frmOptions::UpdateStartUpControls()
{
    const bool fixedProject = m_opLoadPath->isChecked();
    m_txtProjectPath->setEnabled(fixedProject);
    m_cmdProjectPath->setEnabled(fixedProject);
    m_ckAutoRun->setEnabled(!m_opLoadNew->isChecked());
}

common::AppOptions frmOptions::Options() const
{
    common::AppOptions options = m_options;
    options.AutoRun = m_ckAutoRun->isChecked();
    options.ProjectFilePath = m_txtProjectPath->text().toStdString();
    options.MinimizedAfterRun = m_ckMinimized->isChecked();
    options.ConnectOnce = m_ckConnectOnce->isChecked();
    options.MinPassMs = m_spnMinPassMs->value();
    if (m_opLoadNew->isChecked()) {
        options.StartUpOperation = 0;
    } else if (m_opLoadPath->isChecked()) {
        options.StartUpOperation = 1;
    } else if (m_opLoadLast->isChecked()) {
        options.StartUpOperation = 2;
    }
    return options;
}

bool frmOptions::SaveOptions()
{
    const QString addressText = m_txtLinkAddress->text().trimmed();
    QHostAddress address;
    if (!address.setAddress(addressText)) {
        m_tabs->setCurrentIndex(1);
        ShowExclamation(this, QStringLiteral("The link server address must be an IP address, such as 127.0.0.1."));
        return false;
    }
    const std::optional<std::uint16_t> port = LinkPortOf(m_txtLinkPort->text());
    if (!port) {
        m_tabs->setCurrentIndex(1);
        ShowExclamation(this, QStringLiteral("The link server port must be a whole number from 0 to 65535."));
        return false;
    }
    const QString opcUaAddressText = m_txtOpcUaAddress->text().trimmed();
    QHostAddress opcUaAddress;
    if (!opcUaAddress.setAddress(opcUaAddressText)) {
        m_tabs->setCurrentIndex(1);
        ShowExclamation(this, QStringLiteral("The OPC UA server address must be an IP address, such as 127.0.0.1."));
        return false;
    }
    const std::optional<std::uint16_t> opcUaPort = LinkPortOf(m_txtOpcUaPort->text());
    if (!opcUaPort) {
        m_tabs->setCurrentIndex(1);
        ShowExclamation(this,
                        QStringLiteral("The OPC UA server port must be a whole number from 0 to 65535 (0: off)."));
        return false;
    }
    const std::string newOpcUaAddress = opcUaAddressText.toStdString();
    const bool opcUaChanged = newOpcUaAddress != m_loadedOpcUaAddress || *opcUaPort != m_loadedOpcUaPort;
    const common::MqttOptions mqttOptions = m_mqtt->Options();
    const bool mqttChanged = mqttOptions != m_loadedMqtt;
    if (const auto problem = mqttChanged ? m_mqtt->Problem() : std::nullopt) {
        m_tabs->setCurrentWidget(m_mqtt);
        ShowExclamation(this, QString::fromStdString(*problem));
        return false;
    }
    const std::string newAddress = addressText.toStdString();
    const bool linkChanged = newAddress != m_loadedLinkAddress || *port != m_loadedLinkPort;
    if (linkChanged && m_moveLinkServer) {
        if (const auto failure = m_moveLinkServer(newAddress, *port)) {
            m_tabs->setCurrentIndex(1);
            ShowExclamation(this,
                            QStringLiteral("The link server cannot listen on %1 port %2: %3")
                                .arg(addressText)
                                .arg(*port)
                                .arg(QString::fromStdString(*failure)));
            return false;
        }
    }

    // When a later step fails, nothing of this OK takes effect, so that Cancel leaves the program as the settings
    // file has it: the servers go back to their addresses.
    const auto undoMoves = [&] {
        if (linkChanged && m_moveLinkServer) {
            (void)m_moveLinkServer(m_loadedLinkAddress, m_loadedLinkPort);
        }
    };
    if (opcUaChanged && m_moveOpcUa) {
        if (const auto failure = m_moveOpcUa(newOpcUaAddress, *opcUaPort)) {
            undoMoves();
            m_tabs->setCurrentIndex(1);
            ShowExclamation(this, QString::fromStdString(*failure));
            return false;
        }
    }
    if (mqttChanged && m_applyMqtt) {
        if (const auto failure = m_applyMqtt(mqttOptions)) {
            undoMoves();
            if (opcUaChanged && m_moveOpcUa) {
                (void)m_moveOpcUa(m_loadedOpcUaAddress, m_loadedOpcUaPort);
            }
            (void)m_applyMqtt(m_loadedMqtt);
            m_tabs->setCurrentWidget(m_mqtt);
            ShowExclamation(this, QString::fromStdString(*failure));
            return false;
        }
    }

    const common::AppOptions options = Options();
    auto written = common::SaveOptions(m_settings, options, m_ckRunAsService->isChecked());
    if (written && linkChanged) {
        const std::string portText = std::to_string(*port);
        const common::Settings::Entry entries[]
            = { { common::settingskey::LinkAddress, newAddress }, { common::settingskey::LinkPort, portText } };
        written = m_settings.WriteSettings(entries);
    }
    if (written && opcUaChanged) {
        const std::string portText = std::to_string(*opcUaPort);
        const common::Settings::Entry entries[]
            = { { common::settingskey::OpcUaAddress, newOpcUaAddress }, { common::settingskey::OpcUaPort, portText } };
        written = m_settings.WriteSettings(entries);
    }
    if (written && mqttChanged) {
        written = common::SaveMqttOptions(m_settings, mqttOptions);
    }
    if (!written) {
        ShowExclamation(
            this,
            QStringLiteral("The settings could not be written to %1: %2")
                .arg(QString::fromStdString(m_settings.FilePath().string()), QString::fromStdString(written.error())));
    }
    m_options = options;
    return true;
}

void frmOptions::ChooseProjectPath()
{
    const QString file
        = QFileDialog::getOpenFileName(this, QStringLiteral("Open"), QString(), QStringLiteral("Tavrel (*.tve)"));
    if (!file.isEmpty()) {
        m_txtProjectPath->setText(file);
    }
}

} // namespace tavrel::ui
