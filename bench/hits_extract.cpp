// Hit extraction against what the work itself costs: a source database of two
// record tables of five signals (rows interleaved in time), cut into a subset
// database of two tables
//   (a) as one hit of all rows, (b) as 100 hits of 1,000 rows, and (c) from a
//   larger source, as 1,000 hits of 1,000 rows,
// next to the baseline of the same reads and writes done directly: per hit and
// table the rows read ((a) "SELECT ... WHERE TIME_VAL BETWEEN ? AND ?", (b)
// and (c) by their rowid range, found beforehand) and the same inserts and
// commits into a database written with the same settings. Each hit's start is
// found by a search on rowid once the tables' order has been checked: that
// one pass is timed on its own, and (b) is also run the way every table was
// searched before (range queries over TIME_VAL). Then the subset to a MAT and
// an MDF 4.00 file next to the same SELECTs and an fwrite of the same bytes,
// and the peak memory of 10 against 10,000 hits over the same rows (each in a
// child process).
//
// bench_hits_extract [source rows, default 1000000] [folder, default /tmp] [large source rows, default 10000000; 0: no (c)]
#include <sqlite3.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "access/FileInfo.h"
#include "support/LibUtils.h"
#include "support/MeasurementDb.h"
#include "vantrel.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kSignals = 5;
constexpr double kStart = 5e8;   // measurement start, seconds since 2007
constexpr double kPeriod = 0.002;  // per table; the second table runs half a period later

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

std::string narrow(wchar_t const* text)
{
    return std::string(text, text + std::wcslen(text));
}

std::string columns()
{
    std::string list = "TIME_VAL";
    for (int k = 1; k <= kSignals; ++k)
        list += ", Signal" + std::to_string(k);
    return list;
}

// The record table of message m as the builder and the subset create it.
std::string createTable(int m)
{
    const std::vector<MeasurementDb::ColumnType> types(kSignals, MeasurementDb::ColumnType::Double);
    return narrow(MeasurementDb::RecordTableCreateSql(m, 1, 1, types).c_str());
}

