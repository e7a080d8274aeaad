#include "ui/frmMain.h"

#include "app/ConnectionTest.h"
#include "app/Program.h"
#include "ui/EventsPane.h"
#include "ui/ItemGrid.h"
#include "ui/WindowTools.h"
#include "ui/frmConfigItems.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMessageBox>
#include <QScreen>

#include <algorithm>
#include <charconv>

// What the window does for the program (ProgramHost): file dialogs, questions, the project dialogs, the wait
// pointer; and the window's own life: its first size, the size and place it is given back at the next start, and the
// question before unsaved changes would be lost.
namespace tavrel::ui {

namespace {

const QString kFileFilter = QStringLiteral("Tavrel (*.tve)");
// The smallest outer size, in pixels at 96 dpi.
constexpr QSize kMinimumOuterSize(576, 351);
// The settings keys of the window's place and size, as it was when it last closed.
constexpr std::string_view kWindowGeometryKey = "WindowGeometry";

std::optional<QRect> ReadGeometry(const std::string& text)
{
    int values[4] = {};
    const char* at = text.data();
    const char* end = text.data() + text.size();
    for (int& value : values) {
        const auto [next, error] = std::from_chars(at, end, value);
        if (error != std::errc()) {
            return std::nullopt;
        }
        at = next < end && *next == ',' ? next + 1 : next;
    }
    const QRect rect(values[0], values[1], values[2], values[3]);
    return rect.width() > 0 && rect.height() > 0 ? std::optional(rect) : std::nullopt;
}

} // namespace

void frmMain::PlaceWindow()
{
    const QRect available = screen() != nullptr ? screen()->availableGeometry() : QRect(0, 0, 1280, 800);
    if (const auto stored = ReadGeometry(m_program.Settings().ReadSetting(kWindowGeometryKey, ""));
        stored && available.intersects(*stored)) {
        // As the user left it, but whole on the screen it now opens on (another monitor, another resolution).
        QRect place(stored->topLeft(), stored->size().boundedTo(available.size()));
        place.moveLeft(std::clamp(place.left(), available.left(), available.right() - place.width() + 1));
        place.moveTop(std::clamp(place.top(), available.top(), available.bottom() - place.height() + 1));
        setGeometry(place);
        return;
    }
    // At first, wide enough for every column of the grid, within the screen.
    const int columns = m_vsItems->horizontalHeader()->length() + m_vsItems->frameWidth() * 2 + 24;
    resize(std::min(std::max(columns, kMinimumOuterSize.width()), available.width() * 9 / 10),
           std::min(std::max(620, kMinimumOuterSize.height()), available.height() * 9 / 10));
    resizeDocks({ m_events }, { 140 }, Qt::Vertical); // the grid first, a few lines of events below
}

void frmMain::KeepGeometry()
{
    const QRect place = geometry();
    (void)m_program.Settings().WriteSetting(kWindowGeometryKey,
                                            std::to_string(place.x()) + "," + std::to_string(place.y()) + ","
                                                + std::to_string(place.width()) + "," + std::to_string(place.height()));
}

std::optional<std::string> frmMain::ChooseProjectToOpen()
{
    const QString file = QFileDialog::getOpenFileName(this, QStringLiteral("Open"), QString(), kFileFilter);
    if (file.isEmpty()) {
        return std::nullopt;
    }
    return file.toStdString();
}

std::optional<std::string> frmMain::ChooseProjectToSave()
{
    QFileDialog dialog(this, QStringLiteral("Save As"), QString(), kFileFilter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("tve"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return dialog.selectedFiles().constFirst().toStdString();
}

void frmMain::ShowError(const std::string& message)
{
    ShowExclamation(this, QString::fromStdString(message));
}

bool frmMain::Confirm(const std::string& question)
{
    return AskYesNo(this, QString::fromStdString(question));
}

void frmMain::ExchangeItemsList(bool import)
{
    const int row = m_vsItems->CurrentItemRow();
    if (row < 0) {
        return;
    }
    const std::int32_t plcKey = m_vsItems->Row(row).plcKey;
    const QString plcName = m_vsItems->Row(row).plcName;
    std::optional<QString> file;
    if (m_askItemsFile) {
        file = m_askItemsFile(import, plcName);
    } else {
        const QString filter = QStringLiteral("Items lists (*.csv);;All files (*)");
        const QString chosen = import
            ? QFileDialog::getOpenFileName(this, QStringLiteral("Import Items into %1").arg(plcName), QString(), filter)
            : QFileDialog::getSaveFileName(this, QStringLiteral("Export Items of %1").arg(plcName),
                                           plcName + QStringLiteral(".csv"), filter);
        file = chosen.isEmpty() ? std::nullopt : std::optional<QString>(chosen);
    }
    if (!file) {
        return;
    }
    if (import) {
        m_program.ImportItems(plcKey, file->toStdString());
    } else {
        m_program.ExportItems(plcKey, file->toStdString());
    }
}

bool frmMain::DefinePlc(model::clsConfig& project)
{
    return frmConfigItems::AddNewItems(project, this, app::MakeConnectionTester(m_program.Environment().CreateDriver));
}

bool frmMain::EditItem(model::clsConfig& project, std::int32_t plcKey, std::int32_t itemKey)
{
    if (m_editWithoutDialog) {
        return m_editWithoutDialog(project);
    }
    return frmConfigItems::EditItem(project, plcKey, itemKey, this,
                                    app::MakeConnectionTester(m_program.Environment().CreateDriver));
}

void frmMain::SetBusy(bool busy)
{
    if (busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        ++m_busyDepth;
    } else if (m_busyDepth > 0) {
        QApplication::restoreOverrideCursor();
        --m_busyDepth;
    }
}

void frmMain::MinimizeForRun()
{
    setWindowState(windowState() | Qt::WindowMinimized);
}

bool frmMain::event(QEvent* event)
{
    if (event->type() == QEvent::WindowActivate) {
        HandleFirstActivation();
    }
    return QMainWindow::event(event);
}

app::ProgramHost::SaveChoice frmMain::AskToSaveChanges(const std::string& path)
{
    if (m_askToSave) {
        return m_askToSave(path);
    }
    QMessageBox question(QMessageBox::Warning, QStringLiteral("Tavrel"),
                         path.empty()
                             ? QStringLiteral("The new project has changes that are not saved.")
                             : QStringLiteral("%1 has changes that are not saved.").arg(QString::fromStdString(path)),
                         QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, this);
    question.setInformativeText(QStringLiteral("Save them before going on?"));
    question.setDefaultButton(QMessageBox::Save);
    switch (question.exec()) {
    case QMessageBox::Save:
        return SaveChoice::Save;
    case QMessageBox::Discard:
        return SaveChoice::Discard;
    default:
        return SaveChoice::Cancel;
    }
}

void frmMain::closeEvent(QCloseEvent* event)
{
    // While running, a close is refused without a word; the user stops the run first. Unsaved changes are not
    // lost without a question (during which a client may have started a run: asked again).
    if (m_program.IsRunning() || !m_program.MaySetProjectAside() || m_program.IsRunning()) {
        event->ignore();
        return;
    }
    KeepGeometry();
    event->accept();
}

void frmMain::showEvent(QShowEvent* event)
{
    if (!m_placed) {
        m_placed = true; // once the start-up project is in the grid, whose columns the first size shows
        PlaceWindow();
    }
    QMainWindow::showEvent(event);
    // The smallest size counts the frame; the frame is known once the window is on screen.
    const QSize frame = frameGeometry().size() - geometry().size();
    setMinimumSize(kMinimumOuterSize - frame.expandedTo(QSize(0, 0)));
}

} // namespace tavrel::ui
