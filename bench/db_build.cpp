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
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "dbbuild/DbSignal.h"
#include "mdfread/MDFFileOp.h"
#include "mdfwrite/MDFFile_V4.h"
#include "support/MeasurementDb.h"
#include "vantrel.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Case {
    char const* title;
    int groups;
    int signals;
    unsigned records;
};

// Channel k of a group: its kind decides its width, type and column.
enum Kind { U8, S16, U32, F32, F64, Scaled16, KindCount };

int KindOf(int k) { return k % KindCount; }
unsigned Width(int kind) { return kind == U8 ? 1 : kind == S16 || kind == Scaled16 ? 2 : kind == F64 ? 8 : 4; }
bool IntegerColumn(int kind) { return kind == U8 || kind == S16 || kind == U32; }

// The raw bits of channel k in record i: varied enough that SQLite stores
// integers of every size.
inline uint32_t Raw(unsigned i, int k) { return i * 2654435761u + static_cast<uint32_t>(k) * 40503u; }

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

long PeakRssKb()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

unsigned RecordSize(int signals)
{
    unsigned size = 8;
    for (int k = 0; k < signals; ++k)
        size += Width(KindOf(k));
    return size;
}

void Generate(std::string const& path, Case const& c)
{
    FILE* fp = std::fopen(path.c_str(), "wb");
    MDFFile_V4 writer;
    MdfHeaderInfo info("bench", "", "");
    writer.WriteHeader(info, static_cast<unsigned short>(c.groups), nullptr);
    writer.WriteHeaderToFile(fp);
    const unsigned size = RecordSize(c.signals);
    std::vector<uint8_t> record(size);
    for (int g = 0; g < c.groups; ++g) {
        writer.PrepareDataGroup(static_cast<unsigned short>(size), c.records, 0, nullptr);
        MdfChannelInfo time;
        time.SetTimeField(64);
        writer.AddChannelToPreparedGroup(time);
        unsigned at = 8;
        for (int k = 0; k < c.signals; ++k) {
            const int kind = KindOf(k);
            MdfChannelInfo ci;
            ci.name = "g" + std::to_string(g) + "_s" + std::to_string(k);
            ci.description = "Message" + std::to_string(g) + " | Bench CAN";
            ci.dataType = kind == S16 ? 1 : kind == F32 ? 3 : kind == F64 ? 4 : 0;
            ci.bitCount = static_cast<uint16_t>(Width(kind) * 8);
            ci.byteOffset = static_cast<uint16_t>(at);
            if (kind == Scaled16) {
                ci.factor = 0.1;
                ci.offset = -40;
            }
            writer.AddChannelToPreparedGroup(ci);
            at += Width(kind);
        }
        writer.FlushPreparedGroup(fp, g + 1 == c.groups);
        for (unsigned i = 0; i < c.records; ++i) {
            const double t = 0.001 * i;
            std::memcpy(&record[0], &t, 8);
            unsigned pos = 8;
            for (int k = 0; k < c.signals; ++k) {
                const int kind = KindOf(k);
                const uint32_t raw = Raw(i, k);
                if (kind == F32) {
                    const float f = static_cast<float>(raw & 0xFFFFF) * 0.001f;
                    std::memcpy(&record[pos], &f, 4);
                } else if (kind == F64) {
                    const double d = static_cast<double>(raw) * 1e-3;
                    std::memcpy(&record[pos], &d, 8);
                } else {
                    std::memcpy(&record[pos], &raw, Width(kind));
                }
                pos += Width(kind);
            }
            writer.WriteRecord(record.data(), static_cast<int>(size), fp);
        }
        writer.FinishWritingData(fp);
    }
    std::fclose(fp);
    if (writer.HasFailed())
        std::fprintf(stderr, "the MDF writer failed on %s\n", path.c_str());
}

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

// Reading every record, decoding every value and feeding the statistics, as
// the builder does, without SQL. Returns the cells decoded.
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
        CCNBlockOp* time = cn->GetTimeChannel();
        signals.emplace_back(time);
        for (CCNBlockOp* c = group->GetFirstCN(); c; c = c->GetNextCN())
            if (!c->IsTimeChannel())
                signals.emplace_back(c);
        // The builder's plan: how each value leaves the record.
        enum Reading { Converted, Float, SmallInteger, Integer };
        std::vector<Reading> readings(signals.size());
        for (size_t k = 1; k < signals.size(); ++k) {
            CCNBlockOp* c = signals[k].channel;
            readings[k] = signals[k].scalingKind == DbSignal::Physical ? Converted
                          : c->IsFloat()                              ? (c->GetConversion() ? Float : Converted)
                          : !c->GetConversion() && c->GetBitCount() <= 53 ? SmallInteger
                                                                           : Integer;
        }
        std::vector<char> record(group->GetDataRecordSize() + 8);
        volatile double sink = 0;
        for (unsigned long long i = 0; i < group->GetRecordCount(); ++i) {
            group->ReadRecord(record.data(), i);
            const double t = time->getValue(record.data() + time->GetByteOffset());
            signals[0].ProcessValue(static_cast<long long>(i), t, t, false);
            const double inverseCount = 1.0 / (static_cast<double>(i) + 1.0);
            for (size_t k = 1; k < signals.size(); ++k) {
                DbSignal& s = signals[k];
                char const* p = record.data() + s.byteOffset;
                double value;
                switch (readings[k]) {
                case Converted:
                case SmallInteger: value = s.channel->getValue(p); break;
                case Float: value = s.channel->GetFloat(p); break;
                default: value = static_cast<double>(s.channel->GetInteger(p)); break;
                }
                s.ProcessSample(static_cast<long long>(i), t, value, inverseCount);
            }
            cells += signals.size() - 1;
        }
        for (DbSignal const& s : signals)
            sink = sink + s.mean;
    }
    return cells;
}

struct Figures {
    double build, ceiling, decode;
    long buildRss, ceilingRss;
    unsigned long long mdfBytes, dbBytes;
    int ok;
};

unsigned long long FileSize(std::string const& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 ? static_cast<unsigned long long>(info.st_size) : 0;
}

// Runs one measurement in a child process, which reports its seconds and peak
// RSS through a pipe.
template <typename Work>
bool InChild(Work work, double& seconds, long& rssKb)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        const Clock::time_point started = Clock::now();
        const bool ok = work();
        double result[3] = {Seconds(started), static_cast<double>(PeakRssKb()), ok ? 1.0 : 0.0};
        (void)!write(fds[1], result, sizeof result);
        _exit(0);
    }
    close(fds[1]);
    double result[3] = {0, 0, 0};
    (void)!read(fds[0], result, sizeof result);
    close(fds[0]);
    waitpid(child, nullptr, 0);
    seconds = result[0];
    rssKb = static_cast<long>(result[1]);
    return result[2] == 1.0;
}

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
