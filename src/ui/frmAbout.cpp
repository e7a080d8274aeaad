#include "ui/frmAbout.h"

#include "ui/LibraryVersions.h"
#include "ui/Pictures.h"
#include "ui/WindowTools.h"
#include "ui/frmSplash.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace tavrel::ui {

namespace {
// The splash picture's own size: its lettering is drawn for it.
constexpr QSize kPictureSize(465, 272);
constexpr int kTextWidth = 300;
} // namespace

frmAbout::frmAbout(const std::filesystem::path& settingsFile, QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About %1").arg(QString::fromLatin1(kProgramTitle)));

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("imgAbout"));
    picture->setPixmap(SplashPicture(kPictureSize));
    picture->setAlignment(Qt::AlignTop);
    auto* text = new QLabel(AboutText(settingsFile), this);
    text->setObjectName(QStringLiteral("lblAboutText"));
    text->setTextFormat(Qt::RichText);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    text->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    text->setWordWrap(true);
    text->setFixedWidth(kTextWidth);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setObjectName(QStringLiteral("cmdClose"));
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* top = new QHBoxLayout;
    top->addWidget(picture);
    top->addWidget(text, 1);
    auto* whole = new QVBoxLayout(this);
    whole->addLayout(top);
    whole->addWidget(buttons);
    whole->setSizeConstraint(QLayout::SetFixedSize);
    ApplyFormFont(*this);
}

QString frmAbout::AboutText(const std::filesystem::path& settingsFile)
{
    QString text
        = QStringLiteral("<h2>%1</h2><p>Version %2</p>"
                         "<p>Serves live PLC values to clients: reads and writes the PLCs over Modbus "
                         "and hands the values on over HTTP, WebSocket and MQTT.</p>"
                         "<p>Qt %3<br>libmodbus %4<br>SQLite %5</p>")
              .arg(QString::fromLatin1(kProgramTitle), frmSplash::VersionText(), QString::fromLatin1(qVersion()),
                   QString::fromStdString(LibmodbusVersion()), QString::fromStdString(SqliteVersion()));
    if (!settingsFile.empty()) {
        text
            += QStringLiteral("<p>Settings: %1</p>").arg(QString::fromStdString(settingsFile.string()).toHtmlEscaped());
    }
    return text;
}

} // namespace tavrel::ui
