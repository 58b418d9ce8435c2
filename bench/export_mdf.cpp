// Database export to MDF, against baselines measured in the same run:
//  1. grouped export of one message of 10 double channels (default 1 M
//     records) vs a bare loop running the same SELECT and pushing the same
//     record bytes through MDFFile::WriteRecord; target ratio >= 0.8;
//  2. a fixed-rate export of one message of 1100 signals (three table
//     parts): time per grid point with 4x the records over the same span;
//     target <= 1.25x;
//  3. peak RSS of the grouped export (in a child process) at 1 M vs 100 k
//     records; target: within 16 MB.
//
//   bench_export_mdf [records (default 1000000)] [folder (default $TMPDIR or /tmp)]
#include "mdfwrite/MDFFile.h"
#include "ExportBenchDb.h"
#include "vantrel.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sqlite3.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double TimedExport(std::string const& db, std::string const& out, double rate)
{
    auto start = Clock::now();
    const int result = ExportToMdfForceRate(db.c_str(), out.c_str(), rate);
    const double seconds = Seconds(start);
    if (result != 1) {
        std::fprintf(stderr, "export of %s failed\n", db.c_str());
        std::exit(1);
    }
    std::remove((out + ".dat").c_str());
    return seconds;
}

// The same SELECT and the same record bytes through the MDF writer, with
// nothing of the export model around them.
double BareLoop(std::string const& dbPath, std::string const& out, int signals, long long records)
{
    auto start = Clock::now();
    sqlite3* db = nullptr;
    sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    std::string sql = "SELECT rowid, TIME_VAL";
    for (int k = 1; k <= signals; ++k)
        sql += ", Signal" + std::to_string(k);
    sql += " FROM MessageData0001 ORDER BY rowid";
    sqlite3_stmt* select = nullptr;
    sqlite3_prepare_v2(db, sql.c_str(), -1, &select, nullptr);
    FILE* fp = std::fopen((out + ".dat").c_str(), "wb");
    MDFFile writer;
    MdfHeaderInfo header("", "", "");
    tm date{};
    date.tm_year = 122;
    date.tm_mday = 1;
    writer.WriteHeader(header, 1, &date);
    writer.WriteHeaderToFile(fp);
    const int size = 8 * (signals + 1);
    writer.PrepareDataGroup(static_cast<unsigned short>(size), static_cast<unsigned>(records),
                            static_cast<unsigned short>(signals + 1), nullptr);
    MdfChannelInfo time;
    time.SetTimeField(64);
    writer.AddChannelToPreparedGroup(time);
    for (int k = 1; k <= signals; ++k) {
        MdfChannelInfo channel;
        channel.name = "s" + std::to_string(k);
        channel.dataType = 4;
        channel.bitCount = 64;
        channel.byteOffset = static_cast<uint16_t>(8 * k);
        writer.AddChannelToPreparedGroup(channel);
    }
    writer.FlushPreparedGroup(fp, true);
    std::vector<unsigned char> record(static_cast<size_t>(size));
    while (sqlite3_step(select) == SQLITE_ROW) {
        for (int c = 0; c <= signals; ++c) {
            const double value = sqlite3_column_double(select, c + 1) - (c == 0 ? 500000000.0 : 0.0);
            std::memcpy(&record[static_cast<size_t>(8 * c)], &value, 8);
        }
        writer.WriteRecord(record.data(), size, fp);
    }
    writer.FinishWritingData(fp);
    std::fclose(fp);
    sqlite3_finalize(select);
    sqlite3_close(db);
    const double seconds = Seconds(start);
    std::remove((out + ".dat").c_str());
    return seconds;
}

// Peak resident size in MB of a grouped export in a child process.
double ChildPeakMegabytes(std::string const& db, std::string const& out)
{
    const pid_t child = fork();
    if (child == 0) {
        const int result = ExportToMdf(db.c_str(), out.c_str());
        std::remove((out + ".dat").c_str());
        _exit(result == 1 ? 0 : 1);
    }
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    return usage.ru_maxrss / 1024.0;
}

}  // namespace

int main(int argc, char** argv)
{
    const long long records = argc > 1 ? std::atoll(argv[1]) : 1000000;
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = argc > 2 ? argv[2] : (tmp && *tmp ? tmp : "/tmp");
    const std::string base = folder + "/bench_export_mdf_" + std::to_string(getpid());
    const std::string db = base + ".db", out = base + "_out";

    // 1. Grouped export vs the bare loop.
    MakeDatabase(db, 10, records, static_cast<double>(records) * 0.001);
    // The best of five runs each: the machine is shared.
    double bare = 1e300, exported = 1e300;
    for (int run = 0; run < 5; ++run) {
        bare = std::min(bare, BareLoop(db, out, 10, records));
        exported = std::min(exported, TimedExport(db, out, -1.0));
    }
    std::printf("grouped export, %lld records x 10 channels: %.3f s, bare loop %.3f s, rate ratio %.2f (target >= 0.8)\n",
                records, exported, bare, bare / exported);
    const double peakLarge = ChildPeakMegabytes(db, out);
    MakeDatabase(db, 10, records / 10, static_cast<double>(records / 10) * 0.001);
    const double peakSmall = ChildPeakMegabytes(db, out);
    std::printf("peak RSS: %.1f MB at %lld records, %.1f MB at %lld records, difference %.1f MB (target <= 16)\n",
                peakLarge, records, peakSmall, records / 10, peakLarge - peakSmall);

    // 2. Grid over 1100 signals: same span and points, 4x the records.
    const long long gridRows = 2000;
    const double span = 200.0, rate = 0.1;  // 2000 points
    MakeDatabase(db, 1100, gridRows, span);
    double few = 1e300, many = 1e300;
    for (int run = 0; run < 3; ++run)
        few = std::min(few, TimedExport(db, out, rate));
    MakeDatabase(db, 1100, gridRows * 4, span);
    for (int run = 0; run < 3; ++run)
        many = std::min(many, TimedExport(db, out, rate));
    const double points = span / rate;
    std::printf("grid of 1100 signals, %.0f points: %.1f us/point at %lld records, %.1f us/point at %lld records, "
                "ratio %.2f (target <= 1.25)\n",
                points, few / points * 1e6, gridRows, many / points * 1e6, gridRows * 4, many / few);
    std::remove(db.c_str());
    return 0;
}
