#pragma once

#include <QDialog>
#include <QTimer>

class QLabel;

namespace tavrel::ui {

/// The splash window: the program's picture and version, shown for two seconds at start-up.
class frmSplash : public QDialog
{
    Q_OBJECT

public:
    /// How long ShowGUI keeps the window up.
    static constexpr int kDisplayMilliseconds = 2000;

    explicit frmSplash(QWidget* parent = nullptr);

    /// Shows the window modally; returns when the timer has hidden it.
    void ShowGUI();

    /// The program version as major.minor.build.
    static QString VersionText();

private:
    QTimer m_timer1;
    QLabel* m_lbVerison = nullptr;
};

} // namespace tavrel::ui
