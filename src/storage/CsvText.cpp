#include "storage/CsvText.h"

namespace tavrel::storage {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

} // namespace

tl::expected<std::vector<CsvRecord>, CsvError> ParseCsv(std::string_view text)
{
    if (text.starts_with(kByteOrderMark)) {
        text.remove_prefix(kByteOrderMark.size());
    }
    std::vector<CsvRecord> records;
    CsvRecord record;
    std::string field;
    std::size_t line = 1;
    std::size_t quoteLine = 0; // where the open quoted field began
    bool quoted = false; // inside a quoted field
    bool closed = false; // after the closing quote of a field
    bool fieldStarted = false; // the current record has a field begun (an empty line has none)
    const auto endField = [&] {
        record.fields.push_back(std::move(field));
        field.clear();
        closed = false;
    };
    const auto endRecord = [&] {
        if (fieldStarted || !record.fields.empty()) {
            endField();
            records.push_back(std::move(record));
        }
        record = CsvRecord {};
        fieldStarted = false;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (record.fields.empty() && !fieldStarted) {
            record.line = line;
        }
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field.push_back('"');
                ++i;
            } else if (c == '"') {
                quoted = false;
                closed = true;
            } else {
                line += c == '\n' ? 1 : 0;
                field.push_back(c);
            }
            continue;
        }
        if (c == ',') {
            endField();
            fieldStarted = true;
        } else if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            i += c == '\r' ? 1 : 0;
            endRecord();
            ++line;
        } else if (closed) {
            return tl::make_unexpected(CsvError { line, "after a quoted field comes a comma or the end of the line" });
        } else if (c == '"') {
            if (!field.empty()) {
                return tl::make_unexpected(
                    CsvError { line, "a double quote inside an unquoted field (enclose the field in double quotes)" });
            }
            quoted = true;
            quoteLine = line;
            fieldStarted = true;
        } else {
            field.push_back(c);
            fieldStarted = true;
        }
    }
    if (quoted) {
        return tl::make_unexpected(CsvError { quoteLine, "a quoted field is not closed" });
    }
    endRecord();
    return records;
}

std::string CsvField(std::string_view text)
{
    const bool quote = text.find_first_of(",\"\r\n") != std::string_view::npos
        || (!text.empty() && (IsBlank(text.front()) || IsBlank(text.back())));
    if (!quote) {
        return std::string(text);
    }
    std::string field = "\"";
    for (const char c : text) {
        field += c == '"' ? "\"\"" : std::string(1, c);
    }
    return field + '"';
}

std::string CsvLine(const std::vector<std::string>& fields)
{
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        line += (i == 0 ? "" : ",") + CsvField(fields[i]);
    }
    return line + "\r\n";
}

} // namespace tavrel::storage
