// Stepping through a measurement database with the record access functions
// against the natural limit: a bare SELECT of the same columns over the same
// tables. Opening a database for 1,000 channels against 20,000 Channels
// rows, next to one scan of Channels. And jumps on one table of 5 double
// channels (the total rows) against the jumps by the range queries alone,
// measured in the same run.
//
// bench_access_step [total rows, default 10000000; 0: opening only] [folder, default /tmp] [jumps: those only]
// The databases are generated with plain SQL into a folder of their own and
// removed afterwards.
#include <sqlite3.h>

#include <cfloat>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "access/ChannelInfo.h"
#include "access/FileInfo.h"
#include "support/LibUtils.h"
#include "vantrel.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since)
{
    return std::chrono::duration<double>(Clock::now() - since).count();
}

void exec(sqlite3* db, std::string const& sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", sql.substr(0, 120).c_str(), error ? error : "");
        std::exit(1);
    }
}

std::string tableName(int message)
{
    char name[32];
    std::snprintf(name, sizeof name, "MessageData%04d", message);
    return name;
}

void createSchema(sqlite3* db)
{
    exec(db,
         "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
         "CREATE TABLE Messages (ID INTEGER PRIMARY KEY, Name TEXT, ArbId TEXT, SignalCount INTEGER, DataTableName "
         "TEXT, Network TEXT, MinTime DOUBLE, MaxTime DOUBLE, MinDelta DOUBLE, MaxDelta DOUBLE, MessageCount INTEGER, "
         "Rate DOUBLE, MessageChanges INTEGER, DataBytes INTEGER);"
         "CREATE TABLE Channels (ID INTEGER PRIMARY KEY, MessageId INTEGER, MessageChannel INTEGER, Name TEXT, "
         "SignalType TEXT, MinVal DOUBLE, MaxVal DOUBLE, AvgVal DOUBLE, Median DOUBLE, StdDev DOUBLE, Network TEXT, "
         "Units TEXT, DAQRate TEXT, Decimals INTEGER, NumChanges INTEGER, Formula TEXT, Slope DOUBLE, Offset DOUBLE, "
         "DataType INTEGER, StartByte INTEGER, BitLength INTEGER, StartBit INTEGER, BigEndian INTEGER, MUXValue "
         "INTEGER, Sequence INTEGER, CollectionMask INTEGER);"
         "CREATE TABLE Network_Statistics (Network TEXT, TotalMessages INTEGER, MatchedMessages INTEGER, "
         "UnmatchedMessages INTEGER, ErrorMessages INTEGER, LongMessageParts INTEGER, MinTime DOUBLE, MaxTime DOUBLE, "
         "Rate DOUBLE);");
}

// tables messages of signalsPerTable signals; message m's row i lies at time
// i * tables + m, so the messages interleave and every step moves one table.
// Every signal is named S<message>_<k>; odd ones are INTEGER, unless all are
// doubles.
void generate(std::string const& path, int tables, int signalsPerTable, long long rowsPerTable,
              bool doublesOnly = false)
{
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    createSchema(db);
    exec(db, "BEGIN");
    int channelId = 1;
    for (int m = 1; m <= tables; ++m) {
        std::string create = "CREATE TABLE " + tableName(m) + " (TIME_VAL DOUBLE ";
        std::string insert = "INSERT INTO " + tableName(m) + " VALUES (?";
        for (int k = 1; k <= signalsPerTable; ++k) {
            create += ", Signal" + std::to_string(k) + (k % 2 && !doublesOnly ? " INTEGER" : " DOUBLE");
            insert += ", ?";
        }
        exec(db, create + ")");
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, (insert + ")").c_str(), -1, &stmt, nullptr);
        for (long long i = 0; i < rowsPerTable; ++i) {
            sqlite3_bind_double(stmt, 1, static_cast<double>(i * tables + m));
            for (int k = 1; k <= signalsPerTable; ++k) {
                if (k % 2 && !doublesOnly)
                    sqlite3_bind_int64(stmt, k + 1, (i + k) % 1000);
                else
                    sqlite3_bind_double(stmt, k + 1, (i % 977) * 0.25 + k);
            }
            sqlite3_step(stmt);
            sqlite3_reset(stmt);
        }
        sqlite3_finalize(stmt);
        char row[512];
        std::snprintf(row, sizeof row,
                      "INSERT INTO Messages VALUES (%d, 'M%d', '', %d, '%s', 'HS CAN', %d, %lld, 0, 0, %lld, 0, 0, 8)",
                      m, m, signalsPerTable, tableName(m).c_str(), m, (rowsPerTable - 1) * tables + m, rowsPerTable);
        exec(db, row);
        for (int k = 1; k <= signalsPerTable; ++k, ++channelId) {
            std::snprintf(row, sizeof row,
                          "INSERT INTO Channels VALUES (%d, %d, %d, 'S%d_%d', '%s', 0, 0, 0, 0, 0, 'HS CAN', '', '', "
                          "-1, 0, '', 0.5, 1.0, 0, 0, 32, 0, 1, -1, %d, 1)",
                          channelId, m, k, m, k, k % 2 && !doublesOnly ? "RawValue" : "Double", channelId);
            exec(db, row);
        }
    }
    exec(db, "INSERT INTO Network_Statistics VALUES ('HS CAN', 0, 0, 0, 0, 0, 1, 0, 0); COMMIT");
    sqlite3_close(db);
}

