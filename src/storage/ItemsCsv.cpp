#include "storage/ItemsCsv.h"

#include "common/DeviceItems.h"
#include "common/ItemRules.h"
#include "common/OperandCatalogue.h"
#include "common/PlcFamilies.h"
#include "storage/CsvText.h"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>

namespace tavrel::storage {

namespace {

// The columns, in the order of kItemsCsvHeader.
enum Column : std::size_t {
    kName,
    kOperand,
    kAddress,
    kLength,
    kDirection,
    kEnabled,
    kDataType,
    kByteOrder,
    kScaleRawLow,
    kScaleRawHigh,
    kScaleLow,
    kScaleHigh,
    kUnits,
    kDeadband,
    kRecord,
    kLabel,
    kDescription,
    kColumnCount
};

constexpr std::array<std::string_view, kColumnCount> kColumnNames {
    "Name",         "Operand",  "Address",   "Length", "Direction", "Enabled", "DataType", "ByteOrder",  "ScaleRawLow",
    "ScaleRawHigh", "ScaleLow", "ScaleHigh", "Units",  "Deadband",  "Record",  "Label",    "Description"
};

std::string_view Trimmed(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool SameAscii(std::string_view a, std::string_view b)
{
    return common::SameTagName(a, b); // ASCII letters without regard to case
}

// Whether the text is UTF-8: every sequence well formed, no surrogates, nothing past U+10FFFF, no overlong form.
bool IsUtf8(std::string_view text)
{
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const std::size_t length = byte < 0x80 ? 1
            : (byte >> 5) == 0x6               ? 2
            : (byte >> 4) == 0xE               ? 3
            : (byte >> 3) == 0x1E              ? 4
                                               : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        std::uint32_t code = length == 1 ? byte : byte & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (next & 0x3Fu);
        }
        constexpr std::array<std::uint32_t, 5> kSmallest { 0, 0, 0x80, 0x800, 0x10000 };
        if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string NumberText(double value)
{
    std::array<char, 32> buffer {};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    return error == std::errc {} ? std::string(buffer.data(), end) : std::string();
}

std::string FlagText(bool value)
{
    return value ? "1" : "0";
}

// Reads the fields of one line into an item; keeps the first problem, naming the column.
class LineFields
{
public:
    explicit LineFields(const std::vector<std::string>& fields)
        : m_fields(fields)
    {
    }

    /// The field without blanks around it.
    std::string_view Text(Column column) const { return Trimmed(m_fields[column]); }
    /// The field as the line holds it.
    const std::string& Raw(Column column) const { return m_fields[column]; }
    bool Empty(Column column) const { return Text(column).empty(); }

    std::int32_t Whole(Column column, std::int64_t minimum, std::int64_t maximum, std::int32_t empty)
    {
        const std::string_view text = Text(column);
        if (text.empty()) {
            return empty;
        }
        std::int64_t value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc {} || end != text.data() + text.size()) {
            Report(std::string(kColumnNames[column]) + " \"" + std::string(text) + "\" is not a whole number");
        } else if (value < minimum || value > maximum) {
            Report(std::string(kColumnNames[column]) + " " + std::string(text) + " is outside "
                   + std::to_string(minimum) + " to " + std::to_string(maximum));
        } else {
            return static_cast<std::int32_t>(value);
        }
        return empty;
    }

    std::optional<double> Real(Column column)
    {
        const std::string_view text = Text(column);
        if (text.empty()) {
            return std::nullopt;
        }
        double value = 0;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error != std::errc {} || end != text.data() + text.size() || !std::isfinite(value)) {
            Report(std::string(kColumnNames[column]) + " \"" + std::string(text)
                   + "\" is not a number (write it with a decimal point, such as 0.5)");
            return std::nullopt;
        }
        return value;
    }

    bool Flag(Column column, bool empty)
    {
        const std::string_view text = Text(column);
        if (text.empty() || text == "1" || text == "0") {
            return text.empty() ? empty : text == "1";
        }
        Report(std::string(kColumnNames[column]) + " is 1 or 0, not \"" + std::string(text) + "\"");
        return empty;
    }

    void Report(std::string problem)
    {
        if (!m_problem) {
            m_problem = std::move(problem);
        }
    }

