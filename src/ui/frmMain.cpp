#include "ui/frmMain.h"

#include "app/ConnectionTest.h"
#include "app/Program.h"
#include "common/OperandCatalogue.h"
#include "link/FormulaTexts.h"
#include "model/clsConfig.h"
#include "mqtt/MqttBridge.h"
#include "storage/ProjectTemplate.h"
#include "ui/EventsPane.h"
#include "ui/ItemGrid.h"
#include "ui/Pictures.h"
#include "ui/RunStatus.h"
#include "ui/WindowTools.h"
#include "ui/frmAbout.h"
#include "ui/frmConfigItems.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>
#include <QUrl>

#include <filesystem>

namespace tavrel::ui {

namespace {

constexpr int kStatusMessageMilliseconds = 15000;

bool IsRowTool(const QString& name)
{
    return name == QLatin1String("ID_DeleteItem") || name == QLatin1String("ID_CopyReadCommand")
        || name == QLatin1String("ID_CopyWriteMacro") || name == QLatin1String("ID_CopyStopPlcMacro")
        || name == QLatin1String("ID_CopyRunPlcMacro") || name == QLatin1String("ID_RecordAll")
        || name == QLatin1String("ID_RecordNone") || name == QLatin1String("ID_Trend");
}

/// Commands that change the project or the settings: never while a run or a refresh is on.
bool IsRefusedWhileRunning(const QString& name)
{
    return name == QLatin1String("ID_New") || name == QLatin1String("ID_Open") || name == QLatin1String("ID_AddNewItem")
        || name == QLatin1String("ID_DeleteItem") || name == QLatin1String("ID_Refresh")
        || name == QLatin1String("ID_Options") || name == QLatin1String("ID_RecordAll")
        || name == QLatin1String("ID_RecordNone");
}

} // namespace

frmMain::frmMain(app::Program& program, LinkServerMover moveLinkServer, QWidget* parent)
    : QMainWindow(parent)
    , m_program(program)
    , m_moveLinkServer(std::move(moveLinkServer))
{
    setObjectName(QStringLiteral("frmMain"));
    m_vsItems = new ItemGrid(this);
    setCentralWidget(m_vsItems);
    BuildTools();
    statusBar()->setObjectName(QStringLiteral("statusMain"));
    m_runStatus = new RunStatus(m_program, this);
    statusBar()->addPermanentWidget(m_runStatus);
    m_events = new EventsPane(m_program.Service().Events(), this);
    addDockWidget(Qt::BottomDockWidgetArea, m_events);
    m_popConnaction->addSeparator();
    m_popConnaction->addAction(m_events->toggleViewAction());
    m_vsItems->ShowValuesOf(&m_program.Labels());
    ApplyFormFont(*this);
    setWindowTitle(QString::fromStdString(m_program.Title()));

    m_program.SetHost(this);
    connect(&m_program, &app::Program::projectChanged, this, &frmMain::FillGrid);
    connect(&m_program, &app::Program::titleChanged, this, &QWidget::setWindowTitle);
    connect(&m_program, &app::Program::runningChanged, this, &frmMain::OnRunningChanged);
    connect(&m_program, &app::Program::runToolEnabledChanged, this, [this](bool enabled) {
        if (m_runActive) {
            Tool(QStringLiteral("barMain"), QStringLiteral("ID_Run"))->setEnabled(enabled);
        }
    });
    connect(&m_program, &app::Program::plcConnected, this, [this](int key) { HighlightConnectedPlc(key); });
    connect(&m_program, &app::Program::passFinished, this, [this] { m_vsItems->FollowAnswers(m_program.Project()); });
    connect(&m_program, &app::Program::plcNotConnected, this,
            [this](int key, const QString& reason) { HighlightNotConnectedPlc(key, reason); });
    connect(&m_program, &app::Program::pokeRefused, this,
            [this](const QString& plcName, int labelIndex, const QString& reason) {
                statusBar()->showMessage(
                    QStringLiteral("Poke to lblDDE(%1) of %2 refused: %3").arg(labelIndex).arg(plcName, reason),
                    kStatusMessageMilliseconds);
            });
    connect(&m_program, &app::Program::notice, this,
            [this](const QString& text) { statusBar()->showMessage(text, kStatusMessageMilliseconds); });
    connect(m_vsItems, &ItemGrid::currentItemRowChanged, this, [this] { UpdateCommandStates(); });
    connect(m_vsItems, &ItemGrid::itemRowDoubleClicked, this, &frmMain::EditRow);
    connect(m_vsItems, &ItemGrid::itemRowRightClicked, this, &frmMain::ShowRowMenu);

    FillGrid();
    UpdateCommandStates();
}

frmMain::~frmMain()
{
    m_program.SetHost(nullptr);
    while (m_busyDepth > 0) {
        SetBusy(false);
    }
}

QAction* frmMain::NewTool(const char* name, const char* caption)
{
    auto* tool = new QAction(QString::fromLatin1(caption), this);
    tool->setObjectName(QString::fromLatin1(name));
    tool->setIcon(ToolIcon(tool->objectName()));
    connect(tool, &QAction::triggered, this, [this, tool] { RunTool(tool->objectName()); });
    return tool;
}

void frmMain::BuildTools()
{
    QAction* toolNew = NewTool("ID_New", "New");
    QAction* toolOpen = NewTool("ID_Open", "Open");
    QAction* toolSave = NewTool("ID_Save", "Save");
    QAction* toolSaveAs = NewTool("ID_SaveAs", "Save As...");
    QAction* toolOptions = NewTool("ID_Options", "Options...");
    QAction* toolAddNewItem = NewTool("ID_AddNewItem", "Define PLC");
    QAction* toolDeleteItem = NewTool("ID_DeleteItem", "Delete Selection");
    QAction* toolImportItems = NewTool("ID_ImportItems", "Import Items...");
    QAction* toolExportItems = NewTool("ID_ExportItems", "Export Items...");
    QAction* toolRecordAll = NewTool("ID_RecordAll", "Record All Items");
    QAction* toolRecordNone = NewTool("ID_RecordNone", "Record No Items");
    QAction* toolTrend = NewTool("ID_Trend", "Trend...");
    QAction* toolCopyRead = NewTool("ID_CopyReadCommand", "Copy Read Command to Clipboard");
    QAction* toolCopyWrite = NewTool("ID_CopyWriteMacro", "Copy Write Macro to Clipboard");
    QAction* toolCopyStop = NewTool("ID_CopyStopPlcMacro", "Copy Stop Plc Macro to Clipboard");
    QAction* toolCopyRun = NewTool("ID_CopyRunPlcMacro", "Copy Run Plc Macro to Clipboard");
    QAction* toolCopyRunStop = NewTool("ID_CopyRunStopDDE", "Copy Run/Stop Toggle Macro to Clipboard");
    QAction* toolRefresh = NewTool("ID_Refresh", "Refresh");
    QAction* toolRun = NewTool("ID_Run", "Run");
    QAction* toolExit = NewTool("ID_Exit", "Exit");
    QAction* toolHelp = NewTool("ID_Help", "Help");
    toolNew->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    toolOpen->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    toolSave->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    toolHelp->setShortcut(QKeySequence(Qt::Key_F1));

    // The tool bar, with the two image holders of the grid's PLC pictures (never shown as buttons).
    m_barMain = new QToolBar(QStringLiteral("Toolbar"), this);
    m_barMain->setObjectName(QStringLiteral("barMain"));
    m_barMain->setMovable(false);
    m_barMain->setIconSize(QSize(22, 22));
    m_barMain->addActions({ toolNew, toolOpen, toolSave });
    m_barMain->addSeparator();
    m_barMain->addActions({ toolAddNewItem, toolDeleteItem });
    m_barMain->addSeparator();
    m_barMain->addActions({ toolCopyRead, toolCopyWrite, toolCopyStop, toolCopyRun, toolCopyRunStop });
    m_barMain->addSeparator();
    m_barMain->addActions({ toolRefresh, toolRun });
    m_barMain->addSeparator();
    m_barMain->addAction(toolExit);
    m_barMain->addSeparator();
    m_barMain->addAction(toolHelp);
    for (const auto& [name, picture] : { std::pair { "picOrbis", PicOrbis() }, std::pair { "picQ40", PicQ40() } }) {
        auto* holder = new QAction(picture, QString(), this);
        holder->setObjectName(QString::fromLatin1(name));
        holder->setVisible(false);
        m_barMain->addAction(holder);
    }
    addToolBar(Qt::TopToolBarArea, m_barMain);

    const auto newMenu = [this](const char* name, const char* caption, const char* toolName) {
        auto* menu = new QMenu(QString::fromLatin1(caption), this);
        menu->setObjectName(QString::fromLatin1(name));
        menu->menuAction()->setObjectName(QString::fromLatin1(toolName));
        return menu;
    };
    m_popFile = newMenu("popFile", "File", "ID_File");
    m_popFile->addActions({ toolNew, toolOpen });
    m_popFile->addSeparator();
    m_popFile->addActions({ toolSave, toolSaveAs });
    m_popFile->addSeparator();
    m_popFile->addAction(toolOptions);
    m_popFile->addSeparator();
    m_popFile->addAction(toolExit);
    m_popItems = newMenu("popItems", "PLC", "ID_Item");
    m_popItems->addActions({ toolAddNewItem, toolDeleteItem });
    m_popItems->addSeparator();
    m_popItems->addActions({ toolImportItems, toolExportItems });
    m_popItems->addSeparator();
    m_popItems->addActions({ toolRecordAll, toolRecordNone, toolTrend });
    m_popConnaction = newMenu("popConnaction", "Connection", "ID_Connection");
    m_popConnaction->addActions({ toolRefresh, toolRun });
    m_popHelp = newMenu("popHelp", "Help", "ID_Help");
    m_popHelp->addAction(toolHelp);

    QMenuBar* mnuMain = menuBar();
    mnuMain->setObjectName(QStringLiteral("mnuMain"));
    mnuMain->addMenu(m_popFile);
    mnuMain->addMenu(m_popItems);
    mnuMain->addMenu(m_popConnaction);
    mnuMain->addMenu(m_popHelp);
    m_about = NewTool("ID_About", "About");
    mnuMain->addAction(m_about);

    // The grid's pop-up has tools of its own: their captions are rewritten for the row before each display.
    m_popItem = new QMenu(this);
    m_popItem->setObjectName(QStringLiteral("popItem"));
    m_popItem->addAction(NewTool("ID_WriteValue", "Write Value..."));
    m_popItem->addAction(NewTool("ID_Trend", "Trend..."));
    m_popItem->addSeparator();
    m_popItem->addAction(NewTool("ID_CopyReadCommand", "Copy Read Command to Clipboard"));
    m_popItem->addAction(NewTool("ID_CopyWriteMacro", "Copy Write Macro to Clipboard"));
    m_popItem->addAction(NewTool("ID_CopyStopPlcMacro", "Copy Stop Plc Macro to Clipboard"));
    m_popItem->addAction(NewTool("ID_CopyRunPlcMacro", "Copy Run Plc Macro to Clipboard"));
    m_popItem->addAction(NewTool("ID_CopyRunStopDDE", "Copy Run/Stop Toggle Macro to Clipboard"));
}

QMenu* frmMain::Band(const QString& band) const
{
    for (QMenu* menu : { m_popFile, m_popItems, m_popConnaction, m_popHelp, m_popItem }) {
        if (menu->objectName() == band) {
            return menu;
        }
    }
    return nullptr;
}

QAction* frmMain::Tool(const QString& band, const QString& toolName) const
{
    QList<QAction*> tools;
    if (band == QLatin1String("barMain")) {
        tools = m_barMain->actions();
    } else if (band == QLatin1String("mnuMain")) {
        tools = menuBar()->actions();
    } else if (QMenu* menu = Band(band)) {
        tools = menu->actions();
    }
    for (QAction* tool : tools) {
        if (tool->objectName() == toolName) {
            return tool;
        }
    }
    return nullptr;
}

void frmMain::FillGrid()
{
    m_vsItems->Fill(m_program.Project());
}

void frmMain::HighlightConnectedPlc(std::int32_t pPlcKey)
{
    m_vsItems->HighlightConnectedPlc(pPlcKey);
    if (const model::clsPlc* plc = m_program.Project().FindPlc(pPlcKey)) {
        statusBar()->showMessage(QStringLiteral("%1 is connected again").arg(QString::fromStdString(plc->Name)),
                                 kStatusMessageMilliseconds);
    }
}

void frmMain::HighlightNotConnectedPlc(std::int32_t pPlcKey, const QString& reason)
{
    m_vsItems->HighlightNotConnectedPlc(pPlcKey, reason);
    if (const model::clsPlc* plc = m_program.Project().FindPlc(pPlcKey)) {
        const QString name = QString::fromStdString(plc->Name);
        statusBar()->showMessage(reason.isEmpty() ? QStringLiteral("%1 is not connected").arg(name)
                                                  : QStringLiteral("%1 is not connected: %2").arg(name, reason),
                                 kStatusMessageMilliseconds);
    }
}

void frmMain::UpdateCommandStates()
{
    if (m_program.IsRunning()) {
        return;
    }
    const bool hasPlc = !m_program.Project().colPlcs().empty();
    for (const char* name : { "ID_Refresh", "ID_Run", "ID_CopyRunStopDDE" }) {
        Tool(QStringLiteral("barMain"), QString::fromLatin1(name))->setEnabled(hasPlc);
    }
    const bool itemRow = m_vsItems->CurrentItemRow() >= 0;
    for (const char* name :
         { "ID_DeleteItem", "ID_CopyReadCommand", "ID_CopyWriteMacro", "ID_CopyStopPlcMacro", "ID_CopyRunPlcMacro" }) {
        Tool(QStringLiteral("barMain"), QString::fromLatin1(name))->setEnabled(itemRow);
    }
    for (const char* name : { "ID_ImportItems", "ID_ExportItems", "ID_RecordAll", "ID_RecordNone", "ID_Trend" }) {
        Tool(QStringLiteral("popItems"), QString::fromLatin1(name))->setEnabled(itemRow);
    }
}

void frmMain::EnableAll(bool enabled)
{
    for (QAction* tool : m_barMain->actions()) {
        tool->setEnabled(enabled);
    }
    for (QAction* tool : m_popFile->actions()) {
        tool->setEnabled(enabled);
    }
}

void frmMain::EnableForRun(bool enabled)
{
    EnableAll(enabled);
    Tool(QStringLiteral("barMain"), QStringLiteral("ID_Run"))->setEnabled(true);
    Tool(QStringLiteral("barMain"), QStringLiteral("ID_CopyRunStopDDE"))->setEnabled(true);
}

void frmMain::OnRunningChanged(bool running)
{
    if (m_refreshing) {
        EnableAll(!running);
        if (!running) {
            UpdateCommandStates();
        }
        return;
    }
    QAction* toolRun = Tool(QStringLiteral("barMain"), QStringLiteral("ID_Run"));
    m_runActive = running;
    toolRun->setText(running ? QStringLiteral("Stop") : QStringLiteral("Run"));
    toolRun->setIcon(ToolIcon(running ? QStringLiteral("ID_Stop") : QStringLiteral("ID_Run")));
    EnableForRun(!running);
    if (running) {
        // The Run tool waits for the end of the first pass before it can stop the run.
        toolRun->setEnabled(m_program.IsRunToolEnabled());
    } else {
        UpdateCommandStates();
    }
}

void frmMain::RunTool(const QString& toolName)
{
    if (m_program.IsRunning() && IsRefusedWhileRunning(toolName)) {
        return;
    }
    if (IsRowTool(toolName) && m_vsItems->CurrentItemRow() < 0) {
        return; // a row command needs a row that carries an item, wherever it was invoked from
    }
    if (toolName == QLatin1String("ID_New")) {
        if (m_program.MaySetProjectAside()) {
            m_program.NewProject();
        }
        UpdateCommandStates();
    } else if (toolName == QLatin1String("ID_Open")) {
        if (m_program.MaySetProjectAside()) {
            m_program.OpenProject(std::string());
        }
        UpdateCommandStates();
    } else if (toolName == QLatin1String("ID_Save")) {
        m_program.SaveProject(false);
    } else if (toolName == QLatin1String("ID_SaveAs")) {
        m_program.SaveProject(true);
    } else if (toolName == QLatin1String("ID_AddNewItem")) {
        m_program.DefinePlc();
        UpdateCommandStates();
    } else if (toolName == QLatin1String("ID_DeleteItem")) {
        DeleteCurrentRow();
        UpdateCommandStates();
    } else if (toolName == QLatin1String("ID_ImportItems") || toolName == QLatin1String("ID_ExportItems")) {
        ExchangeItemsList(toolName == QLatin1String("ID_ImportItems"));
        UpdateCommandStates();
    } else if (toolName == QLatin1String("ID_RecordAll") || toolName == QLatin1String("ID_RecordNone")) {
        RecordPlcItems(toolName == QLatin1String("ID_RecordAll"));
    } else if (toolName == QLatin1String("ID_Trend")) {
        OpenTrend();
    } else if (toolName == QLatin1String("ID_Refresh")) {
        Refresh();
    } else if (toolName == QLatin1String("ID_Run")) {
        ToggleRun();
    } else if (toolName == QLatin1String("ID_Exit")) {
        close();
    } else if (toolName == QLatin1String("ID_WriteValue")) {
        WriteRow(m_vsItems->CurrentItemRow());
    } else if (toolName == QLatin1String("ID_About")) {
        ShowAbout();
    } else if (toolName == QLatin1String("ID_Help")) {
        ShowHelp();
    } else if (toolName == QLatin1String("ID_Options")) {
        ShowOptions();
    } else if (toolName == QLatin1String("ID_CopyReadCommand") || toolName == QLatin1String("ID_CopyWriteMacro")
               || toolName == QLatin1String("ID_CopyStopPlcMacro") || toolName == QLatin1String("ID_CopyRunPlcMacro")
               || toolName == QLatin1String("ID_CopyRunStopDDE")) {
        CopyRowText(toolName);
    }
}

const model::Clsitem* frmMain::RowItem(int row) const
{
    if (!m_vsItems->CarriesItem(row)) {
        return nullptr;
    }
    const ItemGrid::RowInfo& info = m_vsItems->Row(row);
    const model::clsPlc* plc = m_program.Project().FindPlc(info.plcKey);
    const model::Clsitem* item = plc != nullptr ? plc->FindItem(info.itemKey) : nullptr;
    if (item == nullptr || info.kind != ItemGrid::RowKind::VectorElement) {
        return item;
    }
    for (const model::Clsitem& element : item->colItems()) {
        if (element.Label.Index() == info.labelIndex) {
            return &element;
        }
    }
    return nullptr;
}

void frmMain::PutOnClipboard(const std::string& text)
{
    if (text.empty()) {
        return; // the clipboard keeps what it holds
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(QString::fromStdString(text));
}

void frmMain::CopyRowText(const QString& toolName)
{
    if (toolName == QLatin1String("ID_CopyRunStopDDE")) {
        PutOnClipboard(link::RunStopMacroText());
        return;
    }
    const int row = m_vsItems->CurrentItemRow();
    if (toolName == QLatin1String("ID_CopyStopPlcMacro") || toolName == QLatin1String("ID_CopyRunPlcMacro")) {
        const std::string plcName = m_vsItems->item(row, ItemGrid::kColPlc)->text().toStdString();
        PutOnClipboard(toolName == QLatin1String("ID_CopyStopPlcMacro") ? link::StopPlcMacroText(plcName)
                                                                        : link::RunPlcMacroText(plcName));
        return;
    }
    const model::Clsitem* item = RowItem(row);
    if (item == nullptr) {
        return;
    }
    PutOnClipboard(toolName == QLatin1String("ID_CopyReadCommand") ? link::ReadCommandText(*item)
                                                                   : link::WriteMacroText(*item));
}

void frmMain::DeleteCurrentRow()
{
    const int row = m_vsItems->CurrentItemRow();
    if (row < 0) {
        return;
    }
    // An element row holds its vector's key, so the whole vector goes; the program asks first.
    const ItemGrid::RowInfo info = m_vsItems->Row(row);
    m_program.DeleteItem(info.plcKey, info.itemKey);
}

void frmMain::Refresh()
{
    m_refreshing = true;
    m_program.RefreshOnce();
    m_refreshing = false;
}

void frmMain::ToggleRun()
{
    m_program.ClickRun();
}

void frmMain::AttachMqtt(mqtt::MqttBridge* bridge)
{
    m_mqttBridge = bridge;
    if (bridge == nullptr) {
        return;
    }
    m_lblMqtt = new QLabel(bridge->StateText(), this);
    m_lblMqtt->setObjectName(QStringLiteral("lblMqtt"));
    statusBar()->addPermanentWidget(m_lblMqtt);
    connect(bridge, &mqtt::MqttBridge::stateChanged, m_lblMqtt,
            [this](mqtt::BrokerState, const QString& text) { m_lblMqtt->setText(text); });
}

void frmMain::ShowOptions()
{
    {
        frmOptions dialog(m_program.Settings(), m_moveLinkServer, this);
        dialog.SetOpcUaMover(m_moveOpcUa);
        if (m_mqttBridge != nullptr) {
            dialog.SetMqttApplier([this](const common::MqttOptions& options) -> std::optional<std::string> {
                const auto applied = mqtt::ApplyMqttOptions(*m_mqttBridge, options);
                return applied ? std::nullopt : std::optional<std::string>(applied.error());
            });
        }
        dialog.exec();
    }
    m_program.ReloadOptions();
}

void frmMain::ShowHelp()
{
    // The result is not looked at: a missing help file shows nothing.
    // Beside the program in a build tree, in PREFIX/share/tavrel once installed.
    const std::filesystem::path shared
        = storage::SharedFilesFolder(QCoreApplication::applicationDirPath().toStdString());
    const QDir helpFolder(QString::fromStdString((shared / "Help").string()));
    QString helpFile = helpFolder.filePath(QStringLiteral("Tavrel.html"));
    if (!QFileInfo::exists(helpFile)) {
        helpFile = helpFolder.filePath(QStringLiteral("Tavrel.chm"));
    }
    if (QFileInfo::exists(helpFile)) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(helpFile));
    }
}

