#include "storage/ProjectWriter.h"

#include "common/Files.h"
#include "storage/ProjectSchema.h"
#include "storage/ProjectTemplate.h"
#include "storage/ProjectUpgrade.h"
#include "storage/SqliteDatabase.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include <sqlite3.h>

namespace tavrel::storage {

namespace fs = std::filesystem;

namespace {

// Binds the values to the statement's parameters in order and runs it once.
template<typename... Values> tl::expected<void, std::string> Run(SqliteStatement& statement, const Values&... values)
{
    statement.Reset();
    int index = 0;
    tl::expected<void, std::string> bound;
    ((bound = bound ? statement.Bind(++index, values) : bound), ...);
    if (!bound) {
        return bound;
    }
    if (auto done = statement.Step(); !done) {
        return tl::make_unexpected(done.error());
    }
    return {};
}

struct SaveStatements
{
    SqliteStatement insertPlc;
    SqliteStatement selectNewPlcId;
    SqliteStatement insertCommParams;
    SqliteStatement insertItem;
};

tl::expected<SaveStatements, std::string> PrepareSaveStatements(SqliteDatabase& db)
{
    SaveStatements statements;
    for (auto [sql, statement] : { std::pair { schema::kInsertPlc, &statements.insertPlc },
                                   std::pair { schema::kSelectNewPlcId, &statements.selectNewPlcId },
                                   std::pair { schema::kInsertCommParams, &statements.insertCommParams },
                                   std::pair { schema::kInsertItem, &statements.insertItem } }) {
        auto prepared = db.Prepare(sql);
        if (!prepared) {
            return tl::make_unexpected("the template has not the layout of a project: " + prepared.error());
        }
        *statement = std::move(*prepared);
    }
    return statements;
}

// Writes the Plcs row and the CommParams row of a PLC; returns the ID the file gave it.
tl::expected<std::int64_t, std::string> SavePlcRecord(SaveStatements& statements, const model::clsPlc& plc)
{
    if (auto inserted = Run(statements.insertPlc, std::string_view(plc.Name)); !inserted) {
        return tl::make_unexpected(inserted.error());
    }
    statements.selectNewPlcId.Reset();
    auto row = statements.selectNewPlcId.Step();
    if (!row) {
        return tl::make_unexpected(row.error());
    }
    if (!*row || statements.selectNewPlcId.ColumnType(0) != SQLITE_INTEGER) {
        return tl::make_unexpected(std::string("the new PLC row has no ID"));
    }
    const std::int64_t id = statements.selectNewPlcId.ColumnInt64(0);

    const model::CommParams& p = plc.Params();
    const std::string_view host = p.EthRemoteIP;
    auto inserted
        = Run(statements.insertCommParams, id, static_cast<std::int64_t>(p.PathWay), std::int64_t { p.EthRemotePort },
              host, std::int64_t { p.SerialComPort }, std::int64_t { p.SerialBaudRate }, std::int64_t { p.TimeOut },
              std::int64_t { p.NumRetries }, std::int64_t { p.UnitId }, std::int64_t { p.PlcType },
              std::int64_t { p.DataBits }, std::int64_t { p.Parity }, std::int64_t { p.StopBits },
              p.ScanMs ? std::optional<std::int64_t>(*p.ScanMs) : std::nullopt);
    if (!inserted) {
        return tl::make_unexpected(inserted.error());
    }
    return id;
}

std::optional<std::string_view> TextOrNull(const std::string& text)
{
    return text.empty() ? std::nullopt : std::optional<std::string_view>(text);
}

// One row per top-level item; a vector is stored with its length and its first element's label. Details at their
// defaults are stored as NULL, so a file of items without details reads as before.
tl::expected<void, std::string> SaveItem(SaveStatements& statements, const model::Clsitem& item, std::int64_t plcId)
{
    const model::ItemDetails& d = item.Details;
    const std::string dataType = d.dataType ? common::DataTypeText(*d.dataType) : std::string();
    const common::DataType orderType = d.dataType.value_or(common::DataType {});
    const std::string byteOrder
        = d.byteOrder == common::ByteOrder::ABCD ? std::string() : common::ByteOrderText(d.byteOrder, orderType);
    const auto scale = [&d](double common::Scaling::*field) {
        return d.scaling ? std::optional<double>((*d.scaling).*field) : std::nullopt;
    };
    return Run(statements.insertItem, plcId, std::int64_t { item.OperandType }, std::int64_t { item.OperandAddress },
               std::int64_t { item.Length() }, std::int64_t { item.IoDirection },
               item.IsEnable ? schema::kStoredTrue : schema::kStoredFalse, std::int64_t { item.FirstLabelIndex() },
               TextOrNull(dataType), TextOrNull(byteOrder), scale(&common::Scaling::rawLow),
               scale(&common::Scaling::rawHigh), scale(&common::Scaling::low), scale(&common::Scaling::high),
               TextOrNull(d.units), TextOrNull(d.name), TextOrNull(d.description), d.deadband,
               d.record ? std::optional<std::int64_t>(schema::kStoredTrue) : std::nullopt);
}

tl::expected<void, std::string> WriteProject(SqliteDatabase& db, const model::clsConfig& project)
{
    // A template of an older layout gets the columns of the current one first.
    if (auto upgraded = UpgradeProjectFile(db); !upgraded) {
        return tl::make_unexpected("cannot bring the template to the current layout: " + upgraded.error());
    }
    auto statements = PrepareSaveStatements(db);
    if (!statements) {
        return tl::make_unexpected(statements.error());
    }
    for (const auto& plc : project.colPlcs()) {
        const std::string name = "PLC \"" + plc->Name + "\"";
        auto id = SavePlcRecord(*statements, *plc);
        if (!id) {
            return tl::make_unexpected("cannot store " + name + ": " + id.error());
        }
        std::size_t position = 0;
        for (const auto& item : plc->colItems()) {
            ++position;
            if (auto saved = SaveItem(*statements, *item, *id); !saved) {
                return tl::make_unexpected("cannot store item " + std::to_string(position) + " of " + name + ": "
                                           + saved.error());
            }
        }
    }
    return {};
}

} // namespace

tl::expected<void, std::string> SaveToDB(const model::clsConfig& project, const fs::path& path,
                                         const fs::path& templatePath)
{
    auto templateBytes = ReadTemplate(templatePath);
    if (!templateBytes) {
        return tl::make_unexpected(templateBytes.error());
    }
    const auto fail = [&path](const std::string& what) {
        return tl::make_unexpected("Cannot save project file " + common::QuotedPath(path) + ": " + what);
    };
    auto replacement = common::ReplacementFile::Create(path);
    if (!replacement) {
        return fail(replacement.error());
    }
    if (auto copied = replacement->Write(templateBytes->data(), templateBytes->size()); !copied) {
        return fail(copied.error());
    }
    auto db = SqliteDatabase::Open(replacement->Path());
    if (!db) {
        return fail("cannot open the copy of the template: " + db.error());
    }
    // A new file that failed is thrown away whole, so it needs no journal: the rename is the commit.
    if (auto begun = db->Execute("PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; BEGIN"); !begun) {
        return fail("cannot write the copy of the template " + common::QuotedPath(templatePath) + ": " + begun.error());
    }
    if (auto written = WriteProject(*db, project); !written) {
        return fail(written.error());
    }
    if (auto committed = db->Execute("COMMIT"); !committed) {
        return fail("cannot write the new file: " + committed.error());
    }
    if (auto closed = db->Close(); !closed) {
        return fail(closed.error());
    }
    if (auto replaced = replacement->Commit(); !replaced) {
        return fail(replaced.error());
    }
    return {};
}

} // namespace tavrel::storage
