#include "DbTestSupport.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sqlite3.h>

#include "testlib/TestSupport.h"
#include "vantrel.h"

namespace dbtest {

Rows Query(std::string const& database, std::string const& sql)
{
    Rows rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        rows.push_back({"error: " + std::string(db ? sqlite3_errmsg(db) : "cannot open")});
        sqlite3_close(db);
        return rows;
    }
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        rows.push_back({"error: " + std::string(sqlite3_errmsg(db))});
    } else {
        while (sqlite3_step(statement) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int c = 0; c < sqlite3_column_count(statement); ++c) {
                const unsigned char* text = sqlite3_column_text(statement, c);
                row.push_back(text ? reinterpret_cast<char const*>(text) : "NULL");
            }
            rows.push_back(row);
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

std::string Scalar(std::string const& database, std::string const& sql)
{
    Rows rows = Query(database, sql);
    return rows.empty() || rows[0].empty() ? std::string() : rows[0][0];
}

std::vector<double> Column(std::string const& database, std::string const& sql)
{
    std::vector<double> values;
    sqlite3* db = nullptr;
    sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK)
        while (sqlite3_step(statement) == SQLITE_ROW)
            values.push_back(sqlite3_column_type(statement, 0) == SQLITE_NULL ? NAN
                                                                              : sqlite3_column_double(statement, 0));
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return values;
}

namespace {

// The result of one build call with what it printed.
template <typename Call>
BuildResult Captured(Call call)
{
    BuildResult build;
    testlib::StdoutCapture capture;
    build.result = call();
    build.output = capture.text();
    return build;
}

}  // namespace

BuildResult Build(char const* mdf, char const* db)
{
    return Captured([&] { return CreateDatabase(mdf, db); });
}

BuildResult BuildSelection(char const* mdf, char const* selection, char const* db)
{
    return Captured([&] { return CreateDatabaseForSignals(mdf, selection, db); });
}

BuildResult BuildW(wchar_t const* mdf, wchar_t const* db)
{
    return Captured([&] { return CreateDatabaseW(mdf, db); });
}

std::string PythonStatisticsDifferences(std::string const& database)
{
    testlib::CommandResult run =
        testlib::run(testlib::python() + " " + testlib::shellQuote(testlib::sourcePath("tests/dbbuild/db_checks.py")) +
                     " stats " + testlib::shellQuote(database));
    return run.exitCode == 0 && run.output.find("0 statistics differences") != std::string::npos ? std::string()
                                                                                                 : run.output + "!";
}

std::vector<std::string> FilesIn(std::string const& folder)
{
    std::vector<std::string> names;
    for (auto const& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace dbtest
