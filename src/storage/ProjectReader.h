#pragma once

#include "model/LabelArray.h"
#include "model/clsConfig.h"
#include "model/clsPlc.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::storage {

/// One row of table Items: a top-level item as stored.
struct ItemRecord
{
    std::int32_t OprndType = 0;
    std::int32_t OprndAddr = 0;
    std::int32_t Oprndlength = 1; ///< number of operands; more than 1 for a vector item
    std::int32_t CommDirection = 0;
    bool IsEnabled = false;
    std::int32_t LabelIndex = 1; ///< label index of the first operand
    model::ItemDetails Details; ///< data type, byte order, scaling, units, name ... (NULL columns: the defaults)

    friend bool operator==(const ItemRecord&, const ItemRecord&) = default;
};

/// One PLC as stored: its Plcs row, its CommParams row and its Items rows in file order.
struct PlcRecord
{
    std::int64_t ID = 0;
    std::string Name;
    model::CommParams Params; ///< EthMode is not stored and always 0
    std::vector<ItemRecord> Items;
};

/// The whole content of a project file, read and checked, in file order.
struct ProjectData
{
    std::vector<PlcRecord> Plcs;
    /// What was left out of the file and why, one line each for the user: a value the program does without.
    std::vector<std::string> Notes;
};

/// Reads the project file at `path` and checks every row: tables and columns present, every PLC
/// with its CommParams row, every value within its range, no two items sharing a label. Files of
/// the older layout are upgraded in place (UpgradeProjectFile), but the upgrade is kept only when
/// the whole file reads well: a file that fails to open is left as it was. A ScanMs that is not a whole number
/// from 0 to model::kMaxScanMs is left out (the PLC is exchanged in every pass) with a line in Notes; so is an item
/// whose details do not read or that common::CheckItemDefinition refuses, or whose tag name an item before it has.
[[nodiscard]] tl::expected<ProjectData, std::string> ReadProjectFile(const std::filesystem::path& path);

/// A new project built from `data`: PLC keys 2, 3, ... in file order, each item with its stored
/// labels loaded into `labels`. On failure (a stored label already loaded in `labels`) the labels
/// this call loaded are unloaded again and nothing else has changed.
[[nodiscard]] tl::expected<std::unique_ptr<model::clsConfig>, std::string> BuildProject(const ProjectData& data,
                                                                                        model::LabelArray& labels);

/// ReadProjectFile, then BuildProject: the project of a file as a new project. The project that is
/// open stays untouched whether this succeeds or fails.
[[nodiscard]] tl::expected<std::unique_ptr<model::clsConfig>, std::string> LoadFromDB(const std::filesystem::path& path,
                                                                                      model::LabelArray& labels);

} // namespace tavrel::storage
