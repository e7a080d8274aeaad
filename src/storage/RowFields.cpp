#include "storage/RowFields.h"

#include <sqlite3.h>

namespace tavrel::storage {

void RowFields::Flag(int column, std::string_view name, bool& field)
{
    if (auto value = WholeValue(column, name, std::numeric_limits<std::int64_t>::min(),
                                std::numeric_limits<std::int64_t>::max())) {
        field = *value != 0;
    }
}

void RowFields::Real(int column, std::string_view name, std::optional<double>& field)
{
    const int type = m_row.ColumnType(column);
    if (type == SQLITE_NULL) {
        field.reset();
    } else if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) {
        field = m_row.ColumnDouble(column);
    } else {
        Report(std::string(name) + " \"" + m_row.ColumnText(column) + "\" is not a number");
    }
}

void RowFields::Report(std::string problem)
{
    if (!m_problem) {
        m_problem = std::move(problem);
    }
}

std::optional<std::int64_t> RowFields::WholeValue(int column, std::string_view name, std::int64_t minimum,
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

} // namespace tavrel::storage
