#include "apps/tavrel/ItemsCommand.h"

#include "common/Files.h"
#include "storage/ItemsCsv.h"
#include "storage/ProjectDatabase.h"

#include <cstdio>

namespace tavrel {

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitNoSuchPlc = 2;

int Fail(const std::string& message, int code)
{
    std::fprintf(stderr, "tavrel: %s\n", message.c_str());
    return code;
}

std::string PlcNames(const model::clsConfig& project)
{
    std::string names;
    for (const auto& plc : project.colPlcs()) {
        names += (names.empty() ? "" : ", ") + plc->Name;
    }
    return names.empty() ? "none" : names;
}

} // namespace

int RunItemsCommand(ItemsCommand command, const std::string& plcName, const std::filesystem::path& file,
                    const std::filesystem::path& projectFile, const std::filesystem::path& templatePath)
{
    auto data = storage::ReadProjectFile(projectFile);
    if (!data) {
        return Fail(data.error(), kExitFailed);
    }
    // What the file holds but the project could not take in would be lost by saving it again.
    for (const std::string& note : data->Notes) {
        std::fprintf(stderr, "tavrel: %s\n", note.c_str());
    }
    if (command == ItemsCommand::Import && !data->Notes.empty()) {
        return Fail("the items are not imported: saving the project now would lose what was left out on opening it "
                    "(open it in the window, and save it once that is mended)",
                    kExitFailed);
    }
    model::LabelArray labels;
    auto project = storage::BuildProject(*data, labels);
    if (!project) {
        return Fail(project.error(), kExitFailed);
    }
    model::clsPlc* plc = nullptr;
    for (const auto& candidate : (*project)->colPlcs()) {
        if (candidate->Name == plcName) {
            plc = candidate.get();
        }
    }
    if (plc == nullptr) {
        return Fail("the project " + common::QuotedPath(projectFile) + " has no PLC named \"" + plcName
                        + "\" (its PLCs: " + PlcNames(**project) + ")",
                    kExitNoSuchPlc);
    }

    if (command == ItemsCommand::Export) {
        auto exported = storage::ExportItemsFile(*plc, file);
        if (!exported) {
            return Fail(exported.error(), kExitFailed);
        }
        std::printf("exported %zu items of PLC %s to %s\n", *exported, plc->Name.c_str(),
                    common::QuotedPath(file).c_str());
        return 0;
    }
    auto imported = storage::ImportItemsFile(**project, *plc, file);
    if (!imported) {
        return Fail(imported.error(), kExitFailed);
    }
    if (auto saved = storage::SaveToDB(**project, projectFile, templatePath); !saved) {
        return Fail("the items were read, but the project was not saved: " + saved.error(), kExitFailed);
    }
    std::printf("imported %zu items into PLC %s from %s in place of its %zu, and saved %s\n", imported->added,
                plc->Name.c_str(), common::QuotedPath(file).c_str(), imported->removed,
                common::QuotedPath(projectFile).c_str());
    return 0;
}

} // namespace tavrel