    const std::optional<std::string>& Problem() const { return m_problem; }

private:
    const std::vector<std::string>& m_fields;
    std::optional<std::string> m_problem;
};

std::optional<std::int32_t> OperandOf(std::string_view name, std::int32_t plcType)
{
    for (const std::int32_t code : common::OfferedOperandTypes(plcType)) {
        if (SameAscii(common::OperandTypeName(code), name)) {
            return code;
        }
    }
    return std::nullopt;
}

std::string OfferedNames(std::int32_t plcType)
{
    std::string names;
    for (const std::int32_t code : common::OfferedOperandTypes(plcType)) {
        names += (names.empty() ? "" : ", ") + std::string(common::OperandTypeName(code));
    }
    return names;
}

std::optional<std::int32_t> DirectionOf(std::string_view name)
{
    for (const std::int32_t code :
         { common::direction::Read, common::direction::Write, common::direction::ReadWrite }) {
        if (SameAscii(common::IoDirectionName(code), name)) {
            return code;
        }
    }
    return std::nullopt;
}

void ReadDetails(LineFields& fields, std::int32_t operandType, common::ItemDetails& details)
{
    details.name = std::string(fields.Text(kName));
    if (!fields.Empty(kDataType)) {
        auto type = common::ParseDataType(fields.Text(kDataType));
        type ? (void)(details.dataType = *type) : fields.Report("DataType: " + type.error());
    }
    if (!fields.Empty(kByteOrder)) {
        auto order = common::ParseByteOrder(fields.Text(kByteOrder), common::DeviceDataType(operandType, details));
        order ? (void)(details.byteOrder = *order) : fields.Report("ByteOrder: " + order.error());
    }
    std::array<std::optional<double>, 4> scale;
    for (std::size_t i = 0; i < scale.size(); ++i) {
        scale[i] = fields.Real(static_cast<Column>(kScaleRawLow + i));
    }
    const auto given = std::count_if(scale.begin(), scale.end(), [](const auto& value) { return value.has_value(); });
    if (given == 4) {
        auto scaling = common::MakeScaling(*scale[0], *scale[1], *scale[2], *scale[3]);
        scaling ? (void)(details.scaling = *scaling) : fields.Report(scaling.error());
    } else if (given != 0 && !fields.Problem()) {
        fields.Report("a scaling needs all four of ScaleRawLow, ScaleRawHigh, ScaleLow and ScaleHigh");
    }
    details.units = std::string(fields.Text(kUnits));
    details.deadband = fields.Real(kDeadband);
    details.record = fields.Flag(kRecord, false);
    details.description = fields.Raw(kDescription);
}

// The item of one line, or why it cannot be one.
tl::expected<ListedItem, std::string> ReadLine(const std::vector<std::string>& line, std::int32_t plcType)
{
    if (line.size() != kColumnCount) {
        return tl::make_unexpected("it has " + std::to_string(line.size()) + " fields, not "
                                   + std::to_string(kColumnCount));
    }
    LineFields fields(line);
    ListedItem listed;
    ItemRecord& item = listed.item;
    const auto operand = OperandOf(fields.Text(kOperand), plcType);
    if (!operand) {
        const std::string family(common::PlcTypeName(plcType));
        return tl::make_unexpected("Operand \"" + std::string(fields.Text(kOperand)) + "\" is not one of "
                                   + (family.empty() ? "this PLC" : "the PLC type \"" + family + "\"") + ", which has "
                                   + OfferedNames(plcType));
    }
    item.OprndType = *operand;
    if (fields.Empty(kAddress)) {
        fields.Report("Address is empty");
    }
    item.OprndAddr = fields.Whole(kAddress, 0, std::numeric_limits<std::int32_t>::max(), 0);
    item.Oprndlength = fields.Whole(kLength, 1, model::LabelArray::kMaxIndex, 1);
    if (fields.Empty(kDirection)) {
        item.CommDirection = common::direction::Read;
    } else if (const auto direction = DirectionOf(fields.Text(kDirection))) {
        item.CommDirection = *direction;
    } else {
        fields.Report("Direction is Read, Write or Read/Write, not \"" + std::string(fields.Text(kDirection)) + "\"");
    }
    item.IsEnabled = fields.Flag(kEnabled, true);
    listed.labelGiven = !fields.Empty(kLabel);
    item.LabelIndex = fields.Whole(kLabel, 1, model::LabelArray::kMaxIndex, 0);
    ReadDetails(fields, item.OprndType, item.Details);
    if (fields.Problem()) {
        return tl::make_unexpected(*fields.Problem());
    }
    if (plcType != common::plctype::ModbusDevice) {
        const std::string length = std::to_string(item.Oprndlength);
        const auto run
            = common::CheckItemDraft({ plcType, item.OprndType, item.CommDirection, fields.Text(kAddress), length });
        if (!run) {
            return tl::make_unexpected(run.error());
        }
    }
    const common::ItemDefinition definition { plcType,          item.OprndType,     item.OprndAddr,
                                              item.Oprndlength, item.CommDirection, item.Details };
    if (auto checked = common::CheckItemDefinition(definition); !checked) {
        return tl::make_unexpected(checked.error());
    }
    return listed;
}

} // namespace