void frmMain::ShowAbout()
{
    frmAbout about(m_program.Settings().FilePath(), this);
    about.exec();
}

void frmMain::EditRow(int row)
{
    if (m_program.IsRunning()) {
        WriteRow(row); // while running, a double-click writes a value instead
        return;
    }
    if (!m_vsItems->CarriesItem(row)) {
        return;
    }
    const ItemGrid::RowInfo info = m_vsItems->Row(row);
    m_program.EditItem(info.plcKey, info.itemKey);
    m_vsItems->SetCurrentItemRow(row);
}

void frmMain::WriteRow(int row)
{
    const model::Clsitem* item = RowItem(row);
    if (!m_program.IsRunning() || item == nullptr || item->IsArray || !item->Label.IsSet()) {
        return;
    }
    const std::int32_t index = item->Label.Index();
    const QString prompt = QStringLiteral("A value for %1 (%2 %3 of %4):")
                               .arg(QString::fromStdString(model::LabelName(index)),
                                    QString::fromUtf8(common::OperandTypeName(item->OperandType).data()))
                               .arg(item->OperandAddress)
                               .arg(m_vsItems->item(row, ItemGrid::kColPlc)->text());
    const QString current = QString::fromStdString(m_program.Labels().Text(index));
    std::optional<QString> value;
    if (m_askValue) {
        value = m_askValue(prompt, current);
    } else {
        bool ok = false;
        const QString typed
            = QInputDialog::getText(this, QStringLiteral("Write value"), prompt, QLineEdit::Normal, current, &ok);
        value = ok ? std::optional(typed) : std::nullopt;
    }
    if (!value) {
        return;
    }
    const app::Caller window { .surface = app::Surface::Window, .user = {}, .peer = {}, .role = app::Role::Operator };
    if (const auto refusal = m_program.Service().Poke(window, index, value->toStdString())) {
        ShowExclamation(
            this,
            QStringLiteral("%1 was not written: %2")
                .arg(QString::fromStdString(model::LabelName(index)), QString::fromStdString(refusal->reason)));
        return;
    }
    statusBar()->showMessage(
        QStringLiteral("%1 will be written in the next pass").arg(QString::fromStdString(model::LabelName(index))),
        kStatusMessageMilliseconds);
}