std::string channelList(int tables, int signalsPerTable)
{
    std::string json = "{\"Channels\": [";
    for (int m = 1; m <= tables; ++m)
        for (int k = 1; k <= signalsPerTable; ++k)
            json += std::string(m == 1 && k == 1 ? "" : ", ") + "{\"name\": \"S" + std::to_string(m) + "_" +
                    std::to_string(k) + "\"}";
    return json + "]}";
}

// The statement reading every column of a record table.
sqlite3_stmt* prepareTableScan(sqlite3* db, int message, int signalsPerTable)
{
    std::string sql = "SELECT TIME_VAL";
    for (int k = 1; k <= signalsPerTable; ++k)
        sql += ", Signal" + std::to_string(k);
    sql += " FROM " + tableName(message);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr);
    return stmt;
}

// Reads the current row's columns the way the library does (type, then
// value) into the sum that keeps the reads from being optimised away.
void addRow(sqlite3_stmt* stmt, int signalsPerTable, double& sum)
{
    sum += sqlite3_column_double(stmt, 0);
    for (int k = 1; k <= signalsPerTable; ++k)
        if (sqlite3_column_type(stmt, k) != SQLITE_NULL)
            sum += sqlite3_column_double(stmt, k);
}

// The natural limit: every row of every table, the same columns, read the
// same way, on a connection opened like the library's.
double bareLoop(std::string const& path, int tables, int signalsPerTable, long long& rows)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    double sum = 0;
    rows = 0;
    for (int m = 1; m <= tables; ++m) {
        sqlite3_stmt* stmt = prepareTableScan(db, m, signalsPerTable);
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            addRow(stmt, signalsPerTable, sum);
            ++rows;
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return sum;
}

// The same reads with every table's statement open at once and the tables
// taken in turn, the order the merge visits them in these databases: what
// keeping many cursors open costs SQLite, apart from any merging.
double interleavedLoop(std::string const& path, int tables, int signalsPerTable, long long& rows)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    std::vector<sqlite3_stmt*> statements;
    for (int m = 1; m <= tables; ++m)
        statements.push_back(prepareTableScan(db, m, signalsPerTable));
    double sum = 0;
    rows = 0;
    for (bool any = true; any;) {
        any = false;
        for (sqlite3_stmt* stmt : statements) {
            if (sqlite3_step(stmt) != SQLITE_ROW)
                continue;
            any = true;
            addRow(stmt, signalsPerTable, sum);
            ++rows;
        }
    }
    for (sqlite3_stmt* stmt : statements)
        sqlite3_finalize(stmt);
    sqlite3_close(db);
    return sum;
}

void benchStepping(std::string const& folder, long long totalRows, int tables, int listed)
{
    int signalsPerTable = listed / tables;
    long long rowsPerTable = totalRows / tables;
    std::string path = folder + "/step_" + std::to_string(tables) + ".db";
    auto made = Clock::now();
    generate(path, tables, signalsPerTable, rowsPerTable);
    double generation = seconds(made);
    std::string list = channelList(tables, signalsPerTable);

    // Bare loop first, then the library, then the bare loop again: both see a
    // warm page cache.
    long long bareRows = 0;
    bareLoop(path, tables, signalsPerTable, bareRows);
    auto bareStart = Clock::now();
    double checksum = bareLoop(path, tables, signalsPerTable, bareRows);
    double bare = seconds(bareStart);

    double* values = nullptr;
    double* times = nullptr;
    int count = 0;
    auto libraryStart = Clock::now();
    OpenDataFile(path.c_str(), list.c_str(), &values, &times, &count);
    if (!values) {
        std::fprintf(stderr, "OpenDataFile failed for %s\n", path.c_str());
        std::exit(1);
    }
    long long records = 1;  // the open delivers the first one
    double libraryChecksum = 0;
    while (GetNextRecord(values, 0) != DBL_MAX) {
        ++records;
        libraryChecksum += values[0];
    }
    CloseDataFile(values, 0);
    double library = seconds(libraryStart);

    long long interleavedRows = 0;
    auto interleavedStart = Clock::now();
    checksum += interleavedLoop(path, tables, signalsPerTable, interleavedRows);
    double interleaved = seconds(interleavedStart);

    double nsLibrary = library * 1e9 / static_cast<double>(records);
    double nsBare = bare * 1e9 / static_cast<double>(bareRows);
    double nsInterleaved = interleaved * 1e9 / static_cast<double>(interleavedRows);
    std::printf("%5d tables %5d channels %10lld rows (generated in %5.1f s): library %6.1f ns/record, bare SELECT "
                "%6.1f ns/row, ratio %.2f; bare SELECT with all tables open in turn %6.1f ns/row, ratio %.2f  [%d%d]\n",
                tables, listed, records, generation, nsLibrary, nsBare, nsLibrary / nsBare, nsInterleaved,
                nsLibrary / nsInterleaved, checksum > 0, libraryChecksum > 0);
    std::fflush(stdout);
    std::filesystem::remove(path);
}

