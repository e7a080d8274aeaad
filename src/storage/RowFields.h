#pragma once

#include "storage/SqliteStatement.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace tavrel::storage {

/// Reads the columns of the current row of a statement into fields, checking each value; keeps the
/// first problem found ("NumRetries 40000 is outside -32768 to 32767"), naming the column.
class RowFields
{
public:
    /// Reads from the current row of `row`, which must outlive this object.
    explicit RowFields(const SqliteStatement& row)
        : m_row(row)
    {
    }

    /// A whole number within `minimum` to `maximum` (by default the range of the field's type); the
    /// field is left as it was when the value is empty, not whole or out of range.
    template<typename Field>
    requires std::is_integral_v<Field>
    void Whole(int column, std::string_view name, Field& field,
               std::int64_t minimum = std::numeric_limits<Field>::min(),
               std::int64_t maximum = std::numeric_limits<Field>::max())
    {
        if (auto value = WholeValue(column, name, minimum, maximum)) {
            field = static_cast<Field>(*value);
        }
    }

    /// An enumeration stored as its number: any number its underlying type holds reads, named or not.
    template<typename Field>
    requires std::is_enum_v<Field>
    void Whole(int column, std::string_view name, Field& field)
    {
        using Number = std::underlying_type_t<Field>;
        if (auto value
            = WholeValue(column, name, std::numeric_limits<Number>::min(), std::numeric_limits<Number>::max())) {
            field = static_cast<Field>(*value);
        }
    }

    /// A real number, or nothing for NULL; a text is a problem.
    void Real(int column, std::string_view name, std::optional<double>& field);

    /// A Boolean: any whole number, true when it is not 0.
    void Flag(int column, std::string_view name, bool& field);

    /// The column as text; empty for NULL.
    void Text(int column, std::string& field) { field = m_row.ColumnText(column); }

    /// Records a problem found by a check of the caller, unless one was found before.
    void Report(std::string problem);

    /// The first problem found, if any.
    const std::optional<std::string>& Problem() const { return m_problem; }

private:
    std::optional<std::int64_t> WholeValue(int column, std::string_view name, std::int64_t minimum,
                                           std::int64_t maximum);

    const SqliteStatement& m_row;
    std::optional<std::string> m_problem;
};

} // namespace tavrel::storage
