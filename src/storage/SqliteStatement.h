#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <tl/expected.hpp>

struct sqlite3_stmt;

namespace tavrel::storage {

/// One compiled SQL statement of an open database; finalized when destroyed. Move-only.
class SqliteStatement
{
public:
    SqliteStatement() = default;
    /// Takes ownership of a statement compiled by SqliteDatabase::Prepare.
    explicit SqliteStatement(sqlite3_stmt* statement)
        : m_statement(statement)
    {
    }
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;
    SqliteStatement(SqliteStatement&& other) noexcept
        : m_statement(std::exchange(other.m_statement, nullptr))
    {
    }
    SqliteStatement& operator=(SqliteStatement&& other) noexcept;
    ~SqliteStatement();

    /// Binds a whole number to parameter `index` (counted from 1); fails with SQLite's message.
    [[nodiscard]] tl::expected<void, std::string> Bind(int index, std::int64_t value);

    /// Binds a whole number, or NULL for nothing, to parameter `index` (counted from 1); fails with SQLite's message.
    [[nodiscard]] tl::expected<void, std::string> Bind(int index, std::optional<std::int64_t> value);

    /// Binds a copy of `text` to parameter `index` (counted from 1); fails with SQLite's message.
    [[nodiscard]] tl::expected<void, std::string> Bind(int index, std::string_view text);

    /// Binds a copy of a text, or NULL for nothing, to parameter `index` (counted from 1).
    [[nodiscard]] tl::expected<void, std::string> Bind(int index, std::optional<std::string_view> text);

    /// Binds a real number, or NULL for nothing, to parameter `index` (counted from 1).
    [[nodiscard]] tl::expected<void, std::string> Bind(int index, std::optional<double> value);

    /// Runs the statement to its next row: true with a row to read, false when it is done.
    [[nodiscard]] tl::expected<bool, std::string> Step();

    /// Makes the statement ready to run again with the same bindings.
    void Reset();

    /// The SQLite storage class of a column of the current row (SQLITE_INTEGER, SQLITE_NULL ...).
    int ColumnType(int column) const;
    std::int64_t ColumnInt64(int column) const;
    double ColumnDouble(int column) const;
    /// The column as text; empty for NULL.
    std::string ColumnText(int column) const;

private:
    sqlite3_stmt* m_statement = nullptr;
};

} // namespace tavrel::storage