std::string ItemsCsvText(const model::clsPlc& plc)
{
    std::string text = std::string(kItemsCsvHeader) + "\r\n";
    for (const auto& pointer : plc.colItems()) {
        const model::Clsitem& item = *pointer;
        const common::ItemDetails& details = item.Details;
        const std::string_view operand = common::OperandTypeName(item.OperandType);
        const auto scale = [&details](double common::Scaling::*field) {
            return details.scaling ? NumberText((*details.scaling).*field) : std::string();
        };
        // The byte order as the project stores it: empty for the usual one.
        const std::string order = details.byteOrder == common::ByteOrder::ABCD
            ? std::string()
            : common::ByteOrderText(details.byteOrder, details.dataType.value_or(common::DataType {}));
        text += CsvLine({ details.name, operand.empty() ? std::to_string(item.OperandType) : std::string(operand),
                          std::to_string(item.OperandAddress), std::to_string(item.Length()),
                          std::string(common::IoDirectionName(item.IoDirection)), FlagText(item.IsEnable),
                          details.dataType ? common::DataTypeText(*details.dataType) : std::string(), order,
                          scale(&common::Scaling::rawLow), scale(&common::Scaling::rawHigh),
                          scale(&common::Scaling::low), scale(&common::Scaling::high), details.units,
                          details.deadband ? NumberText(*details.deadband) : std::string(), FlagText(details.record),
                          std::to_string(item.FirstLabelIndex()), details.description });
    }
    return text;
}

tl::expected<std::vector<ListedItem>, std::string> ReadItemsCsv(std::string_view text, std::int32_t plcType)
{
    const auto fail = [](std::size_t line, const std::string& reason) {
        return tl::make_unexpected("line " + std::to_string(line) + ": " + reason);
    };
    auto records = ParseCsv(text);
    if (!records) {
        return fail(records.error().line, records.error().reason);
    }
    if (records->empty()) {
        return tl::make_unexpected(std::string("the list is empty: not even the header row is there"));
    }
    const CsvRecord& header = records->front();
    const bool headerFits = header.fields.size() == kColumnCount
        && std::equal(kColumnNames.begin(), kColumnNames.end(), header.fields.begin(),
                      [](std::string_view name, const std::string& field) { return SameAscii(name, Trimmed(field)); });
    if (!headerFits) {
        return fail(header.line, "the header row is not " + std::string(kItemsCsvHeader));
    }
    std::vector<ListedItem> items;
    std::vector<std::string> names;
    for (auto record = records->begin() + 1; record != records->end(); ++record) {
        for (const std::string& field : record->fields) {
            if (!IsUtf8(field)) {
                return fail(record->line, "it is not UTF-8 text (save the list as CSV UTF-8)");
            }
        }
        auto listed = ReadLine(record->fields, plcType);
        if (!listed) {
            return fail(record->line, listed.error());
        }
        if (auto clash = common::TagNameClash(listed->item.Details.name, names)) {
            return fail(record->line, *clash);
        }
        if (!listed->item.Details.name.empty()) {
            names.push_back(listed->item.Details.name);
        }
        listed->line = record->line;
        items.push_back(std::move(*listed));
    }
    return items;
}

} // namespace tavrel::storage
