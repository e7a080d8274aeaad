#include "storage/ProjectDatabase.h"

#include "common/Files.h"
#include "storage/ProjectUpgrade.h"
#include "storage/SqliteDatabase.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string_view>

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

namespace tavrel::storage {

namespace fs = std::filesystem;

namespace {

std::string Quoted(const fs::path& path)
{
    return "\"" + path.string() + "\"";
}

std::string PlcName(const PlcRecord& plc)
{
    return "PLC \"" + plc.Name + "\" (ID " + std::to_string(plc.ID) + ")";
}

std::string LabelSpan(std::int32_t first, std::int32_t last)
{
    return first == last ? "label " + model::LabelName(first)
                         : "labels " + model::LabelName(first) + " to " + model::LabelName(last);
}

tl::unexpected<std::string> OpenFailure(const fs::path& path, const std::string& problem)
{
    return tl::make_unexpected("Cannot open project file " + Quoted(path) + ": " + problem);
}

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMaxTcpPort = 65535;
constexpr std::int64_t kMaxLabelIndex = model::LabelArray::kMaxIndex;

// The columns a project file must have before the upgrade; the upgrade adds the serial ones.
constexpr std::string_view kPlcsColumns[] = { "ID", "Name" };
constexpr std::string_view kCommParamsColumns[]
    = { "PlcID",          "PathWay", "EthRemotePort", "EthRemoteIP", "SerialComPort",
        "SerialBaudRate", "TimeOut", "NumRetries",    "UnitID",      "PlcType" };
constexpr std::string_view kItemsColumns[]
    = { "PlcID", "OprndType", "OprndAddr", "Oprndlength", "CommDirection", "IsEnabled", "LabelIndex" };
struct TableLayout
{
    std::string_view name;
    std::span<const std::string_view> columns;
};
constexpr TableLayout kProjectLayout[]
    = { { "Plcs", kPlcsColumns }, { "CommParams", kCommParamsColumns }, { "Items", kItemsColumns } };

// Rows come back in the order they were saved, which is project order.
constexpr std::string_view kSelectPlcs = "SELECT ID, Name FROM Plcs ORDER BY ID";
constexpr std::string_view kSelectCommParams
    = "SELECT PathWay, EthRemotePort, EthRemoteIP, SerialComPort, SerialBaudRate, TimeOut, NumRetries, UnitID, "
      "PlcType, DataBits, Parity, StopBits FROM CommParams WHERE PlcID=?1 ORDER BY rowid LIMIT 1";
constexpr std::string_view kSelectItems
    = "SELECT OprndType, OprndAddr, Oprndlength, CommDirection, IsEnabled, LabelIndex FROM Items WHERE PlcID=?1 "
      "ORDER BY rowid";

constexpr std::string_view kInsertPlc = "INSERT INTO Plcs (Name) VALUES (?1)";
constexpr std::string_view kSelectNewPlcId = "Select Max([ID]) as IdValue From Plcs";
constexpr std::string_view kInsertCommParams
    = "INSERT INTO CommParams "
      "(PlcID,PathWay,EthRemotePort,EthRemoteIP,SerialComPort,SerialBaudRate,TimeOut,NumRetries,UnitID,PlcType,"
      "DataBits,Parity,StopBits) VALUES (?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13)";
constexpr std::string_view kInsertItem
    = "INSERT INTO Items (PlcID,OprndType,OprndAddr,Oprndlength,CommDirection,IsEnabled,LabelIndex) "
      "VALUES (?1,?2,?3,?4,?5,?6,?7)";

// Stored Booleans.
constexpr std::int64_t kStoredTrue = -1;
constexpr std::int64_t kStoredFalse = 0;

// Rolls an open transaction back when it goes out of scope without Commit.
class TransactionGuard
{
public:
    explicit TransactionGuard(SqliteDatabase& db)
        : m_db(db)
    {
    }
    TransactionGuard(const TransactionGuard&) = delete;
    TransactionGuard& operator=(const TransactionGuard&) = delete;
    ~TransactionGuard()
    {
        if (m_open) {
            (void)m_db.Execute("ROLLBACK");
        }
    }

    tl::expected<void, std::string> Begin()
    {
        auto begun = m_db.Execute("BEGIN");
        m_open = begun.has_value();
        return begun;
    }

