#include "storage/ProjectUpgrade.h"

#include "storage/ProjectSchema.h"

#include <cstdint>

namespace tavrel::storage {

namespace {

// "name" with inner quotes doubled: an SQL identifier that cannot end early.
std::string QuotedIdentifier(std::string_view name)
{
    std::string quoted = "\"";
    for (const char c : name) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

// Serial settings that older files imply for each PLC family.
struct SerialDefaults
{
    std::int64_t DataBits;
    std::int64_t Parity;
    std::int64_t StopBits;
};
constexpr std::int64_t kStandAlonePlcType = 1;
constexpr SerialDefaults kStandAloneSerial { 7, 2, 1 };
constexpr SerialDefaults kOtherSerial { 8, 0, 1 };

// SQLite has no UPDATE ... INNER JOIN; limiting the rows to PLCs that exist is the same join.
constexpr std::string_view kSetSerialOfType = "UPDATE CommParams SET DataBits=?1,Parity=?2,StopBits=?3 "
                                              "WHERE PlcType=?4 AND PlcID IN (SELECT ID FROM Plcs)";
constexpr std::string_view kSetSerialOfOtherTypes = "UPDATE CommParams SET DataBits=?1,Parity=?2,StopBits=?3 "
                                                    "WHERE PlcType<>?4 AND PlcID IN (SELECT ID FROM Plcs)";

tl::expected<void, std::string> SetSerialDefaults(SqliteDatabase& db, std::string_view sql,
                                                  const SerialDefaults& values)
{
    auto statement = db.Prepare(sql);
    if (!statement) {
        return tl::make_unexpected(statement.error());
    }
    for (auto bound : { statement->Bind(1, values.DataBits), statement->Bind(2, values.Parity),
                        statement->Bind(3, values.StopBits), statement->Bind(4, kStandAlonePlcType) }) {
        if (!bound) {
            return bound;
        }
    }
    if (auto done = statement->Step(); !done) {
        return tl::make_unexpected(done.error());
    }
    return {};
}

} // namespace

tl::expected<bool, std::string> ColumnExists(SqliteDatabase& db, std::string_view pTable, std::string_view pColumn)
{
    auto statement = db.Prepare("SELECT 1 FROM pragma_table_info(?1) WHERE name = ?2 COLLATE NOCASE");
    if (!statement) {
        return tl::make_unexpected(statement.error());
    }
    if (auto bound = statement->Bind(1, pTable); !bound) {
        return tl::make_unexpected(bound.error());
    }
    if (auto bound = statement->Bind(2, pColumn); !bound) {
        return tl::make_unexpected(bound.error());
    }
    return statement->Step();
}

tl::expected<bool, std::string> AddColumnIfMissing(SqliteDatabase& db, std::string_view pTable,
                                                   std::string_view pColumn, std::string_view pType)
{
    auto exists = ColumnExists(db, pTable, pColumn);
    if (!exists) {
        return exists;
    }
    if (*exists) {
        return false;
    }
    const std::string sql = "ALTER TABLE " + QuotedIdentifier(pTable) + " ADD COLUMN " + QuotedIdentifier(pColumn) + " "
        + std::string(pType);
    if (auto added = db.Execute(sql); !added) {
        return tl::make_unexpected("cannot add column " + std::string(pColumn) + " to table " + std::string(pTable)
                                   + ": " + added.error());
    }
    return true;
}

tl::expected<void, std::string> UpgradeProjectFile(SqliteDatabase& db)
{
    if (auto added = AddColumnIfMissing(db, "CommParams", "ScanMs", "INTEGER"); !added) {
        return tl::make_unexpected(added.error());
    }
    // NULL in every new column is the item as it was.
    for (const schema::DetailColumn& column : schema::kItemDetailColumns) {
        if (auto added = AddColumnIfMissing(db, "Items", column.name, column.type); !added) {
            return tl::make_unexpected(added.error());
        }
    }
    bool stopBitsAdded = false;
    for (const std::string_view column : { "DataBits", "Parity", "StopBits" }) {
        auto added = AddColumnIfMissing(db, "CommParams", column, "INTEGER");
        if (!added) {
            return tl::make_unexpected(added.error());
        }
        stopBitsAdded = *added;
    }
    if (!stopBitsAdded) {
        return {};
    }
    if (auto set = SetSerialDefaults(db, kSetSerialOfType, kStandAloneSerial); !set) {
        return tl::make_unexpected("cannot set the serial settings of the PLCs: " + set.error());
    }
    if (auto set = SetSerialDefaults(db, kSetSerialOfOtherTypes, kOtherSerial); !set) {
        return tl::make_unexpected("cannot set the serial settings of the PLCs: " + set.error());
    }
    return {};
}

} // namespace tavrel::storage
