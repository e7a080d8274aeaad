#include "StorageTestSupport.h"

#include "storage/ProjectDatabase.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace tavrel::test {

std::string ReadBytes(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

void WriteBytes(const std::filesystem::path& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
}

std::filesystem::path BuiltTemplate()
{
    auto path = storage::DefaultTemplatePath();
    if (!path) {
        throw std::runtime_error(path.error());
    }
    return *path;
}

void MakeDatabase(const std::filesystem::path& path, const std::string& sql)
{
    auto db = storage::SqliteDatabase::Open(path, storage::SqliteDatabase::Missing::Create);
    if (!db) {
        throw std::runtime_error(db.error());
    }
    if (auto done = db->Execute(sql); !done) {
        throw std::runtime_error(done.error() + " in: " + sql);
    }
}

void RunSql(const std::filesystem::path& path, const std::string& sql)
{
    auto db = storage::SqliteDatabase::Open(path);
    if (!db) {
        throw std::runtime_error(db.error());
    }
    if (auto done = db->Execute(sql); !done) {
        throw std::runtime_error(done.error() + " in: " + sql);
    }
}

std::vector<std::string> QueryRows(const std::filesystem::path& path, const std::string& sql)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        const std::string message = sqlite3_errmsg(db);
        sqlite3_close(db);
        throw std::runtime_error(message + " in: " + sql);
    }
    std::vector<std::string> rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        std::string row;
        for (int column = 0; column < sqlite3_column_count(statement); ++column) {
            if (column > 0) {
                row += ",";
            }
            switch (sqlite3_column_type(statement, column)) {
            case SQLITE_NULL:
                row += "NULL";
                break;
            case SQLITE_TEXT:
                row += "'" + std::string(reinterpret_cast<const char*>(sqlite3_column_text(statement, column))) + "'";
                break;
            default:
                row += reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
            }
        }
        rows.push_back(row);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

std::vector<std::string> FileNames(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void MakeProjectFile(const std::filesystem::path& path, const std::string& sql)
{
    std::filesystem::copy_file(BuiltTemplate(), path);
    RunSql(path, sql);
}

model::clsPlc& AddPlc(model::clsConfig& project, const std::string& name, const model::CommParams& params,
                      const std::vector<NewItem>& items)
{
    auto plc = project.NewPlc();
    plc->Name = name;
    plc->SetCommParams(params);
    for (const NewItem& item : items) {
        std::int32_t label = item.label;
        auto added = plc->AddItems(item.count, item.address, item.type, item.direction, item.enabled, label);
        EXPECT_TRUE(added) << added.error();
    }
    return project.AddPLC(std::move(plc));
}

std::unique_ptr<model::clsConfig> LoadProject(const std::filesystem::path& path, model::LabelArray& labels)
{
    auto loaded = storage::LoadFromDB(path, labels);
    if (!loaded) {
        ADD_FAILURE() << loaded.error();
        return nullptr;
    }
    return std::move(*loaded);
}

} // namespace tavrel::test
