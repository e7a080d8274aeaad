#include "UiTestTools.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>

namespace tavrel::test {

ProgramUnderTest::ProgramUnderTest()
    : program(common::Settings(dir / "tavrel.ini", "tavrel"), script.Factory(), TAVREL_TEMPLATE_PATH)
{
}

model::clsPlc& AddPlc(model::clsConfig& project, const std::string& name, const model::CommParams& params)
{
    auto plc = project.NewPlc();
    plc->Name = name;
    plc->SetCommParams(params);
    return project.AddPLC(std::move(plc));
}

model::Clsitem& AddItem(model::clsPlc& plc, std::int32_t operandType, std::int32_t address, std::int32_t length,
                        std::int32_t firstLabel, std::int32_t direction, bool enabled)
{
    if (!plc.AddItems(length, address, operandType, direction, enabled, firstLabel)) {
        qFatal("cannot add an item");
    }
    return *plc.colItems().back();
}

ModalAnswerer::ModalAnswerer()
{
    m_timer.setInterval(5);
    connect(&m_timer, &QTimer::timeout, this, [this] { Poll(); });
    m_timer.start();
}

ModalAnswerer& ModalAnswerer::Then(Answer answer)
{
    m_answers.push_back(std::move(answer));
    return *this;
}

ModalAnswerer& ModalAnswerer::PressOnMessageBox(QMessageBox::StandardButton button)
{
    return Then([this, button](QWidget* window) {
        auto* box = qobject_cast<QMessageBox*>(window);
        if (box == nullptr) {
            qFatal("expected a message box, got %s", qPrintable(window->metaObject()->className()));
        }
        m_messages.push_back({ box->windowTitle(), box->text(), box->icon() });
        QAbstractButton* pressed = box->button(button);
        if (pressed == nullptr) {
            qFatal("the message box has no such button");
        }
        pressed->click();
    });
}

void ModalAnswerer::Poll()
{
    QWidget* window = QApplication::activeModalWidget();
    if (window == nullptr || m_answers.empty() || !window->isVisible()) {
        return;
    }
    Answer answer = std::move(m_answers.front());
    m_answers.pop_front();
    answer(window);
}

QString RowKinds(const ui::ItemGrid& grid)
{
    QString kinds;
    for (int row = 0; row < grid.rowCount(); ++row) {
        kinds += QStringLiteral("LSpHE").at(static_cast<int>(grid.Row(row).kind));
    }
    return kinds;
}

QPoint CellCentre(const ui::ItemGrid& grid, int row, int column)
{
    return { grid.columnViewportPosition(column) + grid.columnWidth(column) / 2,
             grid.rowViewportPosition(row) + grid.rowHeight(row) / 2 };
}

bool WaitFor(const std::function<bool()>& done, int milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
}

} // namespace tavrel::test
