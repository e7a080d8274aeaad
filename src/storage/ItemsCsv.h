#pragma once

#include "model/clsConfig.h"
#include "model/clsPlc.h"
#include "storage/ProjectReader.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::storage {

// The items of one PLC as a list that spreadsheets open and save: UTF-8 CSV (CsvText.h), a header row, one line per
// item. Operand is the name the item dialog lists, Direction "Read", "Write" or "Read/Write", Enabled and Record 1
// or 0, Address the protocol address on a Modbus device, Label the first label's index (empty: the next free one).
// Empty fields take the defaults: Length 1, Direction Read, Enabled 1, Record 0, no data type, byte order, scaling
// (all four Scale fields or none), units, deadband, name or description.

/// The header row, the columns in their order.
inline constexpr std::string_view kItemsCsvHeader
    = "Name,Operand,Address,Length,Direction,Enabled,DataType,ByteOrder,ScaleRawLow,ScaleRawHigh,ScaleLow,ScaleHigh,"
      "Units,Deadband,Record,Label,Description";

/// One item of a list as read: the item, whether the list named its label (else the import gives it the next free
/// ones) and the line it came from.
struct ListedItem
{
    ItemRecord item;
    bool labelGiven = false;
    std::size_t line = 0;
};

/// The list of a PLC's items: the header and one line per item, in the PLC's order, CRLF line ends.
std::string ItemsCsvText(const model::clsPlc& plc);

/// The items of a list for a PLC of family `plcType`, each line read and checked as the item dialog checks an item
/// (common::CheckItemDraft on families 0-5, common::CheckItemDefinition on every family), tag names unique within
/// the list. Fails at the first line that does not read or hold together: "line 7: " and the reason.
tl::expected<std::vector<ListedItem>, std::string> ReadItemsCsv(std::string_view text, std::int32_t plcType);

/// What an import did to a PLC.
struct ItemsImport
{
    std::size_t added = 0; ///< the items of the list
    std::size_t removed = 0; ///< the items the PLC had before
};

/// Replaces the items of `plc`, a PLC of `project`, with `items`, all or none: fails, changing nothing, when a
/// label the list names belongs to an item of another PLC or to another line of the list, when no free labels
/// are left for the lines without one, or when a tag name is an item's of another PLC. Lines without a label get
/// the labels after the highest one in use, in list order.
tl::expected<ItemsImport, std::string> ReplaceItems(model::clsConfig& project, model::clsPlc& plc,
                                                    const std::vector<ListedItem>& items);

/// Writes the list of a PLC's items to `path`, which is replaced whole or left as it was; the number of items.
tl::expected<std::size_t, std::string> ExportItemsFile(const model::clsPlc& plc, const std::filesystem::path& path);

/// Reads the list at `path` (ReadItemsCsv) and replaces the items of `plc` with it (ReplaceItems).
tl::expected<ItemsImport, std::string> ImportItemsFile(model::clsConfig& project, model::clsPlc& plc,
                                                       const std::filesystem::path& path);

} // namespace tavrel::storage
