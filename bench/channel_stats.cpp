// Speed of the channel list with statistics (GetChannelStatistics), which
// reads every record of an MDF file and writes nothing but a small JSON
// document. Generates MDF 4.00 files with the project's MDF writer in /tmp
// (1 group x 10 signals x 1 M records, the same with 100 k records to show
// that memory does not grow with the record count, and 500 signals x 20 k
// records; integers of 8 to 32 bits, floats of 32 and 64 bits and linearly
// scaled values) and times, in the same run, a bare fread of the whole file
// (what any reader of it pays), GetChannelStatistics and CreateDatabase of
// the same file.
//
// Each measurement runs in a child process, so its peak RSS is its own; best
// of five runs. Prints input MB/s and peak RSS of each, records/s of the
// statistics, and the ratios statistics / fread (aim: at least 0.25 at 10
// signals) and statistics / build.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchMdf.h"
#include "vantrel.h"

namespace {

using namespace bench;

// Reads the whole file in 1 MiB pieces and looks at one byte of each, so
// the reads cannot be dropped.
bool BareRead(std::string const& path)
{
    FILE* fp = std::fopen(path.c_str(), "rb");
    if (!fp)
        return false;
    std::vector<char> buffer(1 << 20);
    volatile char seen = 0;
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), fp)) > 0)
        seen = seen + buffer[n - 1];
    std::fclose(fp);
    return true;
}

struct Timing {
    double seconds = 1e300;
    long rssKb = 0;
    bool ok = true;
};

template <typename Work>
void Best(Timing& timing, Work work)
{
    double seconds = 0;
    long rss = 0;
    timing.ok = InChild(work, seconds, rss) && timing.ok;
    timing.seconds = std::min(timing.seconds, seconds);
    timing.rssKb = std::max(timing.rssKb, rss);
}

}  // namespace

// Optional argument: the number (1-3) of the one case to run.
int main(int argc, char** argv)
{
    const int only = argc > 1 ? std::atoi(argv[1]) : 0;
    const Case cases[] = {
        {"1 group x 10 signals x 1 M records", 1, 10, 1000000},
        {"1 group x 10 signals x 100 k records", 1, 10, 100000},
        {"500 signals x 20 k records", 1, 500, 20000},
    };
    std::printf("%-38s %8s %10s %10s %10s %12s %10s %10s %10s %8s %8s\n", "case", "MB", "fread MB/s",
                "stats MB/s", "build MB/s", "stats rec/s", "fread RSS", "stats RSS", "build RSS", "s/fread",
                "s/build");
    int number = 0;
    for (Case const& c : cases) {
        if (only && ++number != only)
            continue;
        const std::string base = "/tmp/vantrel_bench_stats_" + std::to_string(getpid());
        const std::string mdf = base + ".mf4", json = base + ".json", db = base + ".db";
        Generate(mdf, c);
        Timing read, stats, build;
        for (int run = 0; run < 5; ++run) {
            Best(read, [&] { return BareRead(mdf); });
            Best(stats, [&] { return GetChannelStatistics(mdf.c_str(), json.c_str()) == 1; });
            Best(build, [&] { return CreateDatabase(mdf.c_str(), db.c_str()) == 1; });
        }
        const double megabytes = static_cast<double>(FileSize(mdf)) / 1e6;
        ::unlink(mdf.c_str());
        ::unlink(json.c_str());
        ::unlink(db.c_str());
        if (!read.ok || !stats.ok || !build.ok) {
            std::printf("%-38s failed (fread %d, statistics %d, build %d)\n", c.title, read.ok, stats.ok, build.ok);
            continue;
        }
        std::printf("%-38s %8.1f %10.0f %10.0f %10.0f %12.0f %7ld kB %7ld kB %7ld kB %8.2f %8.2f\n", c.title,
                    megabytes, megabytes / read.seconds, megabytes / stats.seconds, megabytes / build.seconds,
                    static_cast<double>(c.groups) * c.records / stats.seconds, read.rssKb, stats.rssKb, build.rssKb,
                    read.seconds / stats.seconds, build.seconds / stats.seconds);
        std::fflush(stdout);
    }
    std::printf("s/fread: statistics rate over the bare fread rate of the same file (aim >= 0.25 at 10 signals); "
                "s/build: statistics rate over the CreateDatabase rate\n");
    return 0;
}
