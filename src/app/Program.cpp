#include "app/Program.h"

#include "comm/ItemExchange.h"
#include "comm/PlcComm.h"
#include "comm/ProjectComm.h"
#include "common/OperandCatalogue.h"
#include "storage/ProjectDatabase.h"

#include <QCoreApplication>
#include <QLocale>

#include <algorithm>
#include <cctype>

namespace tavrel::app {

namespace {

const char* const kProgramName = "Tavrel";

char LocaleDecimalSeparator()
{
    const QString point = QLocale::system().decimalPoint();
    return point.size() == 1 && point.at(0).unicode() < 128 ? static_cast<char>(point.at(0).unicode()) : '.';
}

bool FileExists(const std::string& path)
{
    std::error_code error;
    return !path.empty() && std::filesystem::is_regular_file(path, error);
}

// A path as the settings keep it: absolute, so that a start from another folder finds the same file.
std::string AbsolutePath(const std::string& path)
{
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute.lexically_normal().string();
}

const char* const kRefusedWhileRunning = "The project cannot be changed while running; stop the run first.";

} // namespace

std::optional<std::pair<std::string, std::string>> SplitExecuteCommand(const std::string& command)
{
    const std::size_t lastUnderscore = command.rfind('_');
    if (lastUnderscore == std::string::npos) {
        return std::nullopt;
    }
    std::string verb = command.substr(lastUnderscore + 1);
    std::transform(verb.begin(), verb.end(), verb.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return std::make_pair(command.substr(0, lastUnderscore), verb);
}

Program::Program(common::Settings settings, DriverFactory factory, std::filesystem::path templatePath, QObject* parent)
    : QObject(parent)
    , m_settings(std::move(settings))
    , m_templatePath(std::move(templatePath))
    , m_project(std::make_unique<model::clsConfig>(m_labels))
{
    m_options = common::GetOptions(m_settings);
    m_env.CreateDriver = std::move(factory);
    m_env.Options = &m_options;
    m_env.Observer = this;
    m_env.DecimalSeparator = LocaleDecimalSeparator();
    m_passTimer.setSingleShot(true);
    m_passTimer.setTimerType(Qt::PreciseTimer); // MinPassMs spaces passes to the millisecond
    connect(&m_passTimer, &QTimer::timeout, this, &Program::RunPass);
}

Program::~Program()
{
    m_passTimer.stop();
    if (m_running && m_options.ConnectOnce) {
        comm::ClosePlcsComm(*m_project, m_env, m_workers);
    }
}

std::string Program::Title() const
{
    return m_currentPath.empty() ? kProgramName : std::string(kProgramName) + " - " + m_currentPath;
}

void Program::ReloadOptions()
{
    m_options = common::GetOptions(m_settings);
    if (m_minPassOverride) {
        m_options.MinPassMs = *m_minPassOverride;
    }
}

void Program::OverrideMinPassMs(std::int32_t milliseconds)
{
    m_minPassOverride = milliseconds;
    m_options.MinPassMs = milliseconds;
}

void Program::ReplaceProject(std::unique_ptr<model::clsConfig> project)
{
    m_workers.KeepOnly({}); // the old project's channels
    m_project = std::move(project);
    emit projectChanged();
}

bool Program::NewProject()
{
    if (m_running) {
        ShowError(kRefusedWhileRunning);
        return false;
    }
    m_labels.UnloadAll();
    ReplaceProject(std::make_unique<model::clsConfig>(m_labels));
    m_currentPath.clear();
    UpdateCaption();
    return true;
}

bool Program::OpenProject(const std::string& path)
{
    if (m_running) {
        ShowError(kRefusedWhileRunning);
        return false;
    }
    std::string file = path;
    if (file.empty()) {
        std::optional<std::string> chosen;
        if (m_host) {
            const ProjectDialog dialog(*this);
            chosen = m_host->ChooseProjectToOpen();
        }
        if (!chosen || chosen->empty()) {
            return false;
        }
        file = *chosen;
    }
    file = AbsolutePath(file);
    // Read and check the whole file first, so a file that cannot be opened costs the open project nothing.
    auto data = storage::ReadProjectFile(file);
    if (!data) {
        ShowError(data.error());
        return false;
    }
    m_labels.UnloadAll();
    auto project = storage::BuildProject(*data, m_labels);
    if (!project) {
        ShowError(project.error());
        ReplaceProject(std::make_unique<model::clsConfig>(m_labels));
        m_currentPath.clear();
        UpdateCaption();
        return false;
    }
    m_currentPath = file;
    ReplaceProject(std::move(*project));
    UpdateCaption();
    ReportUnexchangedItems();
    return true;
}

bool Program::DefinePlc()
{
    if (m_running) {
        ShowError(kRefusedWhileRunning);
        return false;
    }
    bool added = false;
    if (m_host) {
        const ProjectDialog dialog(*this);
        added = m_host->DefinePlc(*m_project);
    }
    if (added) {
        emit projectChanged();
    }
    return added;
}

bool Program::EditItem(std::int32_t plcKey, std::int32_t itemKey)
{
    if (m_running) {
        ShowError(kRefusedWhileRunning);
        return false;
    }
    bool changed = false;
    if (m_host) {
        const ProjectDialog dialog(*this);
        changed = m_host->EditItem(*m_project, plcKey, itemKey);
    }
    if (changed) {
        emit projectChanged();
    }
    return changed;
}

void Program::ReportUnexchangedItems()
{
    for (const auto& plc : m_project->colPlcs()) {
        if (auto problem = comm::WhyNotOpened(*plc)) {
            emit notice(QString::fromStdString("PLC '" + plc->Name + "' cannot be opened: " + *problem));
        }
        for (const auto& item : plc->colItems()) {
            if (auto problem = comm::WhyNotExchanged(*item)) {
                emit notice(QString::fromStdString(model::LabelName(item->Label.Index()) + " of PLC '" + plc->Name
                                                   + "' is never exchanged: " + *problem));
            }
        }
    }
}

bool Program::SaveProject(bool saveAs)
{
    if (m_currentPath.empty() || saveAs) {
        const std::optional<std::string> chosen = m_host ? m_host->ChooseProjectToSave() : std::nullopt;
        if (saveAs && (!chosen || chosen->empty())) {
            return false;
        }
        m_currentPath = chosen && !chosen->empty() ? AbsolutePath(*chosen) : std::string();
    }
    if (m_currentPath.empty()) {
        return false;
    }
    UpdateCaption();
    auto saved = storage::SaveToDB(*m_project, m_currentPath, m_templatePath);
    if (!saved) {
        ShowError(saved.error());
        return false;
    }
    return true;
}

void Program::UpdateCaption()
{
    (void)m_settings.WriteSetting("CurrentFilePath", m_currentPath);
    emit titleChanged(QString::fromStdString(Title()));
}

bool Program::DeleteItem(std::int32_t plcKey, std::int32_t itemKey)
{
    if (m_running) {
        ShowError(kRefusedWhileRunning);
        return false;
    }
    model::clsPlc* plc = m_project->FindPlc(plcKey);
    if (plc == nullptr || plc->FindItem(itemKey) == nullptr) {
        return false;
    }
    if (m_host) {
        const ProjectDialog question(*this);
        if (!m_host->Confirm("Are you sure you want to delete the selected item?")) {
            return false;
        }
    }
    // An element carries its vector's key, so an element row removes the whole vector.
    (void)plc->RemoveItem(itemKey);
    if (plc->colItems().empty()) {
        (void)m_project->RemovePLC(plcKey);
        m_workers.KeepOnly({}); // started again for the channels the next pass uses
    }
    emit projectChanged();
    return true;
}

void Program::RefreshOnce()
{
    if (m_running) {
        return;
    }
    SetRunning(true);
    if (m_host) {
        m_host->SetBusy(true);
    }
    emit projectChanged();
    comm::BuildBinaryMix(*m_project);
    comm::ResetConnctedState(*m_project);
    if (m_options.ConnectOnce) {
        comm::OpenPlcsComm(*m_project, m_env, m_workers);
    }
    comm::RefreshSideBySide(*m_project, m_env, m_workers);
    if (m_options.ConnectOnce) {
        comm::ClosePlcsComm(*m_project, m_env, m_workers);
    }
    if (m_host) {
        m_host->SetBusy(false);
    }
    SetRunning(false);
}

void Program::SetRunning(bool running)
{
    if (m_running != running) {
        m_running = running;
        emit runningChanged(running);
    }
}

void Program::ToggleRun()
{
    if (m_running) {
        // Between passes already: the event loop only gets here once a pass is over.
        StopRun();
    } else if (m_projectDialogs > 0) {
        emit notice(QStringLiteral("Run/stop not acted on: a dialog that changes the project is open."));
    } else {
        StartRun();
    }
}

void Program::ClickRun()
{
    if (m_running && !m_runToolEnabled) {
        return;
    }
    ToggleRun();
}

void Program::Stop()
{
    if (m_running) {
        StopRun();
    }
}

void Program::StartRun()
{
    if (m_host) {
        m_host->SetBusy(true);
    }
    ++m_runNumber;
    m_passCount = 0;
    m_lastPassMilliseconds = 0;
    m_runToolEnabled = false;
    emit runToolEnabledChanged(false);
    SetRunning(true);
    emit projectChanged();
    comm::BuildBinaryMix(*m_project);
    comm::ResetConnctedState(*m_project);
    if (m_host) {
        m_host->SetBusy(false);
        if (m_options.MinimizedAfterRun) {
            m_host->MinimizeForRun();
        }
    }
    if (m_options.ConnectOnce) {
        comm::OpenPlcsComm(*m_project, m_env, m_workers);
    }
    m_firstPass = true;
    m_passTimer.start(0);
}

void Program::StopRun()
{
    m_passTimer.stop();
    m_firstPass = false;
    if (m_options.ConnectOnce) {
        comm::ClosePlcsComm(*m_project, m_env, m_workers);
    }
    SetRunning(false);
    if (!m_runToolEnabled) {
        m_runToolEnabled = true;
        emit runToolEnabledChanged(true);
    }
}

void Program::RunPass()
{
    if (!m_running) {
        return;
    }
    m_passStart.start();
    comm::RefreshSideBySide(*m_project, m_env, m_workers);
    m_lastPassMilliseconds = static_cast<double>(m_passStart.nsecsElapsed()) / 1e6;
    ++m_passCount;
    emit passFinished();
    if (m_firstPass) {
        m_firstPass = false;
        // The clicks that arrived during the first pass are handled while the Run tool is still disabled, so
        // they are not acted on; an execute among them still is.
        const std::uint64_t run = m_runNumber;
        QCoreApplication::processEvents();
        if (!m_running || run != m_runNumber) {
            return; // stopped, or stopped and started again, meanwhile
        }
        m_runToolEnabled = true;
        emit runToolEnabledChanged(true);
    }
    if (m_running) {
        ScheduleNextPass();
    }
}

void Program::ScheduleNextPass()
{
    // A pass with something to exchange follows once MinPassMs has gone by since this one started (at once, after
    // the pending events, when it is 0); otherwise the loop waits for the next reconnect, or for events alone,
    // instead of spinning.
    const std::int64_t sinceStart = m_passStart.isValid() ? m_passStart.elapsed() : 0;
    const int spacing = static_cast<int>(std::max<std::int64_t>(0, m_options.MinPassMs - sinceStart));
    std::optional<std::int64_t> nextRetry;
    for (const auto& plc : m_project->colPlcs()) {
        const bool hasWork = std::any_of(plc->colItems().begin(), plc->colItems().end(),
                                         [](const auto& item) { return item->IsEnable; });
        if (!hasWork && plc->Connected) {
            continue;
        }
        if (plc->Connected) {
            m_passTimer.start(spacing);
            return;
        }
        const std::int64_t due = plc->ConnectedTimeOutTimer + m_env.ReconnectDelaySeconds;
        nextRetry = nextRetry ? std::min(*nextRetry, due) : due;
    }
    if (nextRetry) {
        const std::int64_t waitSeconds = std::max<std::int64_t>(0, *nextRetry - m_env.MonotonicSeconds());
        m_passTimer.start(std::max(spacing, static_cast<int>(std::min<std::int64_t>(waitSeconds, 3600) * 1000)));
    }
}

void Program::Execute(const std::string& command)
{
    const auto parts = SplitExecuteCommand(command);
    if (!parts) {
        return;
    }
    const auto& [name, verb] = *parts;
    if (verb == "STOP") {
        comm::StopPlc(*m_project, name, m_env);
    } else if (verb == "RUN") {
        comm::RunPlc(*m_project, name, m_env);
    } else if (verb == "RUN/STOP") {
        ToggleRun();
    }
}

std::optional<PokeRefusal> Program::Poke(std::int32_t index, const std::string& text)
{
    if (!m_labels.IsLoaded(index) || index == 0) {
        return PokeRefusal{PokeRefusal::Kind::UnknownItem,
                           index == 0 ? "lblDDE(0) is no item of any PLC" : model::LabelName(index) + " is no item"};
    }
    for (const auto& plc : m_project->colPlcs()) {
        for (const auto& item : plc->colItems()) {
            const model::Clsitem* target = nullptr;
            if (item->IsArray) {
                for (const auto& child : item->colItems()) {
                    if (child.Label.Index() == index) {
                        target = &child;
                    }
                }
            } else if (item->Label.Index() == index) {
                target = item.get();
            }
            if (target == nullptr) {
                continue;
            }
            if (auto problem = comm::CheckPoke(*target, text, CheckingDriver(*plc).get(), m_env.DecimalSeparator)) {
                return PokeRefusal { problem->kind == common::Refusal::Kind::NotWritable
                                         ? PokeRefusal::Kind::Conflict
                                         : PokeRefusal::Kind::BadValue,
                                     std::move(problem->reason) };
            }
            m_labels.SetText(index, text);
            return std::nullopt;
        }
    }
    return PokeRefusal{PokeRefusal::Kind::UnknownItem, model::LabelName(index) + " is no item"};
}

std::shared_ptr<const comm::CommDriver> Program::CheckingDriver(const model::clsPlc& plc) const
{
    // A fresh instance: it knows the PLC's operands as the channel's does, and the channel's own instance is
    // left to the exchange that owns it.
    try {
        return m_env.CreateDriver ? m_env.CreateDriver(plc) : nullptr;
    } catch (...) {
        return nullptr; // the write pass asks the driver again
    }
}

void Program::StartUp(const std::string& commandLineFile)
{
    if (FileExists(commandLineFile)) {
        if (OpenProject(commandLineFile)) {
            return;
        }
    } else {
        switch (m_options.StartUpOperation) {
        case 1:
            if (FileExists(m_options.ProjectFilePath)) {
                if (OpenProject(m_options.ProjectFilePath)) {
                    return;
                }
            } else if (!m_options.ProjectFilePath.empty()) {
                emit notice(QString::fromStdString("The start-up project " + m_options.ProjectFilePath
                                                   + " was not found; a new project was started."));
            }
            break;
        case 2: {
            const std::string last = m_settings.ReadSetting("CurrentFilePath", "");
            if (FileExists(last)) {
                if (OpenProject(last)) {
                    return;
                }
                break;
            }
            NewProject();
            if (!last.empty()) {
                // Kept, so that the project opens again once its file is back (a drive not mounted yet).
                (void)m_settings.WriteSetting("CurrentFilePath", last);
                emit notice(
                    QString::fromStdString("The last project " + last + " was not found; a new project was started."));
            }
            return;
        }
        default:
            break;
        }
    }
    NewProject();
}

void Program::FirstActivation()
{
    if (m_activatedOnce) {
        return;
    }
    m_activatedOnce = true;
    if (!m_project->colPlcs().empty() && m_options.AutoRun) {
        ToggleRun();
    }
}

void Program::ShowError(const std::string& message)
{
    if (m_host) {
        m_host->ShowError(message);
    }
}

void Program::HighlightConnectedPlc(std::int32_t pPlcKey) { emit plcConnected(pPlcKey); }

void Program::HighlightNotConnectedPlc(std::int32_t pPlcKey, const std::string& reason)
{
    emit plcNotConnected(pPlcKey, QString::fromStdString(reason));
}

void Program::PokeRefused(const model::clsPlc& plc, const model::Clsitem& item, const std::string& reason)
{
    emit pokeRefused(QString::fromStdString(plc.Name), item.Label.Index(), QString::fromStdString(reason));
}

} // namespace tavrel::app