    tl::expected<void, std::string> Commit()
    {
        auto committed = m_db.Execute("COMMIT");
        m_open = !committed.has_value();
        return committed;
    }

private:
    SqliteDatabase& m_db;
    bool m_open = false;
};

// Reads the columns of one row into fields, checking each value; keeps the first problem found.
class RowFields
{
public:
    explicit RowFields(const SqliteStatement& row)
        : m_row(row)
    {
    }

    template<typename Field>
    void Whole(int column, std::string_view name, Field& field,
               std::int64_t minimum = std::numeric_limits<Field>::min(),
               std::int64_t maximum = std::numeric_limits<Field>::max())
    {
        if (auto value = WholeValue(column, name, minimum, maximum)) {
            field = static_cast<Field>(*value);
        }
    }

    void Flag(int column, std::string_view name, bool& field)
    {
        if (auto value = WholeValue(column, name, kInt64Min, kInt64Max)) {
            field = *value != 0;
        }
    }

    void Text(int column, std::string& field) { field = m_row.ColumnText(column); }

    /// Records a problem found by a check of the caller, unless one was found before.
    void Report(std::string problem)
    {
        if (!m_problem) {
            m_problem = std::move(problem);
        }
    }

    const std::optional<std::string>& Problem() const { return m_problem; }

private:
    std::optional<std::int64_t> WholeValue(int column, std::string_view name, std::int64_t minimum,
                                           std::int64_t maximum)
    {
        const int type = m_row.ColumnType(column);
        if (type == SQLITE_NULL) {
            Report(std::string(name) + " is empty");
            return std::nullopt;
        }
        if (type != SQLITE_INTEGER) {
            Report(std::string(name) + " \"" + m_row.ColumnText(column) + "\" is not a whole number");
            return std::nullopt;
        }
        const std::int64_t value = m_row.ColumnInt64(column);
        if (value < minimum || value > maximum) {
            Report(std::string(name) + " " + std::to_string(value) + " is outside " + std::to_string(minimum) + " to "
                   + std::to_string(maximum));
            return std::nullopt;
        }
        return value;
    }

