// Reading speed of the MDF reader: generates MDF 4 files of one million
// records with 10, 100 and 500 channels (mixed integer widths, bit fields,
// big-endian words, floats, linear conversions) in /tmp, reads every record
// and decodes every channel, and in the same run reads the same bytes with
// plain buffered fread. Prints MB/s of both and their ratio (decode over
// fread), the rate of reading the records alone, and the peak memory, which
// must not grow with the file.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "mdfread/MDFFileOp.h"

namespace {

constexpr uint64_t kRecords = 1000000;

struct Writer {
    FILE* file;
    uint64_t position = 0;
    void Bytes(const void* data, size_t n)
    {
        std::fwrite(data, 1, n, file);
        position += n;
    }
    // A little-endian value of n bytes (zeros past the eighth).
    void U(uint64_t v, int n)
    {
        for (int i = 0; i < n; ++i) {
            uint8_t b = i < 8 ? uint8_t(v >> (8 * i)) : 0;
            Bytes(&b, 1);
        }
    }
    void F(double v)
    {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        U(bits, 8);
    }
    void Head(const char* id, uint64_t length, uint64_t links)
    {
        Bytes(id, 4);
        U(0, 4);
        U(length, 8);
        U(links, 8);
    }
};

struct ChannelPlan {
    unsigned type, bitOffset, byteOffset, bits;
    bool linear;
};

// Channel k: a cycle of kinds laid out back to back after the 8-byte time.
std::vector<ChannelPlan> Plan(int channels, unsigned& recordSize)
{
    std::vector<ChannelPlan> plan = {{4, 0, 0, 64, false}};
    unsigned at = 8;
    for (int k = 1; k < channels; ++k) {
        switch (k % 6) {
        case 0: plan.push_back({0, 0, at, 8, false}), at += 1; break;
        case 1: plan.push_back({2, 0, at, 16, true}), at += 2; break;
        case 2: plan.push_back({1, 0, at, 32, false}), at += 4; break;
        case 3: plan.push_back({4, 0, at, 32, false}), at += 4; break;
        case 4: plan.push_back({0, 3, at, 12, true}), at += 2; break;
        default: plan.push_back({3, 1, at, 7, false}), at += 1; break;
        }
    }
    recordSize = at;
    return plan;
}

// Layout: ID, HD, DG, CG, CCs, CNs, DT with all records.
uint64_t Generate(const std::string& path, int channels, uint64_t& dataOffset, uint64_t& dataBytes)
{
    unsigned recordSize;
    std::vector<ChannelPlan> plan = Plan(channels, recordSize);
    Writer w{std::fopen(path.c_str(), "wb")};
    char id[64] = "MDF     4.10    bench";
    std::memset(id + 21, 0, sizeof id - 21);
    id[28] = char(410 & 0xFF), id[29] = char(410 >> 8);
    w.Bytes(id, 64);
    const uint64_t hd = 64, dg = hd + 104, cg = dg + 64, cc = cg + 104;
    const uint64_t ccSize = 24 + 4 * 8 + 24 + 16, cnSize = 24 + 8 * 8 + 72;
    const uint64_t cn = cc + ccSize, dt = cn + cnSize * plan.size();
    w.Head("##HD", 104, 6);
    w.U(dg, 8);
    for (int i = 0; i < 5; ++i)
        w.U(0, 8);
    w.U(1700000000ULL * 1000000000ULL, 8);
    w.U(0, 24);
    w.Head("##DG", 64, 4);
    w.U(0, 8), w.U(cg, 8), w.U(dt, 8), w.U(0, 8), w.U(0, 8);
    w.Head("##CG", 104, 6);
    w.U(0, 8), w.U(cn, 8), w.U(0, 32);
    w.U(0, 8), w.U(kRecords, 8), w.U(0, 8), w.U(recordSize, 4), w.U(0, 4);
    w.Head("##CC", ccSize, 4);
    w.U(0, 32);
    w.U(1, 1), w.U(0, 3), w.U(0, 2), w.U(2, 2), w.U(0, 16);
    w.F(-40), w.F(0.1);
    for (size_t k = 0; k < plan.size(); ++k) {
        const ChannelPlan& c = plan[k];
        w.Head("##CN", cnSize, 8);
        w.U(k + 1 < plan.size() ? cn + cnSize * (k + 1) : 0, 8);
        w.U(0, 24), w.U(c.linear ? cc : 0, 8), w.U(0, 24);
        w.U(k == 0 ? 2 : 0, 1), w.U(k == 0 ? 1 : 0, 1), w.U(c.type, 1), w.U(c.bitOffset, 1);
        w.U(c.byteOffset, 4), w.U(c.bits, 4);
        w.U(0, 72 - 12);
    }
    dataOffset = dt + 24;
    dataBytes = kRecords * recordSize;
    w.Head("##DT", 24 + dataBytes, 0);
    std::vector<uint8_t> record(recordSize);
    uint64_t state = 88172645463325252ULL;
    for (uint64_t i = 0; i < kRecords; ++i) {
        double t = double(i) * 0.001;
        std::memcpy(record.data(), &t, 8);
        for (unsigned b = 8; b < recordSize; ++b) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            record[b] = uint8_t(state);
        }
        w.Bytes(record.data(), recordSize);
    }
    std::fclose(w.file);
    return dataBytes;
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double RawRead(const std::string& path, uint64_t offset, uint64_t bytes)
{
    auto start = std::chrono::steady_clock::now();
    FILE* file = std::fopen(path.c_str(), "rb");
    fseeko64(file, off64_t(offset), SEEK_SET);
    std::vector<char> buffer(1 << 16);
    uint64_t sum = 0, left = bytes;
    while (left > 0) {
        size_t n = std::fread(buffer.data(), 1, std::min<uint64_t>(left, buffer.size()), file);
        if (n == 0)
            break;
        sum += uint8_t(buffer[n - 1]);
        left -= n;
    }
    std::fclose(file);
    double seconds = Seconds(start);
    if (sum == 42)
        std::printf(" ");
    return seconds;
}

double Decode(const std::string& path, double& checksum, bool decodeChannels = true)
{
    auto start = std::chrono::steady_clock::now();
    CMDFFileOp mdf;
    if (!mdf.ReadFile(path)) {
        std::printf("cannot open %s\n", path.c_str());
        return 0;
    }
    std::vector<CCNBlockOp*> channels;
    for (CCNBlockOp* cn = mdf.GetNextChannel(true); cn; cn = mdf.GetNextChannel(false))
        channels.push_back(cn);
    std::vector<unsigned> positions;
    for (CCNBlockOp* cn : channels)
        positions.push_back(cn->GetByteOffset() + cn->GetStartBit() / 8);
    CCGBlockOp* group = channels[0]->GetChannelGroup();
    std::vector<char> record(group->GetDataRecordSize());
    // Values go to a row, as a caller binding them would take them.
    std::vector<double> row(channels.size());
    double sum = 0;
    for (uint64_t i = 0; i < group->GetRecordCount(); ++i) {
        group->ReadRecord(record.data(), i);
        if (!decodeChannels) {
            sum += record[i % record.size()];
            continue;
        }
        for (size_t k = 0; k < channels.size(); ++k)
            row[k] = channels[k]->getValue(record.data() + positions[k]);
        sum += row[i % row.size()];
    }
    checksum = sum;
    return Seconds(start);
}

long PeakKilobytes()
{
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main()
{
    std::printf("%-9s %8s %12s %13s %12s %7s %10s\n", "channels", "MB", "decode MB/s", "records MB/s", "fread MB/s",
                "ratio", "peak KB");
    for (int channels : {10, 100, 500}) {
        std::string path = "/tmp/vantrel_bench_" + std::to_string(getpid()) + ".mf4";
        uint64_t offset, bytes;
        Generate(path, channels, offset, bytes);
        double checksum = 0;
        double raw = RawRead(path, offset, bytes);  // also warms the page cache
        raw = std::min(raw, RawRead(path, offset, bytes));
        double decode = Decode(path, checksum);
        decode = std::min(decode, Decode(path, checksum));
        double records = Decode(path, checksum, false);
        std::remove(path.c_str());
        double mb = double(bytes) / 1e6;
        std::printf("%-9d %8.1f %12.1f %13.1f %12.1f %7.3f %10ld\n", channels, mb, mb / decode, mb / records,
                    mb / raw, raw / decode, PeakKilobytes());
        if (checksum == 0.5)
            std::printf("\n");
    }
    return 0;
}