// Messages A and B, signals A1..A5 and B1..B5, rowsPerTable rows each.
void generate(std::string const& path, long long rowsPerTable)
{
    std::filesystem::remove(path);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    exec(db, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF");
    for (wchar_t const* table : MeasurementDb::kSchemaTables)
        exec(db, narrow(table));
    exec(db, "BEGIN");
    int channelId = 1;
    for (int m = 1; m <= 2; ++m) {
        const std::string table = MeasurementDb::RecordTableName(m), name = m == 1 ? "A" : "B";
        exec(db, createTable(m));
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, narrow(MeasurementDb::RecordTableInsertSql(m, 1, kSignals).c_str()).c_str(), -1, &insert,
                           nullptr);
        for (long long i = 0; i < rowsPerTable; ++i) {
            sqlite3_bind_double(insert, 1, kStart + i * kPeriod + (m - 1) * kPeriod / 2);
            for (int k = 1; k <= kSignals; ++k)
                sqlite3_bind_double(insert, k + 1, static_cast<double>((i * k) % 1000) * 0.5);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        const double last = kStart + (rowsPerTable - 1) * kPeriod + (m - 1) * kPeriod / 2;
        exec(db, "INSERT INTO Messages VALUES (" + std::to_string(m) + ", '" + name + "', '', 5, '" + table +
                     "', 'HS CAN', " + std::to_string(kStart) + ", " + std::to_string(last) + ", 0, 0, " +
                     std::to_string(rowsPerTable) + ", 0, 0, 8)");
        for (int k = 1; k <= kSignals; ++k, ++channelId)
            exec(db, "INSERT INTO Channels VALUES (" + std::to_string(channelId) + ", " + std::to_string(m) + ", " +
                         std::to_string(k) + ", '" + name + std::to_string(k) +
                         "', 'Double', 0, 0, 0, 0, 0, 'HS CAN', '', '', -1, 0, '', 1, 0, 4, 0, 64, 0, 1, -1, 0, 1)");
    }
    exec(db, "INSERT INTO Network_Statistics VALUES ('HS CAN', 0, 0, 0, 0, 0, " + std::to_string(kStart) +
                 ", 0, 0); COMMIT");
    sqlite3_close(db);
}

struct Hit {
    double start, end;  // relative to the measurement start
};

std::string hitList(std::string const& source, std::vector<Hit> const& hits)
{
    std::string json = "{\"SpacingBetweenHitsInOutputFile\": 0, \"Channels\": [";
    for (char const* message : {"A", "B"})
        for (int k = 1; k <= kSignals; ++k)
            json += std::string(*message == 'A' && k == 1 ? "" : ", ") + "{\"name\": \"" + message +
                    std::to_string(k) + "\", \"message_name\": \"" + message + "\"}";
    json += "], \"HitList\": [{\"FilenameAndPath\": \"" + source + "\", \"Hits\": [";
    char hit[128];
    for (size_t i = 0; i < hits.size(); ++i) {
        std::snprintf(hit, sizeof hit, "%s{\"StartTime\": %.17g, \"EndTime\": %.17g}", i ? ", " : "", hits[i].start,
                      hits[i].end);
        json += hit;
    }
    return json + "]}]}";
}

// hits windows of rowsPerHit source rows (both tables), spread evenly.
std::vector<Hit> spreadHits(long long rowsPerTable, int count, long long rowsPerHit)
{
    std::vector<Hit> hits;
    const double span = rowsPerTable * kPeriod, length = rowsPerHit * kPeriod / 2 - kPeriod / 4;
    for (int i = 0; i < count; ++i)
        hits.push_back({i * span / count, i * span / count + length});
    return hits;
}

// First and last rowid of a hit's rows in each table (first > last: none).
using RowidRanges = std::vector<std::array<std::pair<long long, long long>, 2>>;

// One pass over each table in rowid order; the hits are sorted and apart.
RowidRanges findRowidRanges(std::string const& source, std::vector<Hit> const& hits)
{
    RowidRanges ranges(hits.size(), {{{1, 0}, {1, 0}}});
    sqlite3* db = nullptr;
    sqlite3_open_v2(source.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    for (int m = 1; m <= 2; ++m) {
        sqlite3_stmt* scan = nullptr;
        sqlite3_prepare_v2(db, ("SELECT rowid, TIME_VAL FROM " + MeasurementDb::RecordTableName(m) + " ORDER BY rowid").c_str(),
                           -1, &scan, nullptr);
        size_t h = 0;
        while (sqlite3_step(scan) == SQLITE_ROW) {
            const double time = sqlite3_column_double(scan, 1);
            while (h < hits.size() && time > kStart + hits[h].end)
                ++h;
            if (h == hits.size())
                break;
            if (time < kStart + hits[h].start)
                continue;
            auto& range = ranges[h][m - 1];
            if (range.first > range.second)
                range.first = sqlite3_column_int64(scan, 0);
            range.second = sqlite3_column_int64(scan, 0);
        }
        sqlite3_finalize(scan);
    }
    sqlite3_close(db);
    return ranges;
}

// The one-time order check of the source's tables, as the first hit runs it.
double timeOrderCheck(std::string const& source, std::string const& list)
{
    FileInfo file;
    if (!ReadAliasesFromJson(widestring(list).c_str(), file.channels) ||
        file.LoadChannelsFromAliases(widestring(source).c_str()) < 0 || file.LoadDbChannels(widestring(source).c_str()) < 0) {
        std::fprintf(stderr, "cannot open %s\n", source.c_str());
        std::exit(1);
    }
    const auto start = Clock::now();
    const int sorted = file.CheckTimeOrder();
    const double elapsed = seconds(start);
    if (sorted != 2) {
        std::fprintf(stderr, "the tables of %s are not searched by rowid\n", source.c_str());
        std::exit(1);
    }
    return elapsed;
}

double timeHits(std::string const& list, std::string const& output)
{
    std::filesystem::remove(output);
    const auto start = Clock::now();
    const int result = OutputHitsToFile(list.c_str(), output.c_str());
    const double elapsed = seconds(start);
    if (result != 0) {
        std::fprintf(stderr, "OutputHitsToFile gave %d for %s\n", result, output.c_str());
        std::exit(1);
    }
    return elapsed;
}

// The same rows read per hit and table, by time or by the rowid ranges given,
// and inserted into a database written like the subset (pragmas, a commit
// after 100,000 inserts).
double timeDirect(std::string const& source, std::string const& target, std::vector<Hit> const& hits,
                  RowidRanges const& byRowid = {})
{
    std::filesystem::remove(target);
    const auto start = Clock::now();
    sqlite3 *in = nullptr, *out = nullptr;
    sqlite3_open_v2(source.c_str(), &in, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    sqlite3_open(target.c_str(), &out);
    exec(out, "PRAGMA journal_mode=MEMORY; PRAGMA synchronous=OFF; PRAGMA cache_size=500; "
              "PRAGMA locking_mode=EXCLUSIVE");
    std::vector<sqlite3_stmt*> selects, inserts;
    for (int m = 1; m <= 2; ++m) {
        const std::string table = MeasurementDb::RecordTableName(m);
        exec(out, createTable(m));
        sqlite3_stmt *select = nullptr, *insert = nullptr;
        sqlite3_prepare_v2(in, ("SELECT " + columns() + " FROM " + table + " WHERE " +
                                (byRowid.empty() ? "TIME_VAL" : "rowid") + " BETWEEN ? AND ?").c_str(),
                           -1, &select, nullptr);
        sqlite3_prepare_v2(out, narrow(MeasurementDb::RecordTableInsertSql(m, 1, kSignals).c_str()).c_str(), -1, &insert,
                           nullptr);
        selects.push_back(select);
        inserts.push_back(insert);
    }
    exec(out, "BEGIN");
    long long writes = 0;
    for (size_t h = 0; h < hits.size(); ++h)
        for (size_t t = 0; t < 2; ++t) {
            if (byRowid.empty()) {
                sqlite3_bind_double(selects[t], 1, kStart + hits[h].start);
                sqlite3_bind_double(selects[t], 2, kStart + hits[h].end);
            } else {
                sqlite3_bind_int64(selects[t], 1, byRowid[h][t].first);
                sqlite3_bind_int64(selects[t], 2, byRowid[h][t].second);
            }
            while (sqlite3_step(selects[t]) == SQLITE_ROW) {
                for (int c = 0; c <= kSignals; ++c)
                    sqlite3_bind_double(inserts[t], c + 1, sqlite3_column_double(selects[t], c));
                sqlite3_step(inserts[t]);
                sqlite3_reset(inserts[t]);
                if (++writes > 100000) {
                    exec(out, "COMMIT; BEGIN");
                    writes = 0;
                }
            }
            sqlite3_reset(selects[t]);
        }
    exec(out, "COMMIT");
    for (size_t t = 0; t < 2; ++t) {
        sqlite3_finalize(selects[t]);
        sqlite3_finalize(inserts[t]);
    }
    sqlite3_close(in);
    sqlite3_close(out);
    return seconds(start);
}

// The subset's columns read as the MAT output reads them (one SELECT per
// channel) or as the MDF output does (one per table), written with fwrite.
double timeSelectAndWrite(std::string const& subset, std::string const& target, bool perChannel)
{
    const auto start = Clock::now();
    sqlite3* db = nullptr;
    sqlite3_open_v2(subset.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    FILE* file = std::fopen(target.c_str(), "wb");
    for (int m = 1; m <= 2; ++m) {
        std::vector<std::string> queries;
        if (perChannel)
            for (int k = 1; k <= kSignals; ++k)
                queries.push_back("SELECT TIME_VAL, Signal" + std::to_string(k));
        else
            queries.push_back("SELECT " + columns());
        for (std::string const& query : queries) {
            sqlite3_stmt* select = nullptr;
            sqlite3_prepare_v2(db, (query + " FROM " + MeasurementDb::RecordTableName(m)).c_str(), -1, &select, nullptr);
            const int count = sqlite3_column_count(select);
            std::vector<double> times, values;
            while (sqlite3_step(select) == SQLITE_ROW)
                for (int c = 0; c < count; ++c)
                    (perChannel && c == 0 ? times : values).push_back(sqlite3_column_double(select, c));
            sqlite3_finalize(select);
            std::fwrite(times.data(), sizeof(double), times.size(), file);
            std::fwrite(values.data(), sizeof(double), values.size(), file);
        }
    }
    std::fclose(file);
    sqlite3_close(db);
    return seconds(start);
}

// Peak resident memory (kB) of a child that runs the call.
long peakMemory(std::string const& list, std::string const& output)
{
    std::filesystem::remove(output);
    const pid_t child = fork();
    if (child == 0)
        _exit(OutputHitsToFile(list.c_str(), output.c_str()) == 0 ? 0 : 1);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "the child for %s failed\n", output.c_str());
        std::exit(1);
    }
    return usage.ru_maxrss;
}

void report(char const* what, double mine, double baseline, char const* target)
{
    std::printf("%-44s %8.3f s  baseline %8.3f s  ratio %5.2f  (%s)\n", what, mine, baseline, mine / baseline, target);
}

// Many hits over a source: the extraction, its one-time order check, and
// the same rows read by rowid range and written.
void reportSpread(char const* what, std::string const& source, std::string const& folder, int count,
                  long long rowsPerTable)
{
    const std::vector<Hit> hits = spreadHits(rowsPerTable, count, 1000);
    const std::string list = hitList(source, hits);
    const double orderCheck = timeOrderCheck(source, list);
    const double extraction = timeHits(list, folder + "/spread.db");
    const double baseline = timeDirect(source, folder + "/direct.db", hits, findRowidRanges(source, hits));
    std::printf("%-44s %8.3f s  of which the order check %.3f s; after it %8.3f s  baseline %8.3f s  ratio %5.2f  "
                "(target <= 2)\n",
                what, extraction, orderCheck, extraction - orderCheck, baseline, (extraction - orderCheck) / baseline);
}

}  // namespace

int main(int argc, char** argv)
{
    const long long totalRows = argc > 1 ? std::atoll(argv[1]) : 1000000;
    const std::string folder = (argc > 2 ? argv[2] : "/tmp") + std::string("/bench_hits_") + std::to_string(getpid());
    std::filesystem::create_directories(folder);
    const long long rowsPerTable = totalRows / 2;
    const std::string source = folder + "/source.db";
    generate(source, rowsPerTable);
    std::printf("source: %lld rows in 2 tables of %d signals\n", 2 * rowsPerTable, kSignals);

    const std::vector<Hit> all = {{0.0, rowsPerTable * kPeriod}};
    const double oneHit = timeHits(hitList(source, all), folder + "/one.db");
    report("(a) 1 hit of all rows to .db", oneHit, timeDirect(source, folder + "/direct.db", all), "target <= 1.5");
    reportSpread("(b) 100 hits of 1,000 rows to .db", source, folder, 100, rowsPerTable);
    {
        SetSeekByScanDefault(true);
        const std::vector<Hit> hundred = spreadHits(rowsPerTable, 100, 1000);
        const double scanning = timeHits(hitList(source, hundred), folder + "/hundred.db");
        SetSeekByScanDefault(false);
        std::printf("%-44s %8.3f s\n", "(b) by the range queries (the way before)", scanning);
    }

    // The outputs of (a)'s subset: one.mat and one.mf4 reuse one.db.
    const double mat = timeHits(hitList(source, all), folder + "/one.mat");
    const double matBase = timeSelectAndWrite(folder + "/one.db", folder + "/plain.bin", true);
    std::printf("%-44s %8.3f s  baseline %8.3f s  speed %5.2f of the baseline (target >= 0.5)\n", "subset to .mat", mat,
                matBase, matBase / mat);
    const double mdf = timeHits(hitList(source, all), folder + "/one.mf4");
    const double mdfBase = timeSelectAndWrite(folder + "/one.db", folder + "/plain.bin", false);
    std::printf("%-44s %8.3f s  baseline %8.3f s  speed %5.2f of the baseline (target >= 0.5)\n", "subset to .mf4", mdf,
                mdfBase, mdfBase / mdf);

    // Memory: 10 against 10,000 hits over the same 10,000 rows.
    const long long smallRows = 5000;
    const std::string small = folder + "/small.db";
    generate(small, smallRows);
    const long few = peakMemory(hitList(small, spreadHits(smallRows, 10, 1000)), folder + "/few.db");
    const long many = peakMemory(hitList(small, spreadHits(smallRows, 10000, 1)), folder + "/many.db");
    std::printf("peak RSS, 10 hits %ld kB, 10,000 hits %ld kB: difference %ld kB (target within 5120 kB)\n", few, many,
                many - few);
    std::filesystem::remove(small);
    std::filesystem::remove(source);

    const long long largeRows = argc > 3 ? std::atoll(argv[3]) : 10000000;
    if (largeRows > 0) {
        const std::string large = folder + "/large.db";
        generate(large, largeRows / 2);
        std::printf("large source: %lld rows in 2 tables\n", 2 * (largeRows / 2));
        reportSpread("(c) 1,000 hits of 1,000 rows to .db", large, folder, 1000, largeRows / 2);
    }
    std::filesystem::remove_all(folder);
    return 0;
}
