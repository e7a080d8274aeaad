#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tavrel::model {
class clsConfig;
}

namespace tavrel::app {

/// What the program asks of the surface it runs behind: the window answers with dialogs, headless mode
/// without them.
class ProgramHost
{
public:
    /// What to do with unsaved changes before they would be lost.
    enum class SaveChoice { Save, Discard, Cancel };

    virtual ~ProgramHost() = default;
    /// The project file the user chose to open, or nothing when cancelled.
    virtual std::optional<std::string> ChooseProjectToOpen() = 0;
    /// The file name the user chose to save under (possibly empty), or nothing when cancelled.
    virtual std::optional<std::string> ChooseProjectToSave() = 0;
    /// Shows a user error.
    virtual void ShowError(const std::string& message) = 0;
    /// Asks a Yes/No question; true for Yes.
    virtual bool Confirm(const std::string& question) = 0;
    /// Shows the Define PLC dialog for `project`; true when OK added an item. A host without dialogs adds
    /// nothing.
    virtual bool DefinePlc(model::clsConfig& /*project*/) { return false; }
    /// Shows the Edit PLC dialog for an item of `project`; true when OK changed it. A host without dialogs
    /// changes nothing.
    virtual bool EditItem(model::clsConfig& /*project*/, std::int32_t /*plcKey*/, std::int32_t /*itemKey*/)
    {
        return false;
    }
    /// Asks whether to save the unsaved changes of the project at `path` (empty for a project never saved). A host
    /// that cannot ask (headless) lets them go, as it never makes any.
    virtual SaveChoice AskToSaveChanges(const std::string& /*path*/) { return SaveChoice::Discard; }
    /// Shows or hides the wait pointer around long work.
    virtual void SetBusy(bool /*busy*/) { }
    /// Minimises the window when a run starts, if the options say so.
    virtual void MinimizeForRun() { }
};

} // namespace tavrel::app
