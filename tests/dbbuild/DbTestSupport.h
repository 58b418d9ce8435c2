// Helpers of the builder's tests: reading a built database with SQLite's own
// C interface (independent of the library's SQL layer), running a build with
// its diagnostics captured, and the statistics check in python.
#pragma once

#include <string>
#include <vector>

namespace dbtest {

using Rows = std::vector<std::vector<std::string>>;

// Every row of the query, each column as text ("NULL" for NULL); a failing
// query gives one row holding "error: " and SQLite's message.
Rows Query(std::string const& database, std::string const& sql);
// The first column of the first row ("" when there is none).
std::string Scalar(std::string const& database, std::string const& sql);
// The column as doubles, in row order (NULL as NaN).
std::vector<double> Column(std::string const& database, std::string const& sql);

struct BuildResult {
    int result = -1;
    std::string output;  // what the build wrote to standard output
};
// CreateDatabase / CreateDatabaseForSignals through the exported C functions;
// a null text is passed as null.
BuildResult Build(char const* mdf, char const* db);
BuildResult BuildSelection(char const* mdf, char const* selection, char const* db);
BuildResult BuildW(wchar_t const* mdf, wchar_t const* db);

// Runs db_checks.py: every Channels statistic against python's; empty when
// they agree, else python's report.
std::string PythonStatisticsDifferences(std::string const& database);

// An MDF 4 file (start time 0) of one data group with two channel groups of
// a time channel and an 8-bit value ("a" with record id 1 and 3 records, "c"
// with id 2 and 1 record), whose third record carries the unknown id 9: of
// group "a" only the first record (t 0.0, a 10) can be read.
void WriteStrayRecordFile(std::string const& path);

// The files in a folder, sorted.
std::vector<std::string> FilesIn(std::string const& folder);

}  // namespace dbtest
