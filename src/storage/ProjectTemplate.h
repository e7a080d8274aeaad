#pragma once

#include <filesystem>
#include <string>

#include <tl/expected.hpp>

namespace tavrel::storage {

/// The template database of a program in `programFolder`: programFolder/Templates/DDETemplate.tvb.
std::filesystem::path TemplatePathIn(const std::filesystem::path& programFolder);

/// The folder that holds Templates/ and Help/ for a program in `programFolder`: that folder itself when it has
/// Templates/ (a build tree), else the installed share folder relative to it (PREFIX/share/tavrel beside
/// PREFIX/bin) when that has Templates/, else `programFolder`, so that a message names where the files belong.
std::filesystem::path SharedFilesFolder(const std::filesystem::path& programFolder);

/// The template database of the running executable, in its SharedFilesFolder; fails when the executable's folder
/// is unknown.
[[nodiscard]] tl::expected<std::filesystem::path, std::string> DefaultTemplatePath();

/// The bytes of the template database at `templatePath`, which every save starts from; fails with
/// "Unable to find template file ..." when there is none, and otherwise with why it cannot be read.
[[nodiscard]] tl::expected<std::string, std::string> ReadTemplate(const std::filesystem::path& templatePath);

} // namespace tavrel::storage
