#include "app/Program.h"

#include "comm/ItemExchange.h"
#include "comm/PlcComm.h"
#include "storage/ItemsCsv.h"
#include "storage/ProjectDatabase.h"

// The project-file lifecycle: new, open, save, the dialogs that change the project, deletion and start-up.
namespace tavrel::app {

namespace {

const char* const kProgramName = "Tavrel";

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

std::string Program::Title() const
{
    const std::string title = m_currentPath.empty() ? kProgramName : std::string(kProgramName) + " - " + m_currentPath;
    return m_modified ? title + " *" : title;
}

void Program::SetModified(bool modified)
{
    if (m_modified != modified) {
        m_modified = modified;
        emit titleChanged(QString::fromStdString(Title()));
    }
}

bool Program::MaySetProjectAside()
{
    if (!m_modified || m_host == nullptr) {
        return true;
    }
    // The question and a Save As it leads to are one dialog: no client starts a run meanwhile.
    const ProjectDialog question(*this);
    switch (m_host->AskToSaveChanges(m_currentPath)) {
    case ProgramHost::SaveChoice::Save:
        return SaveProject(false);
    case ProgramHost::SaveChoice::Discard:
        return true;
    case ProgramHost::SaveChoice::Cancel:
        break;
    }
    return false;
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
    m_modified = false;
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
        m_modified = false;
        UpdateCaption();
        return false;
    }
    m_currentPath = file;
    m_modified = false;
    ReplaceProject(std::move(*project));
    UpdateCaption();
    for (const std::string& note : data->Notes) {
        emit notice(QString::fromStdString(note));
    }
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
        SetModified(true);
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
        SetModified(true);
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
    SetModified(false);
    return true;
}

void Program::UpdateCaption()
{
    (void)m_settings.WriteSetting("CurrentFilePath", m_currentPath);
    FollowHistory();
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
    SetModified(true);
    emit projectChanged();
    return true;
}

bool Program::ImportItems(std::int32_t plcKey, const std::string& path)
{
    if (m_running) {
        ShowError(kRefusedWhileRunning);
        return false;
    }
    model::clsPlc* plc = m_project->FindPlc(plcKey);
    if (plc == nullptr) {
        return false;
    }
    if (!plc->colItems().empty() && m_host) {
        const ProjectDialog question(*this);
        const std::string count = std::to_string(plc->colItems().size());
        if (!m_host->Confirm("The items of " + path + " replace the " + count + " items of PLC " + plc->Name
                             + ". Go on?")) {
            return false;
        }
    }
    const auto imported = storage::ImportItemsFile(*m_project, *plc, path);
    if (!imported) {
        ShowError(imported.error());
        return false;
    }
    SetModified(true);
    emit projectChanged();
    emit notice(QString::fromStdString("Imported " + std::to_string(imported->added) + " items into PLC " + plc->Name
                                       + " from " + path));
    return true;
}

bool Program::ExportItems(std::int32_t plcKey, const std::string& path)
{
    const model::clsPlc* plc = m_project->FindPlc(plcKey);
    if (plc == nullptr) {
        return false;
    }
    const auto exported = storage::ExportItemsFile(*plc, path);
    if (!exported) {
        ShowError(exported.error());
        return false;
    }
    emit notice(
        QString::fromStdString("Exported " + std::to_string(*exported) + " items of PLC " + plc->Name + " to " + path));
    return true;
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

} // namespace tavrel::app
