#pragma once

#include <filesystem>
#include <string>

namespace tavrel {

/// Which way an items command goes between a PLC of a project file and an items list (storage/ItemsCsv.h).
enum class ItemsCommand { Import, Export };

/// `tavrel --import-items PLC FILE PROJECT.tve` and `--export-items PLC FILE PROJECT.tve`, without a display: an
/// export writes the list of the PLC's items to FILE; an import replaces the PLC's items with the list in FILE and
/// saves the project file (with the template database at `templatePath`). Says what it did in one line on standard
/// output, or why not on standard error; returns the exit code: 0 done, 1 the project or the list could not be
/// read, written or imported, 2 the project has no PLC of that name.
int RunItemsCommand(ItemsCommand command, const std::string& plcName, const std::filesystem::path& file,
                    const std::filesystem::path& projectFile, const std::filesystem::path& templatePath);

} // namespace tavrel
