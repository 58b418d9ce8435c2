#include "MdfGen.h"

#include <cstdio>
#include <cstring>

#include "mdfwrite/MDFFile_V4.h"

namespace dbtest {

namespace {

unsigned ByteWidth(GenChannel const& channel)
{
    return static_cast<unsigned>((channel.bits + 7) / 8);
}

void Put(std::vector<uint8_t>& record, size_t at, GenChannel const& channel, double value)
{
    if (channel.dataType == 3) {
        float f = static_cast<float>(value);
        std::memcpy(&record[at], &f, 4);
    } else if (channel.dataType == 4) {
        std::memcpy(&record[at], &value, 8);
    } else {
        const uint64_t bits = channel.dataType == 1 ? static_cast<uint64_t>(static_cast<int64_t>(value))
                                                    : static_cast<uint64_t>(value);
        for (unsigned i = 0; i < ByteWidth(channel); ++i)
            record[at + i] = static_cast<uint8_t>(bits >> (8 * i));
    }
}

}  // namespace

GenChannel CounterChannel(std::string const& name, int k, size_t records)
{
    GenChannel channel;
    channel.name = name;
    channel.dataType = 0;
    channel.bits = 8;
    for (size_t i = 0; i < records; ++i)
        channel.values.push_back(static_cast<double>((k + i) % 256));
    return channel;
}

bool WriteMdf4(std::string const& path, std::vector<GenGroup> const& groups)
{
    FILE* fp = std::fopen(path.c_str(), "wb");
    if (!fp)
        return false;
    MDFFile_V4 writer;
    MdfHeaderInfo info("dbbuild tests", "", "");
    tm start{};
    start.tm_year = 2024 - 1900;
    start.tm_mon = 2;
    start.tm_mday = 15;
    start.tm_hour = 12;
    start.tm_min = 30;
    start.tm_sec = 45;
    writer.WriteHeader(info, static_cast<unsigned short>(groups.size()), &start);
    writer.WriteHeaderToFile(fp);
    for (size_t g = 0; g < groups.size(); ++g) {
        GenGroup const& group = groups[g];
        size_t size = group.withTime ? 8 : 0;
        std::vector<size_t> offsets;
        for (GenChannel const& channel : group.channels) {
            offsets.push_back(size);
            size += ByteWidth(channel);
        }
        const size_t records = group.times.size();
        writer.PrepareDataGroup(static_cast<unsigned short>(size), static_cast<unsigned>(records),
                                static_cast<unsigned short>(group.channels.size() + 1), group.name.c_str());
        if (group.withTime) {
            MdfChannelInfo time;
            time.SetTimeField(64);
            time.description = group.timeDescription;
            writer.AddChannelToPreparedGroup(time);
        }
        for (size_t k = 0; k < group.channels.size(); ++k) {
            GenChannel const& channel = group.channels[k];
            MdfChannelInfo ci;
            ci.name = channel.name;
            ci.description = channel.description;
            ci.unit = channel.unit;
            ci.dataType = static_cast<uint16_t>(channel.dataType);
            ci.bitCount = static_cast<uint16_t>(channel.bits);
            ci.byteOffset = static_cast<uint16_t>(offsets[k]);
            ci.factor = channel.factor;
            ci.offset = channel.offset;
            ci.states = channel.states;
            writer.AddChannelToPreparedGroup(ci);
        }
        writer.FlushPreparedGroup(fp, g + 1 == groups.size());
        std::vector<uint8_t> record(size);
        for (size_t i = 0; i < records; ++i) {
            std::fill(record.begin(), record.end(), 0);
            if (group.withTime)
                std::memcpy(&record[0], &group.times[i], 8);
            for (size_t k = 0; k < group.channels.size(); ++k)
                Put(record, offsets[k], group.channels[k], group.channels[k].values.at(i));
            if (size)
                writer.WriteRecord(record.data(), static_cast<int>(size), fp);
        }
        writer.FinishWritingData(fp);
    }
    const bool failed = writer.HasFailed();
    return std::fclose(fp) == 0 && !failed;
}

}  // namespace dbtest
