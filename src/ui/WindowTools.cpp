#include "ui/WindowTools.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QMessageBox>
#include <QWidget>

namespace tavrel::ui {

void MarkField(QWidget& field, const QString& problem)
{
    static const QString kWrong = QStringLiteral("border: 2px solid #c62828; border-radius: 2px; padding: 1px;");
    const QString sheet = problem.isEmpty() ? QString() : kWrong;
    if (field.styleSheet() != sheet) {
        field.setStyleSheet(sheet);
    }
    field.setToolTip(problem);
}

void ApplyFormFont(QWidget& window)
{
    const QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    window.setFont(font);
    // A control that was given its own font keeps it against inheritance, so every control is set on its own.
    const auto controls = window.findChildren<QWidget*>();
    for (QWidget* control : controls) {
        control->setFont(font);
    }
}

void SelectComboByItemData(QComboBox& list, int value)
{
    for (int index = 0; index < list.count(); ++index) {
        const QVariant data = list.itemData(index);
        if (data.isValid() && data.toInt() == value) {
            list.setCurrentIndex(index);
            return;
        }
    }
}

void ShowExclamation(QWidget* parent, const QString& message)
{
    QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kProgramTitle), message, QMessageBox::Ok, parent);
    box.exec();
}

bool AskYesNo(QWidget* parent, const QString& question)
{
    QMessageBox box(QMessageBox::Question, QString::fromLatin1(kProgramTitle), question,
                    QMessageBox::Yes | QMessageBox::No, parent);
    return box.exec() == QMessageBox::Yes;
}

} // namespace tavrel::ui
