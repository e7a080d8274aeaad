#include "storage/ProjectReader.h"

#include "common/DeviceItems.h"
#include "common/Files.h"
#include "storage/ProjectSchema.h"
#include "storage/ProjectUpgrade.h"
#include "storage/RowFields.h"
#include "storage/SqliteDatabase.h"
#include "storage/SqliteTransaction.h"

#include <algorithm>
#include <limits>
#include <string_view>

#include <sqlite3.h>

namespace tavrel::storage {

namespace fs = std::filesystem;

namespace {

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
    return tl::make_unexpected("Cannot open project file " + common::QuotedPath(path) + ": " + problem);
}

constexpr std::int64_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int64_t kMaxTcpPort = 65535;
constexpr std::int64_t kMaxLabelIndex = model::LabelArray::kMaxIndex;

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
    for (const schema::TableLayout& table : schema::kProjectLayout) {
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

// The scan interval of column `column`: nothing when empty, and nothing with a note when it is out of range.
std::optional<std::int32_t> ReadScanMs(const SqliteStatement& statement, int column, const PlcRecord& plc,
                                       std::vector<std::string>& notes)
{
    if (statement.ColumnType(column) == SQLITE_NULL) {
        return std::nullopt;
    }
    std::optional<std::int32_t> scanMs;
    RowFields fields(statement);
    fields.Whole(column, "ScanMs", scanMs.emplace(), 0, model::kMaxScanMs);
    if (fields.Problem()) {
        notes.push_back(PlcName(plc) + " is exchanged in every pass: " + *fields.Problem());
        return std::nullopt;
    }
    return scanMs;
}

tl::expected<model::CommParams, std::string> ReadCommParams(SqliteStatement& statement, const PlcRecord& plc,
                                                            std::vector<std::string>& notes)
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
    params.ScanMs = ReadScanMs(statement, 12, plc, notes);
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

// The details of the item on the current row, from column kDetailsColumn on; or why they do not read.
constexpr int kDetailsColumn = 6;

tl::expected<model::ItemDetails, std::string> ReadDetails(const SqliteStatement& statement, std::int32_t operandType)
{
    model::ItemDetails details;
    const auto text = [&](int offset) { return statement.ColumnText(kDetailsColumn + offset); };
    const auto isNull = [&](int offset) { return statement.ColumnType(kDetailsColumn + offset) == SQLITE_NULL; };
    if (!isNull(0)) {
        auto type = common::ParseDataType(text(0));
        if (!type) {
            return tl::make_unexpected("DataType \"" + text(0) + "\": " + type.error());
        }
        details.dataType = *type;
    }
    if (!isNull(1)) {
        auto order = common::ParseByteOrder(text(1), common::DeviceDataType(operandType, details));
        if (!order) {
            return tl::make_unexpected("ByteOrder \"" + text(1) + "\": " + order.error());
        }
        details.byteOrder = *order;
    }
    RowFields fields(statement);
    std::optional<double> scale[4];
    constexpr std::string_view kScaleNames[4] = { "ScaleRawLow", "ScaleRawHigh", "ScaleLow", "ScaleHigh" };
    for (int i = 0; i < 4; ++i) {
        fields.Real(kDetailsColumn + 2 + i, kScaleNames[i], scale[i]);
    }
    fields.Text(kDetailsColumn + 6, details.units);
    fields.Text(kDetailsColumn + 7, details.name);
    fields.Text(kDetailsColumn + 8, details.description);
    fields.Real(kDetailsColumn + 9, "Deadband", details.deadband);
    if (!isNull(10)) {
        fields.Flag(kDetailsColumn + 10, "Record", details.record);
    }
    if (fields.Problem()) {
        return tl::make_unexpected(*fields.Problem());
    }
    const auto given = std::count_if(std::begin(scale), std::end(scale), [](const auto& v) { return v.has_value(); });
    if (given == 4) {
        auto scaling = common::MakeScaling(*scale[0], *scale[1], *scale[2], *scale[3]);
        if (!scaling) {
            return tl::make_unexpected(scaling.error());
        }
        details.scaling = *scaling;
    } else if (given != 0) {
        return tl::make_unexpected(std::string("a scaling needs all four of ScaleRawLow, ScaleRawHigh, ScaleLow and "
                                               "ScaleHigh"));
    }
    return details;
}

// Why an item that reads well cannot be kept: its definition does not hold together, or its name is taken.
std::optional<std::string> ItemProblem(const ItemRecord& item, std::int32_t plcType,
                                       const std::vector<std::string>& names)
{
    const common::ItemDefinition definition { plcType,          item.OprndType,     item.OprndAddr,
                                              item.Oprndlength, item.CommDirection, item.Details };
    if (auto checked = common::CheckItemDefinition(definition); !checked) {
        return checked.error();
    }
    return common::TagNameClash(item.Details.name, names);
}

// The items of a PLC. A row that cannot be read fails the file; an item whose details do not fit is left out with
// a line in `notes`, and the tag names of the items kept join `names`.
tl::expected<std::vector<ItemRecord>, std::string> ReadItems(SqliteStatement& statement, const PlcRecord& plc,
                                                             std::vector<std::string>& names,
                                                             std::vector<std::string>& notes)
{
    statement.Reset();
    if (auto bound = statement.Bind(1, plc.ID); !bound) {
        return tl::make_unexpected(bound.error());
    }
    std::vector<ItemRecord> items;
    for (std::size_t position = 1;; ++position) {
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
            return tl::make_unexpected("item " + std::to_string(position) + " of " + PlcName(plc)
                                       + " is wrong: " + *fields.Problem());
        }
        auto details = ReadDetails(statement, item.OprndType);
        std::optional<std::string> problem;
        if (details) {
            item.Details = std::move(*details);
            problem = ItemProblem(item, plc.Params.PlcType, names);
        } else {
            problem = details.error();
        }
        if (problem) {
            notes.push_back("Item " + std::to_string(position) + " of " + PlcName(plc) + " (labels from "
                            + model::LabelName(item.LabelIndex) + ") is left out: " + *problem);
            continue;
        }
        if (!item.Details.name.empty()) {
            names.push_back(item.Details.name);
        }
        items.push_back(std::move(item));
    }
}

tl::expected<ProjectData, std::string> ReadRows(SqliteDatabase& db)
{
    auto plcs = db.Prepare(schema::kSelectPlcs);
    auto commParams = db.Prepare(schema::kSelectCommParams);
    auto items = db.Prepare(schema::kSelectItems);
    for (const auto* prepared : { &plcs, &commParams, &items }) {
        if (!*prepared) {
            return tl::make_unexpected("cannot read it: " + prepared->error());
        }
    }

    ProjectData data;
    std::vector<std::string> names;
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
        auto params = ReadCommParams(*commParams, plc, data.Notes);
        if (!params) {
            return tl::make_unexpected(params.error());
        }
        plc.Params = *params;
        auto rows = ReadItems(*items, plc, names, data.Notes);
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
    SqliteTransaction transaction(*db);
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
                                       item.IsEnabled, labelIndex, item.Details);
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

} // namespace tavrel::storage
