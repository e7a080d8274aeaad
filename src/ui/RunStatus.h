#pragma once

#include <QElapsedTimer>
#include <QLabel>

#include <cstdint>
#include <functional>
#include <vector>

namespace tavrel::app {
class Program;
}

namespace tavrel::ui {

/// The run's health in the status bar: passes per second, the last pass time, how many PLCs are connected and
/// the parts other surfaces add (link clients, ...). Shown only while running; the text is renewed after the
/// first pass, when a PLC's connection changes, and after passes at most twice a second, so fast passes cost
/// no repaint each.
class RunStatus : public QLabel
{
    Q_OBJECT

public:
    /// A part of the text that another surface supplies, asked each time the text is renewed.
    using Part = std::function<QString()>;

    explicit RunStatus(app::Program& program, QWidget* parent = nullptr);

    /// Appends a part after the program's own; an empty text leaves the part out.
    void AddPart(Part part);

    /// Renews the text from the passes counted since the last renewal.
    void Renew();

private:
    void OnRunningChanged(bool running);
    void OnPassFinished();

    app::Program& m_program;
    std::vector<Part> m_parts;
    QElapsedTimer m_sinceRenewal;
    QElapsedTimer m_sinceRunStart;
    std::uint64_t m_passesAtRenewal = 0;
};

} // namespace tavrel::ui