    const SqliteStatement& m_row;
    std::optional<std::string> m_problem;
};

tl::expected<bool, std::string> TableExists(SqliteDatabase& db, std::string_view table)
{
    auto statement = db.Prepare("SELECT 1 FROM sqlite_master WHERE type='table' AND name=?1 COLLATE NOCASE");
    if (!statement) {
        return tl::make_unexpected(statement.error());
    }
    if (auto bound = statement->Bind(1, table); !bound) {
        return tl::make_unexpected(bound.error());
    }
    return statement->Step();
}

// Checks that the file is a database with every table and column a project needs.
tl::expected<void, std::string> CheckLayout(SqliteDatabase& db)
{
    for (const TableLayout& table : kProjectLayout) {
        auto exists = TableExists(db, table.name);
        if (!exists) {
            if (db.LastErrorCode() == SQLITE_NOTADB) {
                return tl::make_unexpected(std::string("it is not a project file (not a database)"));
            }
            return tl::make_unexpected("cannot read it: " + exists.error());
        }
        if (!*exists) {
            return tl::make_unexpected("it is not a project file: it has no table " + std::string(table.name));
        }
        for (const std::string_view column : table.columns) {
            auto found = ColumnExists(db, table.name, column);
            if (!found) {
                return tl::make_unexpected("cannot read table " + std::string(table.name) + ": " + found.error());
            }
            if (!*found) {
                return tl::make_unexpected("table " + std::string(table.name) + " has no column "
                                           + std::string(column));
            }
        }
    }
    return {};
}

tl::expected<model::CommParams, std::string> ReadCommParams(SqliteStatement& statement, const PlcRecord& plc)
{
    statement.Reset();
    if (auto bound = statement.Bind(1, plc.ID); !bound) {
        return tl::make_unexpected(bound.error());
    }
    auto row = statement.Step();
    if (!row) {
        return tl::make_unexpected("cannot read the CommParams row of " + PlcName(plc) + ": " + row.error());
    }
    if (!*row) {
        return tl::make_unexpected(PlcName(plc) + " has no CommParams row");
    }
    model::CommParams params;
    RowFields fields(statement);
    fields.Whole(0, "PathWay", params.PathWay);
    fields.Whole(1, "EthRemotePort", params.EthRemotePort, 0, kMaxTcpPort);
    fields.Text(2, params.EthRemoteIP);
    fields.Whole(3, "SerialComPort", params.SerialComPort);
    fields.Whole(4, "SerialBaudRate", params.SerialBaudRate);
    fields.Whole(5, "TimeOut", params.TimeOut);
    fields.Whole(6, "NumRetries", params.NumRetries);
    // A PLC type or unit ID outside the lists still loads: the dialog shows it as unknown and the channel
    // of that PLC alone refuses to open with it.
    fields.Whole(7, "UnitID", params.UnitId);
    fields.Whole(8, "PlcType", params.PlcType);
    fields.Whole(9, "DataBits", params.DataBits);
    fields.Whole(10, "Parity", params.Parity);
    fields.Whole(11, "StopBits", params.StopBits);
    if (fields.Problem()) {
        return tl::make_unexpected("the CommParams row of " + PlcName(plc) + " is wrong: " + *fields.Problem());
    }
    params.EthMode = 0;
    return params;
}

// Checks the values of one Items row that only make sense together.
void CheckItem(const ItemRecord& item, RowFields& fields)
{
    // An operand type or direction outside the lists still loads; such an item is never exchanged.
    if (std::int64_t { item.OprndAddr } + item.Oprndlength - 1 > kInt32Max) {
        fields.Report("OprndAddr " + std::to_string(item.OprndAddr) + " with Oprndlength "
                      + std::to_string(item.Oprndlength) + " runs past the largest address");
    } else if (std::int64_t { item.LabelIndex } + item.Oprndlength - 1 > kMaxLabelIndex) {
        fields.Report("LabelIndex " + std::to_string(item.LabelIndex) + " with Oprndlength "
                      + std::to_string(item.Oprndlength) + " runs past "
                      + model::LabelName(model::LabelArray::kMaxIndex));
    }
}

tl::expected<std::vector<ItemRecord>, std::string> ReadItems(SqliteStatement& statement, const PlcRecord& plc)
{
    statement.Reset();
    if (auto bound = statement.Bind(1, plc.ID); !bound) {
        return tl::make_unexpected(bound.error());
    }
    std::vector<ItemRecord> items;
    for (;;) {
        auto row = statement.Step();
        if (!row) {
            return tl::make_unexpected("cannot read the items of " + PlcName(plc) + ": " + row.error());
        }
        if (!*row) {
            return items;
        }
        ItemRecord item;
        RowFields fields(statement);
        fields.Whole(0, "OprndType", item.OprndType);
        fields.Whole(1, "OprndAddr", item.OprndAddr, 0, kInt32Max);
        fields.Whole(2, "Oprndlength", item.Oprndlength, 1, kMaxLabelIndex);
        fields.Whole(3, "CommDirection", item.CommDirection);
        fields.Flag(4, "IsEnabled", item.IsEnabled);
        fields.Whole(5, "LabelIndex", item.LabelIndex, 1, kMaxLabelIndex);
        if (!fields.Problem()) {
            CheckItem(item, fields);
        }
        if (fields.Problem()) {
            return tl::make_unexpected("item " + std::to_string(items.size() + 1) + " of " + PlcName(plc)
                                       + " is wrong: " + *fields.Problem());
        }
        items.push_back(item);
    }
}

tl::expected<ProjectData, std::string> ReadRows(SqliteDatabase& db)
{
    auto plcs = db.Prepare(kSelectPlcs);
    auto commParams = db.Prepare(kSelectCommParams);
    auto items = db.Prepare(kSelectItems);
    for (const auto* prepared : { &plcs, &commParams, &items }) {
        if (!*prepared) {
            return tl::make_unexpected("cannot read it: " + prepared->error());
        }
    }

    ProjectData data;
    for (;;) {
        auto row = plcs->Step();
        if (!row) {
            return tl::make_unexpected("cannot read table Plcs: " + row.error());
        }
        if (!*row) {
            break;
        }
        PlcRecord plc;
        RowFields fields(*plcs);
        fields.Whole(0, "ID", plc.ID);
        fields.Text(1, plc.Name);
        if (fields.Problem()) {
            return tl::make_unexpected("PLC " + std::to_string(data.Plcs.size() + 1)
                                       + " is wrong: " + *fields.Problem());
        }
        if (!data.Plcs.empty() && data.Plcs.back().ID == plc.ID) {
            return tl::make_unexpected("two PLCs have ID " + std::to_string(plc.ID));
        }
        data.Plcs.push_back(std::move(plc));
    }

    for (PlcRecord& plc : data.Plcs) {
        auto params = ReadCommParams(*commParams, plc);
        if (!params) {
            return tl::make_unexpected(params.error());
        }
        plc.Params = *params;
        auto rows = ReadItems(*items, plc);
        if (!rows) {
            return tl::make_unexpected(rows.error());
        }
        plc.Items = std::move(*rows);
    }
    return data;
}

// Every label may belong to one item only: a second item on it could never be loaded.
tl::expected<void, std::string> CheckLabelRanges(const ProjectData& data)
{
    struct Range
    {
        std::int32_t first;
        std::int32_t last;
        const PlcRecord* plc;
        std::size_t item;
    };
    std::vector<Range> ranges;
    for (const PlcRecord& plc : data.Plcs) {
        for (std::size_t i = 0; i < plc.Items.size(); ++i) {
            const ItemRecord& item = plc.Items[i];
            ranges.push_back({ item.LabelIndex, item.LabelIndex + item.Oprndlength - 1, &plc, i + 1 });
        }
    }
    std::stable_sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
    const auto describe = [](const Range& range) {
        return LabelSpan(range.first, range.last) + " of item " + std::to_string(range.item) + " of "
            + PlcName(*range.plc);
    };
    // The range reaching furthest so far is the one any later range could overlap.
    const Range* furthest = nullptr;
    for (const Range& range : ranges) {
        if (furthest != nullptr && range.first <= furthest->last) {
            return tl::make_unexpected(describe(range) + " overlap " + describe(*furthest));
        }
        if (furthest == nullptr || range.last > furthest->last) {
            furthest = &range;
        }
    }
    return {};
}

void UnloadItemLabels(const model::clsPlc& plc)
{
    for (const auto& item : plc.colItems()) {
        item->UnloadLabels();
    }
}

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
    for (auto [sql, statement] :
         { std::pair { kInsertPlc, &statements.insertPlc }, std::pair { kSelectNewPlcId, &statements.selectNewPlcId },
           std::pair { kInsertCommParams, &statements.insertCommParams },
           std::pair { kInsertItem, &statements.insertItem } }) {
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
        = Run(statements.insertCommParams, id, std::int64_t { p.PathWay }, std::int64_t { p.EthRemotePort }, host,
              std::int64_t { p.SerialComPort }, std::int64_t { p.SerialBaudRate }, std::int64_t { p.TimeOut },
              std::int64_t { p.NumRetries }, std::int64_t { p.UnitId }, std::int64_t { p.PlcType },
              std::int64_t { p.DataBits }, std::int64_t { p.Parity }, std::int64_t { p.StopBits });
    if (!inserted) {
        return tl::make_unexpected(inserted.error());
    }
    return id;
}

// One row per top-level item; a vector is stored with its length and its first element's label.
tl::expected<void, std::string> SaveItem(SaveStatements& statements, const model::Clsitem& item, std::int64_t plcId)
{
    return Run(statements.insertItem, plcId, std::int64_t { item.OperandType }, std::int64_t { item.OperandAddress },
               std::int64_t { item.Length() }, std::int64_t { item.IoDirection },
               item.IsEnable ? kStoredTrue : kStoredFalse, std::int64_t { item.FirstLabelIndex() });
}

tl::expected<void, std::string> WriteProject(SqliteDatabase& db, const model::clsConfig& project)
{
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

// The bytes of the template, or why they could not be had.
tl::expected<std::string, std::string> ReadTemplate(const fs::path& templatePath)
{
    auto bytes = common::ReadWholeFile(templatePath);
    if (!bytes) {
        if (bytes.error() == ENOENT || bytes.error() == ENOTDIR) {
            return tl::make_unexpected("Unable to find template file " + Quoted(templatePath));
        }
        return tl::make_unexpected("Cannot read template file " + Quoted(templatePath) + ": "
                                   + std::strerror(bytes.error()));
    }
    return std::move(*bytes);
}

} // namespace

tl::expected<ProjectData, std::string> ReadProjectFile(const fs::path& path)
{
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) {
        return OpenFailure(path,
                           error && error != std::errc::no_such_file_or_directory
                               ? "cannot look at it: " + error.message()
                               : std::string("there is no such file"));
    }
    if (!fs::is_regular_file(status)) {
        return OpenFailure(path, "it is not a file");
    }
    auto db = SqliteDatabase::Open(path);
    if (!db) {
        return OpenFailure(path, db.error());
    }
    // One transaction around upgrade and reading: a file that fails to load keeps its old layout.
    TransactionGuard transaction(*db);
    if (auto begun = transaction.Begin(); !begun) {
        return OpenFailure(path, begun.error());
    }
    if (auto layout = CheckLayout(*db); !layout) {
        return OpenFailure(path, layout.error());
    }
    if (auto upgraded = UpgradeProjectFile(*db); !upgraded) {
        return OpenFailure(path, "cannot upgrade it to the current layout: " + upgraded.error());
    }
    auto data = ReadRows(*db);
    if (!data) {
        return OpenFailure(path, data.error());
    }
    if (auto labels = CheckLabelRanges(*data); !labels) {
        return OpenFailure(path, labels.error());
    }
    if (auto committed = transaction.Commit(); !committed) {
        return OpenFailure(path, "cannot keep its upgrade: " + committed.error());
    }
    return data;
}

tl::expected<std::unique_ptr<model::clsConfig>, std::string> BuildProject(const ProjectData& data,
                                                                          model::LabelArray& labels)
{
    auto project = std::make_unique<model::clsConfig>(labels);
    const auto fail = [&project](const model::clsPlc& pending, std::string problem) {
        UnloadItemLabels(pending);
        for (const auto& plc : project->colPlcs()) {
            UnloadItemLabels(*plc);
        }
        return tl::make_unexpected(std::move(problem));
    };
    for (const PlcRecord& record : data.Plcs) {
        auto plc = project->NewPlc();
        plc->Name = record.Name;
        plc->SetCommParams(record.Params);
        std::size_t position = 0;
        for (const ItemRecord& item : record.Items) {
            ++position;
            const std::string where = "item " + std::to_string(position) + " of " + PlcName(record);
            // AddItems reads -1 as "allocate a new label"; a stored item always names its own.
            if (item.LabelIndex < 1) {
                return fail(*plc, where + " has label index " + std::to_string(item.LabelIndex));
            }
            std::int32_t labelIndex = item.LabelIndex;
            auto added = plc->AddItems(item.Oprndlength, item.OprndAddr, item.OprndType, item.CommDirection,
                                       item.IsEnabled, labelIndex);
            if (!added) {
                return fail(*plc, where + ": " + added.error());
            }
        }
        project->AddPLC(std::move(plc));
    }
    return project;
}

tl::expected<std::unique_ptr<model::clsConfig>, std::string> LoadFromDB(const fs::path& path, model::LabelArray& labels)
{
    auto data = ReadProjectFile(path);
    if (!data) {
        return tl::make_unexpected(data.error());
    }
    auto project = BuildProject(*data, labels);
    if (!project) {
        return OpenFailure(path, project.error());
    }
    return project;
}

tl::expected<void, std::string> SaveToDB(const model::clsConfig& project, const fs::path& path,
                                         const fs::path& templatePath)
{
    auto templateBytes = ReadTemplate(templatePath);
    if (!templateBytes) {
        return tl::make_unexpected(templateBytes.error());
    }
    const auto fail = [&path](const std::string& what) {
        return tl::make_unexpected("Cannot save project file " + Quoted(path) + ": " + what);
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
        return fail("cannot write the copy of the template " + Quoted(templatePath) + ": " + begun.error());
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

fs::path TemplatePathIn(const fs::path& programFolder)
{
    return programFolder / "Templates" / "DDETemplate.tvb";
}

tl::expected<fs::path, std::string> DefaultTemplatePath()
{
    std::error_code error;
    const fs::path executable = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        return tl::make_unexpected("cannot find the program's folder: " + error.message());
    }
    return TemplatePathIn(executable.parent_path());
}

} // namespace tavrel::storage
