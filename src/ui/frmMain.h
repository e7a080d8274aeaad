#pragma once

#include "app/ProgramHost.h"
#include "ui/frmOptions.h"

#include <QMainWindow>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class QAction;
class QLabel;
class QMenu;
class QToolBar;

namespace tavrel::app {
class Program;
}
namespace tavrel::mqtt {
class MqttBridge;
}
namespace tavrel::model {
class Clsitem;
class clsConfig;
} // namespace tavrel::model

namespace tavrel::ui {

class EventsPane;
class ItemGrid;
class RunStatus;

/// The main window: the grid of the project's PLCs and items, the menu bar, tool bar and status bar, and
/// every command of the program. A view over the program's heart, which it serves as host for dialogs.
class frmMain : public QMainWindow, public app::ProgramHost
{
    Q_OBJECT

public:
    /// A window over `program`; `moveLinkServer`, when given, lets the Options dialog move the link server.
    explicit frmMain(app::Program& program, LinkServerMover moveLinkServer = {}, QWidget* parent = nullptr);
    ~frmMain() override;

    ItemGrid& Grid() { return *m_vsItems; }
    /// The Events pane.
    EventsPane& Events() { return *m_events; }
    /// Shows the MQTT bridge's state in the status bar and lets the Options dialog set its broker.
    void AttachMqtt(mqtt::MqttBridge* bridge);
    /// Lets the Options dialog move the OPC UA server.
    void SetOpcUaMover(OpcUaServerMover move) { m_moveOpcUa = std::move(move); }
    /// The run's health in the status bar, where other surfaces add their parts.
    RunStatus& Status() { return *m_runStatus; }
    /// A tool of a band ("mnuMain", "barMain", "popFile", "popItems", "popConnaction", "popHelp", "popItem") by
    /// its name, or null.
    QAction* Tool(const QString& band, const QString& toolName) const;
    /// The pop-up menu of a band ("popFile" ... "popItem").
    QMenu* Band(const QString& band) const;

    /// Rebuilds the grid from the project.
    void FillGrid();
    void HighlightConnectedPlc(std::int32_t pPlcKey);
    void HighlightNotConnectedPlc(std::int32_t pPlcKey, const QString& reason);

    /// Enables the tool bar's tools by the project and the current row; does nothing while running.
    void UpdateCommandStates();
    /// Enables or disables every tool of the tool bar and the File menu.
    void EnableAll(bool enabled);
    /// Enable all, then Run and the run/stop toggle macro in any case.
    void EnableForRun(bool enabled);

    /// The command of a tool name; a name without a command does nothing.
    void RunTool(const QString& toolName);

    /// Opens the Define PLC dialog in Edit mode for the item of a row, and refills the grid after OK.
    void EditRow(int row);
    /// Shows the pop-up menu of a row with the captions rewritten for it.
    void ShowRowMenu(int row, const QPoint& globalPosition);

    /// Starts running on the first activation when the options say so; later calls do nothing.
    void HandleFirstActivation();

    /// While running: asks for a value for the writable item of a row and pokes it through the same checks as any
    /// client's poke; a refusal is shown with its reason.
    void WriteRow(int row);

    /// Answers the unsaved-changes question instead of a message box (for tests).
    using SaveQuestion = std::function<SaveChoice(const std::string& path)>;
    void SetSaveQuestion(SaveQuestion question) { m_askToSave = std::move(question); }
    /// Asks for a value to write instead of an input box: the prompt and the current value in, the value or
    /// nothing (cancelled) out (for tests).
    using ValueQuestion = std::function<std::optional<QString>(const QString& prompt, const QString& current)>;
    void SetValueQuestion(ValueQuestion question) { m_askValue = std::move(question); }
    /// Asks for the file of an items list instead of a file dialog: import or export, and the PLC's name in; the
    /// path or nothing (cancelled) out (for tests).
    using ItemsFileQuestion = std::function<std::optional<QString>(bool import, const QString& plcName)>;
    void SetItemsFileQuestion(ItemsFileQuestion question) { m_askItemsFile = std::move(question); }

    // What the program asks of its host.
    std::optional<std::string> ChooseProjectToOpen() override;
    std::optional<std::string> ChooseProjectToSave() override;
    void ShowError(const std::string& message) override;
    bool Confirm(const std::string& question) override;
    bool DefinePlc(model::clsConfig& project) override;
    bool EditItem(model::clsConfig& project, std::int32_t plcKey, std::int32_t itemKey) override;
    void SetBusy(bool busy) override;
    void MinimizeForRun() override;
    SaveChoice AskToSaveChanges(const std::string& path) override;

protected:
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void BuildTools();
    QAction* NewTool(const char* name, const char* caption);
    void OnRunningChanged(bool running);
    void DeleteCurrentRow();
    void Refresh();
    void ToggleRun();
    void ShowOptions();
    void ShowHelp();
    void ShowAbout();
    void CopyRowText(const QString& toolName);
    /// Import Items and Export Items: the items list of the current row's PLC, from or to a file the user chooses.
    void ExchangeItemsList(bool import);
    /// Record All Items and Record No Items: sets or clears the Record flag of every item of the current row's PLC,
    /// as an edit of the project that is saved like any other.
    void RecordPlcItems(bool record);
    /// Opens a Trend window for the item of the current row (a vector's header: every element).
    void OpenTrend();
    const model::Clsitem* RowItem(int row) const;
    static void PutOnClipboard(const std::string& text);
    /// The first size (every column in view) or the one the user left the window at.
    void PlaceWindow();
    /// Keeps the window's place and size in the settings for the next start.
    void KeepGeometry();

    app::Program& m_program;
    LinkServerMover m_moveLinkServer;
    OpcUaServerMover m_moveOpcUa;
    mqtt::MqttBridge* m_mqttBridge = nullptr;
    QLabel* m_lblMqtt = nullptr;
    ItemGrid* m_vsItems = nullptr;
    RunStatus* m_runStatus = nullptr;
    EventsPane* m_events = nullptr;
    QToolBar* m_barMain = nullptr;
    QMenu* m_popFile = nullptr;
    QMenu* m_popItems = nullptr;
    QMenu* m_popConnaction = nullptr;
    QMenu* m_popHelp = nullptr;
    QMenu* m_popItem = nullptr;
    QAction* m_about = nullptr;
    bool m_refreshing = false;
    bool m_runActive = false;
    bool m_activatedOnce = false;
    int m_busyDepth = 0;
    bool m_placed = false;
    SaveQuestion m_askToSave;
    ValueQuestion m_askValue;
    ItemsFileQuestion m_askItemsFile;
    /// An edit of the project that EditItem carries out instead of opening the dialog, while it is set.
    std::function<bool(model::clsConfig&)> m_editWithoutDialog;
};

} // namespace tavrel::ui
