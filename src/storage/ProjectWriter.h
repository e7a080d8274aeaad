#pragma once

#include "model/clsConfig.h"

#include <filesystem>
#include <string>

#include <tl/expected.hpp>

namespace tavrel::storage {

/// Saves `project` to `path`: a copy of the template database at `templatePath` is filled beside
/// the target and renamed over it only when complete, so any failure leaves an existing file as it
/// was. Fails with "Unable to find template file ..." when the template is missing, and otherwise
/// with what failed.
[[nodiscard]] tl::expected<void, std::string>
SaveToDB(const model::clsConfig& project, const std::filesystem::path& path, const std::filesystem::path& templatePath);

} // namespace tavrel::storage
