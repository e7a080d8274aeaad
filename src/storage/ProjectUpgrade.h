#pragma once

#include "storage/SqliteDatabase.h"

#include <string>
#include <string_view>

#include <tl/expected.hpp>

namespace tavrel::storage {

/// Whether table `pTable` has a column named `pColumn`. Names are compared without case, as SQLite
/// compares them: a column "databits" exists for "DataBits". A missing table has no columns.
[[nodiscard]] tl::expected<bool, std::string> ColumnExists(SqliteDatabase& db, std::string_view pTable,
                                                           std::string_view pColumn);

/// Adds column `pColumn` of SQL type `pType` to table `pTable` unless it has one; true when it added it.
[[nodiscard]] tl::expected<bool, std::string> AddColumnIfMissing(SqliteDatabase& db, std::string_view pTable,
                                                                 std::string_view pColumn, std::string_view pType);

/// Brings a project file of an older layout up to date: adds DataBits, Parity and StopBits to
/// CommParams where missing, and when StopBits was added gives every PLC's row the serial settings
/// of its family (7, 2, 1 for PLC type 1, else 8, 0, 1); adds ScanMs, empty for every PLC (exchanged in every
/// pass, as before); adds the item details columns of Items (DataType ... Record), empty for every item (each
/// item as before). Running it on a current file changes nothing.
[[nodiscard]] tl::expected<void, std::string> UpgradeProjectFile(SqliteDatabase& db);

} // namespace tavrel::storage
