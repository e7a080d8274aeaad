#pragma once

#include "storage/SqliteDatabase.h"

#include <string>

#include <tl/expected.hpp>

namespace tavrel::storage {

/// A transaction on an open database that is rolled back when it goes out of scope without Commit.
class SqliteTransaction
{
public:
    /// A transaction not yet begun on `db`, which must outlive it.
    explicit SqliteTransaction(SqliteDatabase& db)
        : m_db(db)
    {
    }
    SqliteTransaction(const SqliteTransaction&) = delete;
    SqliteTransaction& operator=(const SqliteTransaction&) = delete;
    ~SqliteTransaction();

    /// Begins the transaction; fails with SQLite's message.
    [[nodiscard]] tl::expected<void, std::string> Begin();

    /// Commits the transaction; when that fails it stays open and is rolled back at the end of the scope.
    [[nodiscard]] tl::expected<void, std::string> Commit();

private:
    SqliteDatabase& m_db;
    bool m_open = false;
};

} // namespace tavrel::storage
