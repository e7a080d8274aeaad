#pragma once

#include "app/HistoryReader.h"
#include "app/ItemService.h"
#include "app/ProgramHost.h"
#include "comm/ChannelWorkers.h"
#include "comm/CommEnvironment.h"
#include "common/AppOptions.h"
#include "common/Settings.h"
#include "model/LabelArray.h"
#include "model/clsConfig.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace tavrel::app {

class HistoryRecorder;

/// The program's heart: the one project and its labels, the current file, the settings and the running
/// flag, with every command that the window, headless mode and the link server share. Lives on the main
/// thread; a run goes on in the event loop, one refresh pass per turn, so events are handled between passes.
/// A pass exchanges with the PLCs of different channels side by side on channel workers and waits for them.
class Program : public QObject, private comm::CommObserver
{
    Q_OBJECT

public:
    using DriverFactory = std::function<std::shared_ptr<comm::CommDriver>(const model::clsPlc&)>;

    /// A program with an empty project, reading and writing `settings`, making drivers with `factory`,
    /// saving with the template database at `templatePath`.
    Program(common::Settings settings, DriverFactory factory, std::filesystem::path templatePath,
            QObject* parent = nullptr);
    ~Program() override;

    void SetHost(ProgramHost* host) { m_host = host; }

    model::LabelArray& Labels() { return m_labels; }
    model::clsConfig& Project() { return *m_project; }
    const std::string& CurrentFilePath() const { return m_currentPath; }
    bool IsRunning() const { return m_running; }
    /// False from the start of a run until the events that arrived during its first pass have been handled:
    /// a click on the Run tool then is not acted on.
    bool IsRunToolEnabled() const { return m_runToolEnabled; }
    /// True while a dialog that changes the project (Open, Define or Edit PLC, the Delete question) is open.
    bool IsProjectDialogOpen() const { return m_projectDialogs > 0; }
    const common::AppOptions& Options() const { return m_options; }
    common::Settings& Settings() { return m_settings; }
    /// "Tavrel", or "Tavrel - " and the path of the open project file; " *" follows while there are unsaved
    /// changes.
    std::string Title() const;
    /// Whether the project has changes that are not saved.
    bool IsModified() const { return m_modified; }
    /// Before the project is replaced or the window closes: true when that may go ahead, after asking the host
    /// whether to save unsaved changes (and saving them when asked to); false when the user cancelled or the save
    /// failed.
    [[nodiscard]] bool MaySetProjectAside();
    comm::CommEnvironment& Environment() { return m_env; }
    /// The passes of the current run, or of the last one once it stopped.
    std::uint64_t PassCount() const { return m_passCount; }
    /// How long the last pass of a run took, in milliseconds; 0 before the first.
    double LastPassMilliseconds() const { return m_lastPassMilliseconds; }

    /// Reads the options from the settings file again; they apply to the next exchange.
    void ReloadOptions();
    /// Spaces passes by `milliseconds` whatever the settings file says, for as long as the program runs.
    void OverrideMinPassMs(std::int32_t milliseconds);

    // The commands that change the project refuse to act while running, whoever calls them.

    /// An empty project with no file; false, changing nothing, while running.
    bool NewProject();
    /// Opens a project file, or asks for one when `path` is empty. A file that cannot be read is reported
    /// and the open project stays as it was. True when a project was opened; the path is kept absolute.
    bool OpenProject(const std::string& path);
    /// Opens the Define PLC dialog through the host; true when OK added an item.
    bool DefinePlc();
    /// Opens the Edit PLC dialog for an item through the host; true when OK changed it.
    bool EditItem(std::int32_t plcKey, std::int32_t itemKey);
    /// Saves to the current file, asking for one when there is none or `saveAs` is set. True when saved.
    bool SaveProject(bool saveAs);
    /// Writes the current file to the settings and tells the surfaces the new title.
    void UpdateCaption();

    /// Deletes, after asking, the item of a grid row (an element row deletes its whole vector) and the
    /// PLC when it has no items left. True when something was deleted.
    bool DeleteItem(std::int32_t plcKey, std::int32_t itemKey);

    /// Replaces the items of a PLC with the items list (CSV) at `path`, all or none, after asking when the PLC has
    /// items; refused while running. A list that cannot be imported is reported with its line and reason. True when
    /// imported.
    bool ImportItems(std::int32_t plcKey, const std::string& path);
    /// Writes the items list (CSV) of a PLC to `path`; a failure is reported. True when written.
    bool ExportItems(std::int32_t plcKey, const std::string& path);