void benchOpening(std::string const& folder)
{
    // 40 messages of 500 signals: 20,000 Channels rows; 1,000 of them listed.
    std::string path = folder + "/open.db";
    generate(path, 40, 500, 10);
    std::string list = "{\"Channels\": [";
    for (int i = 0; i < 1000; ++i)
        list += std::string(i ? ", " : "") + "{\"name\": \"S" + std::to_string(1 + (i * 37) % 40) + "_" +
                std::to_string(1 + (i * 7919) % 500) + "\"}";
    list += "]}";

    int const rounds = 20;
    auto openStart = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        double* values = nullptr;
        double* times = nullptr;
        int count = 0;
        OpenDataFile(path.c_str(), list.c_str(), &values, &times, &count);
        if (!values || count != 1000) {
            std::fprintf(stderr, "OpenDataFile failed\n");
            std::exit(1);
        }
        CloseDataFile(values, 0);
    }
    double open = seconds(openStart) / rounds;

    // Resolution alone: the list read, then the one pass over Channels.
    std::vector<CChannelInfo> channels;
    ReadChannelsFromJson(widestring(list).c_str(), channels);
    std::wstring widePath = widestring(path);
    auto resolveStart = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        FileInfo file;
        file.channels = channels;
        if (file.LoadDbChannels(widePath.c_str()) != 1000) {
            std::fprintf(stderr, "LoadDbChannels failed\n");
            std::exit(1);
        }
    }
    double resolve = seconds(resolveStart) / rounds;

    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    char const* scanSql =
        "SELECT Messages.Network, Messages.Name, Channels.ID, Channels.Name, Units, ArbId, MessageCount, SignalType, "
        "DAQRate, Decimals, MessageId, MessageChannel, BitLength, Slope, Offset, MinTime, MaxTime, MinVal, MaxVal FROM "
        "Channels, Messages WHERE MessageId = Messages.ID";
    size_t bytes = 0;
    auto scanStart = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, scanSql, -1, &stmt, nullptr);
        // Texts as texts, numbers as numbers, as resolution reads them.
        while (sqlite3_step(stmt) == SQLITE_ROW)
            for (int c = 0; c < 19; ++c) {
                if (c <= 1 || c == 3 || c == 4 || c == 5 || c == 7 || c == 8) {
                    unsigned char const* text = sqlite3_column_text(stmt, c);
                    bytes += text ? std::strlen(reinterpret_cast<char const*>(text)) : 0;
                } else {
                    bytes += sqlite3_column_double(stmt, c) != 0;
                }
            }
        sqlite3_finalize(stmt);
    }
    double scan = seconds(scanStart) / rounds;

    // What a query per listed channel would cost (the Channels table has no
    // index on Name): 1,000 scans.
    sqlite3_stmt* byName = nullptr;
    sqlite3_prepare_v2(db, (std::string(scanSql) + " AND Channels.Name = ?").c_str(), -1, &byName, nullptr);
    auto perNameStart = Clock::now();
    for (int i = 0; i < 1000; ++i) {
        std::string name = "S" + std::to_string(1 + (i * 37) % 40) + "_" + std::to_string(1 + (i * 7919) % 500);
        sqlite3_bind_text(byName, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        while (sqlite3_step(byName) == SQLITE_ROW)
            bytes += static_cast<size_t>(sqlite3_column_bytes(byName, 3));
        sqlite3_reset(byName);
    }
    double perName = seconds(perNameStart);
    sqlite3_finalize(byName);
    sqlite3_close(db);
    std::printf("OpenDataFile, 1000 channels of 20000 Channels rows: %.2f ms (list, resolution, cursors at the "
                "start, close); resolution alone (LoadDbChannels) %.2f ms; one scan of Channels %.2f ms; ratios "
                "%.2f and %.2f; one query per channel would take %.0f ms  [%d]\n",
                open * 1e3, resolve * 1e3, scan * 1e3, open / scan, resolve / scan, perName * 1e3, bytes > 0);
    std::filesystem::remove(path);
}

