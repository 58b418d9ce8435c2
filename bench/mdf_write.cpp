// Streams records of 10 and of 500 double channels (plus the time) through
// the MDF 3.30 and 4.00 writers and, in the same run, fwrites the same bytes
// in the same pieces to a plain file; prints MB/s and the ratio to the raw
// rate. Target: at least 0.5 of the raw rate.
//
//   bench_mdf_write [records (default 1000000)] [folder (default $TMPDIR or /tmp)]
#include "mdfwrite/MDFFile.h"
#include "mdfwrite/MDFFile_V4.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    double seconds = 0;
    uint64_t bytes = 0;
    bool ok = false;
    double MegabytesPerSecond() const { return bytes / 1e6 / seconds; }
};

void FillRecord(std::vector<double>& record, uint64_t index)
{
    record[0] = static_cast<double>(index) * 0.001;
    for (size_t j = 1; j < record.size(); ++j)
        record[j] = static_cast<double>(index + j);
}

// Times write(fp, bytes), which writes a new file at path and tells whether
// it succeeded and how many bytes it wrote, with the file's opening and
// closing; removes the file.
template <typename Write>
Run TimedWrite(std::string const& path, Write write)
{
    Run run;
    auto start = Clock::now();
    FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp)
        return run;
    bool ok = write(fp, run.bytes);
    ok &= std::fclose(fp) == 0;
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.ok = ok;
    std::remove(path.c_str());
    return run;
}

Run RawWrite(std::string const& path, unsigned channels, uint64_t records)
{
    std::vector<double> record(channels + 1);
    size_t const size = record.size() * sizeof(double);
    return TimedWrite(path, [&](FILE* fp, uint64_t& bytes) {
        bool ok = true;
        for (uint64_t i = 0; i < records; ++i) {
            FillRecord(record, i);
            ok &= std::fwrite(record.data(), size, 1, fp) == 1;
        }
        bytes = size * records;
        return ok;
    });
}

// perValue: each value through WriteValue instead of one WriteRecord.
Run WriterWrite(std::string const& path, int version, unsigned channels, uint64_t records, bool perValue)
{
    std::vector<double> record(channels + 1);
    size_t const size = record.size() * sizeof(double);
    return TimedWrite(path, [&](FILE* fp, uint64_t& bytes) {
        std::unique_ptr<MDFFile> writer;
        if (version == 3)
            writer = std::make_unique<MDFFile>();
        else
            writer = std::make_unique<MDFFile_V4>();
        MdfHeaderInfo info("bench", "", "");
        writer->WriteHeader(info, 1, nullptr);
        writer->WriteHeaderToFile(fp);
        writer->PrepareDataGroup(static_cast<unsigned short>(size), static_cast<unsigned>(records),
                                 static_cast<unsigned short>(channels + 1), "bench");
        MdfChannelInfo ci;
        ci.SetTimeField(64);
        writer->AddChannelToPreparedGroup(ci);
        ci.isTime = false;
        for (unsigned j = 1; j <= channels; ++j) {
            ci.name = "channel" + std::to_string(j);
            ci.byteOffset = static_cast<uint16_t>(8 * j);
            writer->AddChannelToPreparedGroup(ci);
        }
        writer->FlushPreparedGroup(fp, true);
        uint64_t headerBytes = static_cast<uint64_t>(ftello(fp));
        for (uint64_t i = 0; i < records; ++i) {
            FillRecord(record, i);
            if (perValue) {
                for (double& value : record)
                    writer->WriteValue(&value, 64, fp);
            } else {
                writer->WriteRecord(record.data(), static_cast<int>(size), fp);
            }
        }
        writer->FinishWritingData(fp);
        bytes = size * records + headerBytes;
        return !writer->HasFailed();
    });
}

void Report(char const* label, Run const& run, Run const& raw)
{
    std::printf("  %-28s %9.1f MB/s  %7.2f s  ratio %.2f%s\n", label, run.MegabytesPerSecond(), run.seconds,
                run.MegabytesPerSecond() / raw.MegabytesPerSecond(), run.ok ? "" : "  (WRITE FAILED)");
}

}  // namespace

int main(int argc, char** argv)
{
    uint64_t records = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    char const* tmp = std::getenv("TMPDIR");
    std::string folder = argc > 2 ? argv[2] : (tmp && *tmp ? tmp : "/tmp");
    std::string path = folder + "/bench_mdf_write." + std::to_string(getpid());
    if (records > 0xFFFFFFFFULL) {
        std::fprintf(stderr, "at most 4294967295 records\n");
        return 1;
    }

    std::printf("MDF writer: %llu records per file, written to %s\n", static_cast<unsigned long long>(records),
                folder.c_str());
    for (unsigned channels : {10u, 500u}) {
        std::printf("%u double channels + time (%zu-byte records, %.1f MB per file)\n", channels,
                    (channels + 1) * sizeof(double), (channels + 1) * 8.0 * records / 1e6);
        // The raw rate is measured before and after the writers; the slower
        // of the two is not taken, their mean is the baseline.
        Run rawBefore = RawWrite(path, channels, records);
        Run v3 = WriterWrite(path, 3, channels, records, false);
        Run v4 = WriterWrite(path, 4, channels, records, false);
        Run rawAfter = RawWrite(path, channels, records);
        Run raw = rawBefore;
        raw.seconds = (rawBefore.seconds + rawAfter.seconds) / 2;
        raw.ok = rawBefore.ok && rawAfter.ok;
        Report("raw fwrite (baseline)", raw, raw);
        Report("MDF 3.30 WriteRecord", v3, raw);
        Report("MDF 4.00 WriteRecord", v4, raw);
        if (channels == 10) {
            Run perValue = WriterWrite(path, 4, channels, records, true);
            Report("MDF 4.00 WriteValue per value", perValue, raw);
        }
    }
    return 0;
}
