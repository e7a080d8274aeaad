// Build tool: makes the empty template project database from its schema.
//   tavrel-make-template SCHEMA.sql OUTPUT.tvb
// The output is written under a temporary name and renamed into place when complete, so an
// interrupted build never leaves a half-made template behind.

#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace {

int Fail(const std::string& message)
{
    std::fprintf(stderr, "tavrel-make-template: %s\n", message.c_str());
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        return Fail("usage: tavrel-make-template SCHEMA.sql OUTPUT.tvb");
    }
    const std::filesystem::path schemaPath = argv[1];
    const std::filesystem::path outputPath = argv[2];

    std::ifstream schemaFile(schemaPath, std::ios::binary);
    if (!schemaFile) {
        return Fail("cannot read schema " + schemaPath.string());
    }
    std::ostringstream schema;
    schema << schemaFile.rdbuf();

    std::error_code error;
    if (outputPath.has_parent_path()) {
        std::filesystem::create_directories(outputPath.parent_path(), error);
        if (error) {
            return Fail("cannot make folder " + outputPath.parent_path().string() + ": " + error.message());
        }
    }
    std::filesystem::path partialPath = outputPath;
    partialPath += ".partial";
    std::filesystem::remove(partialPath, error);

    sqlite3* db = nullptr;
    int result = sqlite3_open_v2(partialPath.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::string problem;
    if (result != SQLITE_OK) {
        problem = "cannot create " + partialPath.string() + ": " + sqlite3_errmsg(db);
    } else {
        char* message = nullptr;
        if (sqlite3_exec(db, schema.str().c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
            problem
                = "schema " + schemaPath.string() + " fails: " + (message != nullptr ? message : sqlite3_errmsg(db));
        }
        sqlite3_free(message);
    }
    if (sqlite3_close(db) != SQLITE_OK && problem.empty()) {
        problem = "cannot close " + partialPath.string();
    }
    if (!problem.empty()) {
        std::filesystem::remove(partialPath, error);
        return Fail(problem);
    }
    std::filesystem::rename(partialPath, outputPath, error);
    if (error) {
        return Fail("cannot rename " + partialPath.string() + " to " + outputPath.string() + ": " + error.message());
    }
    return 0;
}