// Opens the database for the list; seeking by the range queries alone when
// byScan.
double* openHandle(std::string const& path, std::string const& list, bool byScan)
{
    SetSeekByScanDefault(byScan);
    double* values = nullptr;
    double* times = nullptr;
    int count = 0;
    OpenDataFile(path.c_str(), list.c_str(), &values, &times, &count);
    SetSeekByScanDefault(false);
    if (!values) {
        std::fprintf(stderr, "OpenDataFile failed for %s\n", path.c_str());
        std::exit(1);
    }
    return values;
}

// Jumps to random times on one table of 5 double channels: today's way (the
// range queries, a few jumps) against the search by rowid (the first jump,
// which checks the table's order, then many), each jump followed by steps;
// both ways must land on the same times.
void benchJumps(std::string const& folder, long long rows)
{
    std::string path = folder + "/jump.db";
    auto made = Clock::now();
    generate(path, 1, 5, rows, true);
    double generation = seconds(made);
    std::string list = channelList(1, 5);
    long long bareRows = 0;
    bareLoop(path, 1, 5, bareRows);  // a warm page cache for both

    std::mt19937_64 rng(20);
    std::uniform_real_distribution<double> anywhere(1.0, static_cast<double>(rows));
    std::vector<double> targets(1001);
    for (double& t : targets)
        t = anywhere(rng);
    constexpr int kSteps = 1000;
    auto jumpAndStep = [](double* handle, double t, bool after, double& landed) {
        auto start = Clock::now();
        landed = after ? JumpAfterTimestamp(handle, 0, t) : JumpBeforeTimestamp(handle, 0, t);
        double jump = seconds(start);
        for (int s = 0; s < kSteps; ++s)
            GetNextRecord(handle, 0);
        return jump;
    };

    constexpr int kScans = 3;
    double* scan = openHandle(path, list, true);
    double scanJump = 0;
    std::vector<double> scanLanded(kScans);
    for (int j = 0; j < kScans; ++j)
        scanJump += jumpAndStep(scan, targets[j], true, scanLanded[j]) / kScans;
    CloseDataFile(scan, 0);

    double* handle = openHandle(path, list, false);
    double landed = 0;
    double first = jumpAndStep(handle, targets[0], true, landed);
    bool same = landed == scanLanded[0];
    for (int j = 1; j < kScans; ++j) {
        jumpAndStep(handle, targets[j], true, landed);
        same &= landed == scanLanded[j];
    }
    double later[2] = {0, 0};
    for (int after = 0; after < 2; ++after)
        for (size_t j = 1; j < targets.size(); ++j)
            later[after] += jumpAndStep(handle, targets[j], after, landed) / static_cast<double>(targets.size() - 1);
    auto stepStart = Clock::now();
    for (int s = 0; s < kSteps; ++s)
        GetNextRecord(handle, 0);
    double steps = seconds(stepStart);
    CloseDataFile(handle, 0);

    std::printf("jumps on 1 table of 5 double channels, %lld rows (generated in %.1f s):\n"
                "  range queries (today's way): %8.1f ms per JumpAfterTimestamp\n"
                "  first jump by rowid search (order check included): %8.1f ms, ratio %.3f to today's (target <= 1.1)\n"
                "  later jumps: JumpAfterTimestamp %8.1f us, JumpBeforeTimestamp %8.1f us; ratios %.6f and %.6f to the "
                "first (target <= 0.001)\n"
                "  1,000 steps after a jump %.3f ms; landed where the range queries land: %s\n",
                rows, generation, scanJump * 1e3, first * 1e3, first / scanJump, later[1] * 1e6, later[0] * 1e6,
                later[1] / first, later[0] / first, steps * 1e3, same ? "yes" : "NO");
    std::fflush(stdout);
    std::filesystem::remove(path);
}

}  // namespace

int main(int argc, char** argv)
{
    long long totalRows = argc > 1 ? std::atoll(argv[1]) : 10000000;
    std::string base = argc > 2 ? argv[2] : "/tmp";
    std::string folder = base + "/vantrel-access-bench-" + std::to_string(::getpid());
    std::filesystem::create_directories(folder);
    bool jumpsOnly = argc > 3 && std::string(argv[3]) == "jumps";
    if (totalRows > 0 && !jumpsOnly) {
        std::printf("record stepping over %lld rows per configuration\n", totalRows);
        benchStepping(folder, totalRows, 1, 10);
        benchStepping(folder, totalRows, 10, 100);
        benchStepping(folder, totalRows, 100, 500);
        benchStepping(folder, totalRows, 1000, 2000);
    }
    if (!jumpsOnly)
        benchOpening(folder);
    if (totalRows > 0)
        benchJumps(folder, totalRows);
    std::filesystem::remove_all(folder);
    return 0;
}
