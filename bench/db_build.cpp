// Speed of the measurement database builder. Generates MDF 4.00 files with
// the project's MDF writer in /tmp (1 group x 10 signals x 2 M records, the
// same with 200 k records to show that memory does not grow with the record
// count, 500 signals x 40 k records, 1200 signals x 20 k records, 500 groups
// x 5 signals x 2 k records; integers of 8 to 32 bits, floats of 32 and 64
// bits and linearly scaled values), builds each database with
// CreateDatabase and, in the same run, inserts the same rows into the same
// tables with a bare prepared-statement loop under the same pragmas and
// transactions: the ceiling the builder is measured against. Also times the
// record reading, decoding and statistics alone (no SQL) per cell.
//
// Each case runs in a child process, so its peak RSS is its own. Prints
// records/s, cells/s, input MB/s, peak RSS and the ratio build / ceiling
// (throughput); the aim is at least 0.5.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sqlite3.h>
#include <vector>

#include "BenchMdf.h"
#include "dbbuild/GroupReader.h"
#include "mdfread/MDFFileOp.h"
#include "support/MeasurementDb.h"
#include "vantrel.h"

namespace {

using namespace bench;

void Exec(sqlite3* db, char const* sql) { sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

std::string Narrow(std::wstring const& ascii) { return std::string(ascii.begin(), ascii.end()); }

// The same record tables and rows as the builder writes, with nothing but
// SQLite's prepared statements: the ceiling.
void BareInsertLoop(std::string const& path, Case const& c)
{
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Exec(db, "PRAGMA journal_mode=MEMORY");
    Exec(db, "PRAGMA synchronous=OFF");
    Exec(db, "PRAGMA cache_size=500");
    for (wchar_t const* table : MeasurementDb::kSchemaTables)
        Exec(db, Narrow(table).c_str());
    Exec(db, "BEGIN TRANSACTION");
    const double start = 0.0;
    long long inserts = 0;
    const int parts = (c.signals + MeasurementDb::kSignalsPerPart - 1) / MeasurementDb::kSignalsPerPart;
    for (int g = 1; g <= c.groups; ++g) {
        std::vector<sqlite3_stmt*> statements;
        for (int p = 1; p <= parts; ++p) {
            const int first = (p - 1) * MeasurementDb::kSignalsPerPart;
            const int count = std::min(MeasurementDb::kSignalsPerPart, c.signals - first);
            std::vector<MeasurementDb::ColumnType> types;
            for (int k = first; k < first + count; ++k)
                types.push_back(IntegerColumn(KindOf(k)) ? MeasurementDb::ColumnType::Integer
                                                          : MeasurementDb::ColumnType::Double);
            Exec(db, Narrow(MeasurementDb::RecordTableCreateSql(g, p, first + 1, types)).c_str());
            sqlite3_stmt* statement = nullptr;
            sqlite3_prepare_v2(db, Narrow(MeasurementDb::RecordTableInsertSql(g, p, count)).c_str(), -1, &statement,
                               nullptr);
            statements.push_back(statement);
        }
        for (unsigned i = 0; i < c.records; ++i) {
            const double time = start + 0.001 * i;
            for (sqlite3_stmt* statement : statements)
                sqlite3_bind_double(statement, 1, time);
            for (int k = 0; k < c.signals; ++k) {
                sqlite3_stmt* statement = statements[k / MeasurementDb::kSignalsPerPart];
                const int parameter = k % MeasurementDb::kSignalsPerPart + 2;
                const uint32_t raw = Raw(i, k);
                switch (KindOf(k)) {
                case U8: sqlite3_bind_int64(statement, parameter, raw & 0xFF); break;
                case S16: sqlite3_bind_int64(statement, parameter, static_cast<int16_t>(raw & 0xFFFF)); break;
                case U32: sqlite3_bind_int64(statement, parameter, raw); break;
                case F32:
                    sqlite3_bind_double(statement, parameter, static_cast<float>(raw & 0xFFFFF) * 0.001f);
                    break;
                case F64: sqlite3_bind_double(statement, parameter, static_cast<double>(raw) * 1e-3); break;
                default: sqlite3_bind_double(statement, parameter, (raw & 0xFFFF) * 0.1 - 40); break;
                }
            }
            for (sqlite3_stmt* statement : statements) {
                sqlite3_step(statement);
                sqlite3_reset(statement);
            }
            inserts += parts;
            if (inserts > 50000) {
                Exec(db, "COMMIT TRANSACTION");
                Exec(db, "BEGIN TRANSACTION");
                inserts = 0;
            }
        }
        for (sqlite3_stmt* statement : statements)
            sqlite3_finalize(statement);
    }
    Exec(db, "COMMIT TRANSACTION");
    Exec(db, "PRAGMA journal_mode=DELETE");
    Exec(db, "PRAGMA synchronous=FULL");
    Exec(db, "PRAGMA shrink_memory");
    // One durable commit, as the builder's statistics row makes.
    Exec(db, "INSERT INTO Network_Statistics (Network) VALUES ('Bench CAN')");
    sqlite3_close(db);
}

// Reading every record, decoding every value and feeding the statistics
// through the builder's group reader, without SQL. Returns the cells decoded.
unsigned long long DecodeOnly(std::string const& path)
{
    CMDFFileOp file;
    file.ReadFile(path);
    unsigned long long cells = 0;
    CCGBlockOp* current = nullptr;
    for (CCNBlockOp* cn = file.GetNextChannel(true); cn; cn = file.GetNextChannel(false)) {
        CCGBlockOp* group = cn->GetChannelGroup();
        if (group == current)
            continue;
        current = group;
        std::vector<DbSignal> signals;
        signals.emplace_back(cn->GetTimeChannel());
        for (CCNBlockOp* c = group->GetFirstCN(); c; c = c->GetNextCN())
            if (!c->IsTimeChannel())
                signals.emplace_back(c);
        DiscardValues statisticsOnly;
        cells += GroupReader(signals, 0.0).ReadAll(statisticsOnly, "bench") * (signals.size() - 1);
    }
    return cells;
}

struct Figures {
    double build, ceiling, decode;
    long buildRss, ceilingRss;
    unsigned long long mdfBytes, dbBytes;
    int ok;
};

Figures Measure(Case const& c)
{
    const std::string base = "/tmp/vantrel_bench_db_" + std::to_string(getpid());
    const std::string mdf = base + ".mf4", db = base + ".db", bare = base + "_bare.db";
    Generate(mdf, c);
    Figures f{};
    f.mdfBytes = FileSize(mdf);
    // Best of three: other work on the machine only ever adds time.
    f.decode = f.build = f.ceiling = 1e300;
    f.ok = true;
    for (int run = 0; run < 3; ++run) {
        double seconds = 0;
        long rss = 0;
        InChild([&] { return DecodeOnly(mdf) > 0; }, seconds, rss);
        f.decode = std::min(f.decode, seconds);
        f.ok &= InChild([&] { return CreateDatabase(mdf.c_str(), db.c_str()) == 1; }, seconds, rss);
        f.build = std::min(f.build, seconds);
        f.buildRss = std::max(f.buildRss, rss);
        f.dbBytes = FileSize(db);
        ::unlink(bare.c_str());
        InChild([&] { return BareInsertLoop(bare, c), true; }, seconds, rss);
        f.ceiling = std::min(f.ceiling, seconds);
        f.ceilingRss = std::max(f.ceilingRss, rss);
    }
    ::unlink(mdf.c_str());
    ::unlink(db.c_str());
    ::unlink(bare.c_str());
    return f;
}

}  // namespace

// Optional argument: the number (1-5) of the one case to run.
int main(int argc, char** argv)
{
    const int only = argc > 1 ? std::atoi(argv[1]) : 0;
    const Case cases[] = {
        {"1 group x 10 signals x 2 M records", 1, 10, 2000000},
        {"1 group x 10 signals x 200 k records", 1, 10, 200000},
        {"500 signals x 40 k records", 1, 500, 40000},
        {"1200 signals x 20 k records", 1, 1200, 20000},
        {"500 groups x 5 signals x 2 k records", 500, 5, 2000},
    };
    std::printf("%-40s %12s %12s %9s %9s %10s %10s %11s %8s\n", "case", "records/s", "cells/s", "MB/s in", "ns/cell",
                "build RSS", "bare RSS", "decode ns", "ratio");
    int number = 0;
    for (Case const& c : cases) {
        if (only && ++number != only)
            continue;
        Figures f = Measure(c);
        const double records = static_cast<double>(c.groups) * c.records;
        const double cells = records * c.signals;
        if (!f.ok) {
            std::printf("%-40s build failed\n", c.title);
            continue;
        }
        std::printf("%-40s %12.0f %12.0f %9.1f %9.1f %8ld kB %8ld kB %11.2f %8.2f\n", c.title, records / f.build,
                    cells / f.build, f.mdfBytes / 1e6 / f.build, f.build / cells * 1e9, f.buildRss, f.ceilingRss,
                    f.decode / cells * 1e9, f.ceiling / f.build);
        std::fflush(stdout);
    }
    std::printf("ratio: bare prepared-statement loop time / build time (build throughput over the ceiling's); "
                "decode ns: reading, decoding and statistics per cell without SQL\n");
    return 0;
}
