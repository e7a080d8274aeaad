#include "ui/frmSplash.h"

#include "ui/Pictures.h"
#include "ui/WindowTools.h"

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>

namespace tavrel::ui {

namespace {
constexpr QSize kSplashSize(465, 272);
}

frmSplash::frmSplash(QWidget* parent)
    : QDialog(parent, Qt::SplashScreen | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("frmSplash"));
    setWindowTitle(QString::fromLatin1(kProgramTitle));
    setFixedSize(kSplashSize);

    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("imgSplash"));
    picture->setPixmap(SplashPicture(kSplashSize));
    picture->setGeometry(QRect(QPoint(0, 0), kSplashSize));

    auto* versionCaption = new QLabel(QStringLiteral("Version"), this);
    m_lbVerison = new QLabel(this);
    m_lbVerison->setObjectName(QStringLiteral("lbVerison"));
    ApplyFormFont(*this);
    for (QLabel* label : { versionCaption, m_lbVerison }) {
        label->setStyleSheet(QStringLiteral("color: white; background: transparent;"));
    }
    m_lbVerison->setText(VersionText());
    versionCaption->adjustSize();
    m_lbVerison->adjustSize();
    const int baseline = kSplashSize.height() - m_lbVerison->height() - 8;
    m_lbVerison->move(kSplashSize.width() - m_lbVerison->width() - 12, baseline);
    versionCaption->move(m_lbVerison->x() - versionCaption->width() - 6, baseline);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }

    m_timer1.setInterval(kDisplayMilliseconds);
    connect(&m_timer1, &QTimer::timeout, this, [this] {
        m_timer1.stop();
        accept(); // hides the window, which ends the modal display
    });
}

void frmSplash::ShowGUI()
{
    m_timer1.start();
    exec();
}

QString frmSplash::VersionText()
{
    return QStringLiteral(TAVREL_VERSION_TEXT);
}

} // namespace tavrel::ui
