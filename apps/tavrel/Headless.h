#pragma once

#include "app/Program.h"
#include "app/ProgramHost.h"

#include <QObject>

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace tavrel {

/// Runs the program without a window: no dialogs, every message and state change as one line on the
/// standard streams.
class Headless : public QObject, public app::ProgramHost
{
    Q_OBJECT

public:
    explicit Headless(app::Program& program, QObject* parent = nullptr);

    std::optional<std::string> ChooseProjectToOpen() override { return std::nullopt; }
    /// Only the file LoadProject makes for a missing project; nothing else is ever saved without a window.
    std::optional<std::string> ChooseProjectToSave() override { return m_saveTarget; }
    void ShowError(const std::string& message) override;
    bool Confirm(const std::string&) override { return false; }

    /// Loads the project of the command line (or, without one, of the start-up option) and says what it holds;
    /// false, with the reason on standard error, when a project named on the command line cannot be opened. A
    /// project file named on the command line that does not exist, in a folder that does, is made there as a new,
    /// empty project (a fresh installation's first start), and a line says so.
    [[nodiscard]] bool LoadProject(const std::string& commandLineFile);
    /// Starts running.
    void Run();

private:
    void ReportStates();
    [[nodiscard]] bool MakeEmptyProject(const std::string& file);

    app::Program& m_program;
    std::optional<std::string> m_saveTarget;
    /// The connection state last reported per PLC key.
    std::map<std::int32_t, bool> m_reported;
    /// The run state of the PLC's program last reported per PLC key; a PLC whose state is unknown is not reported.
    std::map<std::int32_t, bool> m_reportedRunning;
};

/// Makes SIGINT and SIGTERM stop the event loop cleanly: `beforeStop` is called, the run stops after the current
/// pass, the channels close, and the application quits with 0.
void StopOnSignals(app::Program& program, std::function<void()> beforeStop = {});

} // namespace tavrel
