// Project files as a disk, another program or an older version may leave them: opening one either gives a
// project that saves and opens again as the same project, or fails with a message and leaves the file as it was.

#include "FuzzSupport.h"

#include "storage/ProjectDatabase.h"

#include <fstream>
#include <iterator>
#include <string>

using namespace tavrel;
using tavrel::fuzz::Require;

namespace {

std::string Content(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A database file and whatever SQLite kept beside it.
void RemoveDatabase(const std::filesystem::path& path)
{
    std::error_code ignored;
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        std::filesystem::remove(path.string() + suffix, ignored);
    }
}

void RequireSameProject(const storage::ProjectData& opened, const storage::ProjectData& reopened)
{
    Require(opened.Plcs.size() == reopened.Plcs.size(), "a saved project has as many PLCs");
    for (std::size_t i = 0; i < opened.Plcs.size(); ++i) {
        const storage::PlcRecord& before = opened.Plcs[i];
        const storage::PlcRecord& after = reopened.Plcs[i];
        Require(before.Name == after.Name, "a saved PLC keeps its name", before.Name);
        Require(before.Params == after.Params, "a saved PLC keeps its communication parameters", before.Name);
        Require(before.Items == after.Items, "a saved PLC keeps its items", before.Name);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const auto templatePath = storage::DefaultTemplatePath();
    Require(templatePath.has_value() && std::filesystem::exists(*templatePath),
            "the template database lies beside the program");

    const std::filesystem::path path = tavrel::fuzz::ScratchFolder() / "project.tve";
    const std::filesystem::path savedPath = tavrel::fuzz::ScratchFolder() / "saved.tve";
    RemoveDatabase(path);
    RemoveDatabase(savedPath);
    const std::string_view bytes = tavrel::fuzz::AsText(data, size);
    tavrel::fuzz::WriteFile(path, bytes);

    const auto opened = storage::ReadProjectFile(path);
    if (!opened) {
        Require(opened.error().starts_with("Cannot open project file \"" + path.string() + "\": "),
                "a file that does not open says which and why", opened.error());
        Require(Content(path) == bytes, "a file that does not open is left as it was", opened.error());
        return 0;
    }

    model::LabelArray labels;
    auto project = storage::BuildProject(*opened, labels);
    Require(project.has_value(), "a file that reads builds a project", project ? "" : project.error());

    const auto saved = storage::SaveToDB(**project, savedPath, *templatePath);
    Require(saved.has_value(), "a project that opened can be saved", saved ? "" : saved.error());
    const auto reopened = storage::ReadProjectFile(savedPath);
    Require(reopened.has_value(), "a saved project opens", reopened ? "" : reopened.error());
    RequireSameProject(*opened, *reopened);
    return 0;
}
