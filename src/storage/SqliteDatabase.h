#pragma once

#include "storage/SqliteStatement.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

#include <tl/expected.hpp>

struct sqlite3;

namespace tavrel::storage {

/// A connection to one SQLite database file; closed when destroyed (an open transaction is rolled
/// back then). Move-only.
class SqliteDatabase
{
public:
    /// What Open does when the file does not exist.
    enum class Missing {
        Fail, ///< fail: the file must be there
        Create ///< create an empty database
    };

    /// Opens the database file at `path` for reading and writing (reading only when the file is
    /// write-protected); fails with SQLite's reason.
    [[nodiscard]] static tl::expected<SqliteDatabase, std::string> Open(const std::filesystem::path& path,
                                                                        Missing missing = Missing::Fail);

    SqliteDatabase() = default;
    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;
    SqliteDatabase(SqliteDatabase&& other) noexcept
        : m_db(std::exchange(other.m_db, nullptr))
    {
    }
    SqliteDatabase& operator=(SqliteDatabase&& other) noexcept;
    ~SqliteDatabase();

    /// Runs SQL text of one or more statements whose rows, if any, are not needed.
    [[nodiscard]] tl::expected<void, std::string> Execute(const std::string& sql);

    /// Compiles one statement; fails with SQLite's message ("no such table: Plcs").
    [[nodiscard]] tl::expected<SqliteStatement, std::string> Prepare(std::string_view sql);

    /// Closes the connection now and says whether that worked; the destructor closes silently.
    [[nodiscard]] tl::expected<void, std::string> Close();

    /// SQLite's primary result code of the last failed call on this connection (SQLITE_NOTADB ...).
    int LastErrorCode() const;

private:
    explicit SqliteDatabase(sqlite3* db)
        : m_db(db)
    {
    }

    sqlite3* m_db = nullptr;
};

} // namespace tavrel::storage
