#include "ui/OpcUaOptionsPage.h"

#include "opcua/crypto/Keys.h"

#include <QDesktopServices>
#include <QFontDatabase>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include <system_error>

namespace tavrel::ui {

namespace fs = std::filesystem;

OpcUaOptionsPage::OpcUaOptionsPage(fs::path pkiFolder, QWidget* parent)
    : QWidget(parent)
    , m_pki(std::move(pkiFolder))
{
    m_lblThumbprint = new QLabel(this);
    m_lblThumbprint->setObjectName(QStringLiteral("lblOpcUaThumbprint"));
    m_lblThumbprint->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_lblThumbprint->setWordWrap(true);
    m_lblRejected = new QLabel(this);
    m_lblRejected->setObjectName(QStringLiteral("lblOpcUaRejected"));
    m_lblRejected->setWordWrap(true);
    m_cmdOpenPki = new QPushButton(QStringLiteral("Open Certificate Folder"), this);
    m_cmdOpenPki->setObjectName(QStringLiteral("cmdOpenPki"));
    m_cmdOpenPki->setToolTip(QString::fromStdString(m_pki.string()));
    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Certificate thumbprint:"), m_lblThumbprint);
    form->addRow(QStringLiteral("Refused clients:"), m_lblRejected);
    auto* hint = new QLabel(QStringLiteral("A refused client's certificate waits in rejected/certs. To let it in, "
                                           "move it into trusted/certs, or run:"),
                            this);
    // The command on a line of its own, as it is typed: a break at its dashes would misquote it.
    auto* command = new QLabel(QStringLiteral("tavrel --trust-certificate FILE"), this);
    command->setTextInteractionFlags(Qt::TextSelectableByMouse);
    command->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    hint->setWordWrap(true);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(hint);
    layout->addWidget(command);
    layout->addWidget(m_cmdOpenPki, 0, Qt::AlignLeft);
    layout->addStretch();
    connect(m_cmdOpenPki, &QPushButton::clicked, this,
            [this] { QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(m_pki.string()))); });
    Refresh();
}

void OpcUaOptionsPage::Refresh()
{
    const auto certificate = opcua::crypto::Certificate::FromFile((m_pki / "own" / "certs" / "tavrel.der").string());
    m_lblThumbprint->setText(certificate ? QString::fromStdString(certificate->ThumbprintHex())
                                         : QStringLiteral("none yet: made when the OPC UA server first starts"));
    std::size_t rejected = 0;
    std::error_code error;
    for (fs::directory_iterator it(m_pki / "rejected" / "certs", error), end; !error && it != end;
         it.increment(error)) {
        rejected += it->is_regular_file(error) ? 1 : 0;
    }
    m_lblRejected->setText(rejected == 0 ? QStringLiteral("none waiting")
                                         : QStringLiteral("%1 waiting in rejected/certs").arg(rejected));
    m_cmdOpenPki->setEnabled(fs::is_directory(m_pki, error));
}

} // namespace tavrel::ui
