#include "storage/SqliteDatabase.h"

#include <sqlite3.h>

namespace tavrel::storage {

namespace {

// How long a statement waits for a lock held by another connection before it fails.
constexpr int kBusyTimeoutMs = 2000;

} // namespace

tl::expected<SqliteDatabase, std::string> SqliteDatabase::Open(const std::filesystem::path& path, Missing missing)
{
    int flags = SQLITE_OPEN_READWRITE;
    if (missing == Missing::Create) {
        flags |= SQLITE_OPEN_CREATE;
    }
    sqlite3* db = nullptr;
    const int result = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    // SQLite hands out a connection even when the open fails, to carry the message.
    SqliteDatabase database(db);
    if (result != SQLITE_OK) {
        return tl::make_unexpected(db != nullptr ? std::string(sqlite3_errmsg(db))
                                                 : std::string(sqlite3_errstr(result)));
    }
    sqlite3_extended_result_codes(db, 0);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    return database;
}

SqliteDatabase& SqliteDatabase::operator=(SqliteDatabase&& other) noexcept
{
    if (this != &other) {
        sqlite3_close_v2(m_db);
        m_db = std::exchange(other.m_db, nullptr);
    }
    return *this;
}

SqliteDatabase::~SqliteDatabase()
{
    sqlite3_close_v2(m_db);
}

tl::expected<void, std::string> SqliteDatabase::Execute(const std::string& sql)
{
    char* message = nullptr;
    if (sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message != nullptr ? message : sqlite3_errmsg(m_db);
        sqlite3_free(message);
        return tl::make_unexpected(std::move(text));
    }
    return {};
}

tl::expected<SqliteStatement, std::string> SqliteDatabase::Prepare(std::string_view sql)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(m_db, sql.data(), static_cast<int>(sql.size()), &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        return tl::make_unexpected(std::string(sqlite3_errmsg(m_db)));
    }
    return SqliteStatement(statement);
}

tl::expected<void, std::string> SqliteDatabase::Close()
{
    if (m_db == nullptr) {
        return {};
    }
    // sqlite3_close (not _v2) refuses while statements are alive, so nothing is left half-closed.
    if (sqlite3_close(m_db) != SQLITE_OK) {
        return tl::make_unexpected("cannot close the database: " + std::string(sqlite3_errmsg(m_db)));
    }
    m_db = nullptr;
    return {};
}

int SqliteDatabase::LastErrorCode() const
{
    return sqlite3_errcode(m_db);
}

} // namespace tavrel::storage
