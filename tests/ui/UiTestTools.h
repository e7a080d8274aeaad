#pragma once

#include "app/Program.h"
#include "common/Settings.h"
#include "model/clsConfig.h"
#include "support/ScriptedDriver.h"
#include "support/TempDir.h"
#include "ui/ItemGrid.h"

#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <deque>
#include <functional>
#include <string>

namespace tavrel::test {

/// Adds a PLC with these parameters to a project.
model::clsPlc& AddPlc(model::clsConfig& project, const std::string& name, const model::CommParams& params = {});

/// Adds an item of `length` operands to a PLC, on labels from `firstLabel` on (-1: the next free ones).
model::Clsitem& AddItem(model::clsPlc& plc, std::int32_t operandType, std::int32_t address, std::int32_t length = 1,
                        std::int32_t firstLabel = -1, std::int32_t direction = 0, bool enabled = true);

/// A project on labels of its own.
struct Project
{
    model::clsPlc& AddPlc(const std::string& name, const model::CommParams& params = {})
    {
        return test::AddPlc(config, name, params);
    }

    model::LabelArray labels;
    model::clsConfig config { labels };
};

/// A program on the scripted driver, with its settings file in a fresh folder.
class ProgramUnderTest
{
public:
    ProgramUnderTest();

    TempDir dir;
    DriverScript script;
    app::Program program;
};

/// A message box as it was shown.
struct SeenMessage
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
};

/// Answers the modal windows the code under test opens, in the order queued: each answer is called with the
/// window once it has become the active modal window, and must close it.
class ModalAnswerer : public QObject
{
public:
    using Answer = std::function<void(QWidget*)>;

    ModalAnswerer();

    /// Queues an answer for the next modal window.
    ModalAnswerer& Then(Answer answer);
    /// Queues an answer that notes a message box and presses `button` on it.
    ModalAnswerer& PressOnMessageBox(QMessageBox::StandardButton button);

    /// Answers not used yet.
    std::size_t Pending() const { return m_answers.size(); }
    const std::vector<SeenMessage>& Messages() const { return m_messages; }

private:
    void Poll();

    QTimer m_timer;
    std::deque<Answer> m_answers;
    std::vector<SeenMessage> m_messages;
};

/// The control of a window by its object name; ends the test when there is none.
template<class Control> Control* Find(QWidget& window, const char* name)
{
    auto* control = window.findChild<Control*>(QString::fromLatin1(name));
    if (control == nullptr) {
        qFatal("no control %s", name);
    }
    return control;
}

/// The kinds of a grid's rows, a letter each: L lead, S single item, p spacer, H vector header, E element.
QString RowKinds(const ui::ItemGrid& grid);

/// The centre of a cell, in the grid's viewport.
QPoint CellCentre(const ui::ItemGrid& grid, int row, int column);

/// Processes events until `done` holds or the time is up; returns whether it holds.
bool WaitFor(const std::function<bool()>& done, int milliseconds = 5000);

} // namespace tavrel::test
