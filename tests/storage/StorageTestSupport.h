#pragma once

#include "model/clsConfig.h"
#include "storage/SqliteDatabase.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tavrel::test {

/// The whole content of a file; empty when it cannot be read.
std::string ReadBytes(const std::filesystem::path& path);

/// Writes `bytes` as the whole content of a file.
void WriteBytes(const std::filesystem::path& path, const std::string& bytes);

/// The template database the build places beside the test executables.
std::filesystem::path BuiltTemplate();

/// A new database at `path` made by running `sql`.
void MakeDatabase(const std::filesystem::path& path, const std::string& sql);

/// Runs `sql` on an existing database.
void RunSql(const std::filesystem::path& path, const std::string& sql);

/// The rows of a query, each as its values joined by "," (text in single quotes, NULL as NULL).
std::vector<std::string> QueryRows(const std::filesystem::path& path, const std::string& sql);

/// The names of the files in a folder.
std::vector<std::string> FileNames(const std::filesystem::path& folder);

/// A copy of the built template at `path` with `sql` run on it: a project file holding the rows it inserts.
void MakeProjectFile(const std::filesystem::path& path, const std::string& sql);

/// An item to add to a PLC, as AddItems takes it.
struct NewItem
{
    std::int32_t count; ///< operands; a vector when more than one
    std::int32_t address;
    std::int32_t type;
    std::int32_t direction;
    bool enabled;
    std::int32_t label; ///< the first operand's label; -1: the next free one
};

/// Adds a PLC with its parameters and items to `project`; an item AddItems refuses fails the test.
model::clsPlc& AddPlc(model::clsConfig& project, const std::string& name, const model::CommParams& params,
                      const std::vector<NewItem>& items);

/// The project of a file, loaded with LoadFromDB; null, failing the test with the error, when it does not load.
std::unique_ptr<model::clsConfig> LoadProject(const std::filesystem::path& path, model::LabelArray& labels);

} // namespace tavrel::test
