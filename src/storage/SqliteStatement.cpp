#include "storage/SqliteStatement.h"

#include <sqlite3.h>

namespace tavrel::storage {

namespace {

std::string MessageOf(sqlite3_stmt* statement)
{
    return sqlite3_errmsg(sqlite3_db_handle(statement));
}

} // namespace

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept
{
    if (this != &other) {
        sqlite3_finalize(m_statement);
        m_statement = std::exchange(other.m_statement, nullptr);
    }
    return *this;
}

SqliteStatement::~SqliteStatement()
{
    sqlite3_finalize(m_statement);
}

tl::expected<void, std::string> SqliteStatement::Bind(int index, std::int64_t value)
{
    if (sqlite3_bind_int64(m_statement, index, value) != SQLITE_OK) {
        return tl::make_unexpected(MessageOf(m_statement));
    }
    return {};
}

tl::expected<void, std::string> SqliteStatement::Bind(int index, std::optional<std::int64_t> value)
{
    if (value) {
        return Bind(index, *value);
    }
    if (sqlite3_bind_null(m_statement, index) != SQLITE_OK) {
        return tl::make_unexpected(MessageOf(m_statement));
    }
    return {};
}

tl::expected<void, std::string> SqliteStatement::Bind(int index, std::string_view text)
{
    // SQLITE_TRANSIENT spelt without its C cast: SQLite copies the text before the call returns.
    const auto transient = reinterpret_cast<sqlite3_destructor_type>(static_cast<std::intptr_t>(-1));
    if (sqlite3_bind_text64(m_statement, index, text.data(), text.size(), transient, SQLITE_UTF8) != SQLITE_OK) {
        return tl::make_unexpected(MessageOf(m_statement));
    }
    return {};
}

tl::expected<void, std::string> SqliteStatement::Bind(int index, std::optional<std::string_view> text)
{
    if (text) {
        return Bind(index, *text);
    }
    if (sqlite3_bind_null(m_statement, index) != SQLITE_OK) {
        return tl::make_unexpected(MessageOf(m_statement));
    }
    return {};
}

tl::expected<void, std::string> SqliteStatement::Bind(int index, std::optional<double> value)
{
    const int result = value ? sqlite3_bind_double(m_statement, index, *value) : sqlite3_bind_null(m_statement, index);
    if (result != SQLITE_OK) {
        return tl::make_unexpected(MessageOf(m_statement));
    }
    return {};
}

tl::expected<bool, std::string> SqliteStatement::Step()
{
    switch (sqlite3_step(m_statement)) {
    case SQLITE_ROW:
        return true;
    case SQLITE_DONE:
        return false;
    default:
        return tl::make_unexpected(MessageOf(m_statement));
    }
}

void SqliteStatement::Reset()
{
    // The result repeats the error of the last step, which Step has already reported.
    (void)sqlite3_reset(m_statement);
}

int SqliteStatement::ColumnType(int column) const
{
    return sqlite3_column_type(m_statement, column);
}

std::int64_t SqliteStatement::ColumnInt64(int column) const
{
    return sqlite3_column_int64(m_statement, column);
}

double SqliteStatement::ColumnDouble(int column) const
{
    return sqlite3_column_double(m_statement, column);
}

std::string SqliteStatement::ColumnText(int column) const
{
    const unsigned char* text = sqlite3_column_text(m_statement, column);
    if (text == nullptr) {
        return {};
    }
    const int size = sqlite3_column_bytes(m_statement, column);
    return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}

} // namespace tavrel::storage
