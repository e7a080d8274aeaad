#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <tl/expected.hpp>

namespace tavrel::storage {

// Comma-separated values as RFC 4180 has them, which is what spreadsheets read and write: fields separated by
// commas, records by CRLF (LF alone is read too); a field holding a comma, a double quote or a line break is
// enclosed in double quotes, a double quote inside it doubled.

/// One record of a CSV text, with the line it begins on (the first line is 1).
struct CsvRecord
{
    std::size_t line = 0;
    std::vector<std::string> fields;
};

/// Why a CSV text cannot be read, and on which line.
struct CsvError
{
    std::size_t line = 0;
    std::string reason;
};

/// The records of a CSV text. A UTF-8 byte order mark at the start is skipped, and so are empty lines. Fails on a
/// double quote inside an unquoted field, anything but a comma or a line end after a closing quote, and a quoted
/// field that is not closed before the end.
tl::expected<std::vector<CsvRecord>, CsvError> ParseCsv(std::string_view text);

/// The field as a record holds it: in double quotes when it contains a comma, a double quote, a line break or
/// blanks at either end, else as it is.
std::string CsvField(std::string_view text);

/// A record of fields, each as CsvField writes it, ended by CRLF.
std::string CsvLine(const std::vector<std::string>& fields);

} // namespace tavrel::storage