    /// One read and write pass over every PLC, on demand.
    void RefreshOnce();

    /// Starts the run, or stops it after the current pass (an execute, AutoRun, headless mode). A run is not
    /// started while a dialog that changes the project is open; a notice says so.
    void ToggleRun();
    /// A click on the Run tool: ToggleRun, except while the tool is disabled.
    void ClickRun();
    /// Stops a run, if one is going on, whatever the state of the Run tool; for shutting down.
    void Stop();

    /// The items as every client surface sees them, with the commands of clients.
    ItemService& Service() { return *m_service; }

    /// The history of the recorded items of the open project; none while no project file is open.
    const HistoryReader* History() const;
    /// The recorder of that history; none likewise.
    HistoryRecorder* Recorder() { return m_history.get(); }

    /// A driver instance for the PLC, to ask what its operands can hold; null when none can be made.
    std::shared_ptr<const comm::CommDriver> CheckingDriver(const model::clsPlc& plc) const;

    /// The project to start with: the command-line file if it exists, else the start-up option.
    void StartUp(const std::string& commandLineFile);
    /// Starts running once, on the first activation of the window, when AutoRun is on and there is a PLC.
    void FirstActivation();

signals:
    /// The project was replaced or changed: surfaces refill what they show of it.
    void projectChanged();
    void titleChanged(const QString& title);
    /// The running flag changed (a run started or stopped, or a one-shot refresh began or ended).
    void runningChanged(bool running);
    void runToolEnabledChanged(bool enabled);
    void plcConnected(int plcKey);
    void plcNotConnected(int plcKey, const QString& reason);
    void pokeRefused(const QString& plcName, int labelIndex, const QString& reason);
    /// One refresh pass of a run is over.
    void passFinished();
    /// Something the user should know that is no error: the window shows it in the status bar, headless
    /// mode as a line.
    void notice(const QString& text);

private:
    void HighlightConnectedPlc(std::int32_t pPlcKey) override;
    void HighlightNotConnectedPlc(std::int32_t pPlcKey, const std::string& reason) override;
    void PokeRefused(const model::clsPlc& plc, const model::Clsitem& item, const std::string& reason) override;

    void SetModified(bool modified);
    void ReplaceProject(std::unique_ptr<model::clsConfig> project);
    void StartRun();
    void StopRun();
    void RunPass();
    void ScheduleNextPass();
    void SetRunning(bool running);
    void ShowError(const std::string& message);
    void ReportUnexchangedItems();
    /// Records the history of the project file now open, beside it; none for a project without a file.
    void FollowHistory();

    /// Counts a dialog that changes the project for as long as it is open.
    class ProjectDialog
    {
    public:
        explicit ProjectDialog(Program& program)
            : m_program(program)
        {
            ++m_program.m_projectDialogs;
        }
        ~ProjectDialog() { --m_program.m_projectDialogs; }
        ProjectDialog(const ProjectDialog&) = delete;
        ProjectDialog& operator=(const ProjectDialog&) = delete;

    private:
        Program& m_program;
    };

    common::Settings m_settings;
    common::AppOptions m_options;
    std::filesystem::path m_templatePath;
    model::LabelArray m_labels;
    std::unique_ptr<model::clsConfig> m_project;
    std::string m_currentPath;
    bool m_modified = false;
    bool m_running = false;
    bool m_runToolEnabled = true;
    bool m_activatedOnce = false;
    bool m_firstPass = false;
    int m_projectDialogs = 0;
    /// Counts runs, so that the end of a first pass knows whether its run is still the current one.
    std::uint64_t m_runNumber = 0;
    std::uint64_t m_passCount = 0;
    double m_lastPassMilliseconds = 0;
    ProgramHost* m_host = nullptr;
    comm::CommEnvironment m_env;
    comm::ChannelWorkers m_workers;
    QTimer m_passTimer;
    QElapsedTimer m_passStart;
    std::optional<std::int32_t> m_minPassOverride;
    /// Made last, once the project it follows is there.
    std::unique_ptr<ItemService> m_service;
    /// Follows the service, so goes before it.
    std::unique_ptr<HistoryRecorder> m_history;
};

} // namespace tavrel::app