void frmMain::ShowRowMenu(int row, const QPoint& globalPosition)
{
    if (!m_vsItems->CarriesItem(row)) {
        return;
    }
    m_vsItems->SetCurrentItemRow(row);
    const QString ddeName = m_vsItems->item(row, ItemGrid::kColDdeName)->text();
    const QString plcName = m_vsItems->item(row, ItemGrid::kColPlc)->text();
    Tool(QStringLiteral("popItem"), QStringLiteral("ID_CopyReadCommand"))
        ->setText(QStringLiteral("Copy Read Command: '") + ddeName + QStringLiteral("' to Clipboard"));
    Tool(QStringLiteral("popItem"), QStringLiteral("ID_CopyWriteMacro"))
        ->setText(QStringLiteral("Copy Write Macro: '") + ddeName + QStringLiteral("' to Clipboard"));
    Tool(QStringLiteral("popItem"), QStringLiteral("ID_CopyStopPlcMacro"))
        ->setText(QStringLiteral("Copy Stop '") + plcName + QStringLiteral("' PLC Macro to Clipboard"));
    Tool(QStringLiteral("popItem"), QStringLiteral("ID_CopyRunPlcMacro"))
        ->setText(QStringLiteral("Copy Run '") + plcName + QStringLiteral("' PLC Macro to Clipboard"));
    const model::Clsitem* item = RowItem(row);
    Tool(QStringLiteral("popItem"), QStringLiteral("ID_WriteValue"))
        ->setEnabled(m_program.IsRunning() && item != nullptr && !item->IsArray && item->IsEnable
                     && item->IoDirection != common::direction::Read);
    m_popItem->popup(globalPosition);
}

void frmMain::HandleFirstActivation()
{
    if (m_activatedOnce) {
        return;
    }
    m_activatedOnce = true;
    m_program.FirstActivation();
}

} // namespace tavrel::ui
