#include "DbTestSupport.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sqlite3.h>

#include "MdfBuilder.h"
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

void WriteStrayRecordFile(std::string const& path)
{
    using mdftest::LEF64;
    mdftest::MdfBuilder b(true);
    uint64_t hd = b.Hd4(0, 1167609600ULL * 1000000000ULL);  // start 0
    auto group = [&](char const* name, uint64_t id, uint64_t cycles) {
        uint64_t time = b.Cn4(b.Tx4("t"), 2, 1, 4, 0, 0, 64);
        uint64_t value = b.Cn4(b.Tx4(name), 0, 0, 0, 0, 8, 8);
        b.Link4(time, 0, value);
        return b.Cg4(time, id, cycles, 9);
    };
    uint64_t a = group("a", 1, 3);
    uint64_t c = group("c", 2, 1);
    b.Link4(a, 0, c);
    std::vector<uint8_t> data;
    auto record = [&](uint8_t id, double t, uint8_t v) {
        data.push_back(id);
        std::vector<uint8_t> time = LEF64(t);
        data.insert(data.end(), time.begin(), time.end());
        data.push_back(v);
    };
    record(1, 0.0, 10);
    record(2, 0.5, 20);
    record(9, 0.7, 30);  // no group has record id 9
    record(1, 1.0, 11);
    b.Link4(hd, 0, b.Dg4(a, b.Dt4(data), 1));
    b.Save(path);
}

}  // namespace dbtest
