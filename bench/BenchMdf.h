// What the benchmarks of MDF reading share: MDF 4.00 files generated with
// the project's MDF writer (a time channel and signals of mixed kinds per
// group), timing, peak RSS, and running one measurement in a child process so
// that its peak RSS is its own.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "mdfwrite/MDFFile_V4.h"

namespace bench {

using Clock = std::chrono::steady_clock;

struct Case {
    char const* title;
    int groups;
    int signals;
    unsigned records;
};

// Channel k of a group: its kind decides its width, type and column.
enum Kind { U8, S16, U32, F32, F64, Scaled16, KindCount };

inline int KindOf(int k) { return k % KindCount; }
inline unsigned Width(int kind) { return kind == U8 ? 1 : kind == S16 || kind == Scaled16 ? 2 : kind == F64 ? 8 : 4; }
inline bool IntegerColumn(int kind) { return kind == U8 || kind == S16 || kind == U32; }

// The raw bits of channel k in record i: varied enough that SQLite stores
// integers of every size.
inline uint32_t Raw(unsigned i, int k) { return i * 2654435761u + static_cast<uint32_t>(k) * 40503u; }

inline double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

inline long PeakRssKb()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

inline unsigned RecordSize(int signals)
{
    unsigned size = 8;
    for (int k = 0; k < signals; ++k)
        size += Width(KindOf(k));
    return size;
}

inline void Generate(std::string const& path, Case const& c)
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

inline unsigned long long FileSize(std::string const& path)
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

}  // namespace bench
