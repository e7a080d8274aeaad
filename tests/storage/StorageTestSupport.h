#pragma once

#include "storage/SqliteDatabase.h"

#include <filesystem>
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

} // namespace tavrel::test
