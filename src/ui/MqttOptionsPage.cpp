#include "ui/MqttOptionsPage.h"

#include "mqtt/MqttConfig.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

namespace tavrel::ui {

namespace {

QLineEdit* NewLineEdit(QWidget* parent, const char* name)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    return edit;
}

/// A file path box with a "..." button that picks an existing file.
QWidget* WithBrowseButton(QLineEdit* edit, const QString& title)
{
    auto* row = new QWidget(edit->parentWidget());
    auto* button = new QPushButton(QStringLiteral("..."), row);
    button->setObjectName(edit->objectName().replace(QStringLiteral("txt"), QStringLiteral("cmd")));
    button->setFixedWidth(button->fontMetrics().horizontalAdvance(QStringLiteral("...")) + 16);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    edit->setParent(row);
    layout->addWidget(edit);
    layout->addWidget(button);
    QObject::connect(button, &QPushButton::clicked, edit, [edit, title] {
        const QString chosen = QFileDialog::getOpenFileName(edit->window(), title, edit->text());
        if (!chosen.isEmpty()) {
            edit->setText(chosen);
        }
    });
    return row;
}

} // namespace

MqttOptionsPage::MqttOptionsPage(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("fMqtt"));
    m_txtBroker = NewLineEdit(this, "txtMqttBroker");
    m_txtBroker->setPlaceholderText(QStringLiteral("host:port — empty: off"));
    m_txtPrefix = NewLineEdit(this, "txtMqttPrefix");
    m_txtPrefix->setPlaceholderText(QString::fromStdString(mqtt::DefaultTopicPrefix()));
    m_txtUser = NewLineEdit(this, "txtMqttUser");
    m_txtPasswordFile = NewLineEdit(this, "txtMqttPasswordFile");
    m_txtCaFile = NewLineEdit(this, "txtMqttCaFile");
    m_txtCaFile->setPlaceholderText(QStringLiteral("empty: no TLS"));
    m_cbQos = new QComboBox(this);
    m_cbQos->setObjectName(QStringLiteral("cbMqttQos"));
    m_cbQos->addItem(QStringLiteral("0 (at most once)"), 0);
    m_cbQos->addItem(QStringLiteral("1 (at least once)"), 1);
    m_cbPayload = new QComboBox(this);
    m_cbPayload->setObjectName(QStringLiteral("cbMqttPayload"));
    m_cbPayload->addItem(QStringLiteral("plain (the value's text)"), QStringLiteral("plain"));
    m_cbPayload->addItem(QStringLiteral("json (value, time, quality; kept while the broker is away)"),
                         QStringLiteral("json"));
    m_spnRepublish = new QSpinBox(this);
    m_spnRepublish->setObjectName(QStringLiteral("spnMqttRepublish"));
    m_spnRepublish->setRange(0, 86400);
    m_spnRepublish->setSuffix(QStringLiteral(" s"));
    m_spnRepublish->setSpecialValueText(QStringLiteral("off"));
    m_spnBuffer = new QSpinBox(this);
    m_spnBuffer->setObjectName(QStringLiteral("spnMqttBuffer"));
    m_spnBuffer->setRange(1, 1'000'000);
    m_spnBuffer->setSuffix(QStringLiteral(" MB"));
    auto* form = new QFormLayout(this);
    form->addRow(QStringLiteral("Broker:"), m_txtBroker);
    form->addRow(QStringLiteral("Topic prefix:"), m_txtPrefix);
    form->addRow(QStringLiteral("User:"), m_txtUser);
    form->addRow(QStringLiteral("Password file:"),
                 WithBrowseButton(m_txtPasswordFile, QStringLiteral("MQTT password file")));
    form->addRow(QStringLiteral("CA file:"), WithBrowseButton(m_txtCaFile, QStringLiteral("MQTT CA certificate")));
    form->addRow(QStringLiteral("QoS:"), m_cbQos);
    form->addRow(QStringLiteral("Payload:"), m_cbPayload);
    form->addRow(QStringLiteral("Publish unchanged values every:"), m_spnRepublish);
    form->addRow(QStringLiteral("Queue while the broker is away:"), m_spnBuffer);
}

void MqttOptionsPage::Load(const common::MqttOptions& options)
{
    m_loaded = options;
    m_txtBroker->setText(QString::fromStdString(options.Broker));
    m_txtPrefix->setText(QString::fromStdString(options.TopicPrefix));
    m_txtUser->setText(QString::fromStdString(options.User));
    m_txtPasswordFile->setText(QString::fromStdString(options.PasswordFile));
    m_txtCaFile->setText(QString::fromStdString(options.CaFile));
    m_cbQos->setCurrentIndex(options.Qos == 1 ? 1 : 0);
    m_cbPayload->setCurrentIndex(options.Payload == "json" ? 1 : 0);
    m_spnRepublish->setValue(options.RepublishSeconds);
    m_spnBuffer->setValue(options.BufferMB);
}

common::MqttOptions MqttOptionsPage::Options() const
{
    common::MqttOptions options = m_loaded; // the client ID has no control
    options.Broker = m_txtBroker->text().trimmed().toStdString();
    options.TopicPrefix = m_txtPrefix->text().trimmed().toStdString();
    options.User = m_txtUser->text().toStdString();
    options.PasswordFile = m_txtPasswordFile->text().trimmed().toStdString();
    options.CaFile = m_txtCaFile->text().trimmed().toStdString();
    options.Qos = m_cbQos->currentData().toInt();
    options.Payload = m_cbPayload->currentData().toString().toStdString();
    options.RepublishSeconds = m_spnRepublish->value();
    options.BufferMB = m_spnBuffer->value();
    return options;
}

std::optional<std::string> MqttOptionsPage::Problem() const
{
    const common::MqttOptions options = Options();
    if (options.Broker.empty()) {
        return std::nullopt;
    }
    const auto config = mqtt::MakeMqttConfig(options);
    return config ? std::nullopt : std::optional<std::string>(config.error());
}

} // namespace tavrel::ui
