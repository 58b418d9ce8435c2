// Writes the MDF files that mdf_files_test.py walks block by block:
//   mdf_golden_writer <scenario> <path>
// Scenarios: golden3, golden4 (several groups, a unit-only channel, a 3-state
// channel, a channel at byte 2 bit 3, a long name, two markers in 4.00),
// edges3, edges4 (limits and caps), empty3, empty4 (no data group).
// Exits 0 when the writer reports no failure, 2 when it does, 1 on bad use.
#include "mdfwrite/MDFFile.h"
#include "mdfwrite/MDFFile_V4.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

class Record {
public:
    explicit Record(size_t size) : m_bytes(size, 0) {}
    void Put(size_t offset, uint64_t value, unsigned bytes)
    {
        for (unsigned i = 0; i < bytes; ++i)
            m_bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    void PutBigEndian(size_t offset, uint64_t value, unsigned bytes)
    {
        for (unsigned i = 0; i < bytes; ++i)
            m_bytes[offset + bytes - 1 - i] = static_cast<uint8_t>(value >> (8 * i));
    }
    void PutDouble(size_t offset, double value)
    {
        uint64_t bits;
        std::memcpy(&bits, &value, 8);
        Put(offset, bits, 8);
    }
    void PutFloat(size_t offset, float value)
    {
        uint32_t bits;
        std::memcpy(&bits, &value, 4);
        Put(offset, bits, 4);
    }
    uint8_t& operator[](size_t i) { return m_bytes[i]; }
    void Write(MDFFile& writer, FILE* fp) { writer.WriteRecord(m_bytes.data(), static_cast<int>(m_bytes.size()), fp); }

private:
    std::vector<uint8_t> m_bytes;
};

MdfChannelInfo Channel(char const* name, uint16_t dataType, uint16_t byteOffset, uint16_t bitCount)
{
    MdfChannelInfo ci;
    ci.name = name;
    ci.dataType = dataType;
    ci.byteOffset = byteOffset;
    ci.bitCount = bitCount;
    return ci;
}

MdfChannelInfo TimeChannel(int bits, uint16_t byteOffset)
{
    MdfChannelInfo ci;
    ci.SetTimeField(bits);
    ci.byteOffset = byteOffset;
    return ci;
}

tm March5th2021()
{
    tm start{};
    start.tm_year = 2021 - 1900;
    start.tm_mon = 2;
    start.tm_mday = 5;
    start.tm_hour = 14;
    start.tm_min = 7;
    start.tm_sec = 9;
    return start;
}

void Add(MDFFile& writer, MdfChannelInfo ci) { writer.AddChannelToPreparedGroup(ci); }

void WriteGolden(MDFFile& writer, FILE* fp, bool v4)
{
    if (v4) {
        auto& writer4 = static_cast<MDFFile_V4&>(writer);
        writer4.AddMarker(MdfMarker("Subset File 1 (10 - 12.5)", "/data/a.db", 0.0));
        writer4.AddMarker(MdfMarker("Marker <2> & 'q'", "", 1.5));
    }
    MdfHeaderInfo info("Proj & <Co>", "Car \"V1\"", "Ann's");
    tm start = March5th2021();
    writer.WriteHeader(info, 3, &start);
    writer.WriteHeaderToFile(fp);

    // Group A: 15-byte records, linear, text-state and unit-only channels.
    writer.PrepareDataGroup(15, 5, 4, "Engine 10ms");
    Add(writer, TimeChannel(64, 0));
    MdfChannelInfo speed = Channel("speed", 0, 8, 16);
    speed.factor = 0.25;
    speed.offset = -10.0;
    speed.unit = "rpm";
    speed.description = "Engine speed | HS CAN";
    speed.precision = 2;
    speed.minValue = 0.0;
    speed.maxValue = 8000.0;
    Add(writer, speed);
    MdfChannelInfo gear = Channel("gear", 0, 10, 8);
    gear.states = {{0.0, "Park"}, {1.0, "Reverse"}, {2.0, "Drive"}};
    gear.description = "Gear lever";
    Add(writer, gear);
    MdfChannelInfo coolant = Channel("coolant", 3, 11, 32);
    coolant.unit = "degC";
    Add(writer, coolant);
    writer.FlushPreparedGroup(fp, false);
    for (int i = 0; i < 5; ++i) {
        Record r(15);
        r.PutDouble(0, i * 0.01);
        r.Put(8, 1000 + 4 * i, 2);
        r[10] = static_cast<uint8_t>(i % 3);
        r.PutFloat(11, 80.5f + i);
        r.Write(writer, fp);
    }
    writer.FinishWritingData(fp);

    // Group B: no name, 14-byte records, a bit field at byte 2 bit 3, a
    // big-endian word, a long name, the time channel not at byte 0.
    writer.PrepareDataGroup(14, 3, 6, nullptr);
    Add(writer, TimeChannel(32, 4));
    MdfChannelInfo word = Channel("be_word", 0, 0, 16);
    word.bigEndian = true;
    Add(writer, word);
    MdfChannelInfo nibble = Channel("nibble", 0, 2, 4);
    nibble.bitOffset = 3;
    Add(writer, nibble);
    MdfChannelInfo longName = Channel("a_channel_name_longer_than_31_characters", 1, 8, 32);
    longName.description = "signed 32-bit";
    Add(writer, longName);
    MdfChannelInfo halved = Channel("halved", 1, 12, 16);
    halved.factor = -0.5;
    Add(writer, halved);
    writer.FlushPreparedGroup(fp, false);
    for (int i = 0; i < 3; ++i) {
        Record r(14);
        r.PutBigEndian(0, 0x1234 + i, 2);
        r[2] = static_cast<uint8_t>(0x80 | (((i + 5) & 0xF) << 3) | 0x5);
        r[3] = 0xAA;
        r.PutFloat(4, 0.5f * i);
        r.Put(8, static_cast<uint32_t>(-100000 + i), 4);
        r.Put(12, static_cast<uint16_t>(-300 + 7 * i), 2);
        r.Write(writer, fp);
    }
    writer.FinishWritingData(fp);

    // Group C, the last: values through WriteValue, and a channel with both
    // states and a linear formula.
    writer.PrepareDataGroup(17, 4, 3, "Last");
    Add(writer, TimeChannel(64, 0));
    MdfChannelInfo square = Channel("square", 4, 8, 64);
    Add(writer, square);
    MdfChannelInfo both = Channel("both", 0, 16, 8);
    both.factor = 2.0;
    both.offset = 1.0;
    both.states = {{1.0, "one"}, {3.0, "three"}};
    Add(writer, both);
    writer.FlushPreparedGroup(fp, true);
    for (int i = 0; i < 4; ++i) {
        double t = 1.0 + i;
        double v = i * i - 0.5;
        writer.WriteValue(&t, 64, fp);
        writer.WriteValue(&v, 0, fp);
        uint8_t raw = static_cast<uint8_t>(i);
        writer.WriteRecord(&raw, 1, fp);
    }
    writer.FinishWritingData(fp);
}

std::string Repeat(char c, size_t count) { return std::string(count, c); }

void WriteEdges3(MDFFile& writer, FILE* fp)
{
    MdfHeaderInfo info(Repeat('p', 40).c_str(), "", Repeat('a', 32).c_str());
    tm start = March5th2021();
    writer.WriteHeader(info, 2, &start);
    writer.WriteHeaderToFile(fp);

    // Byte offsets at and past 8192 go to the additional byte offset.
    writer.PrepareDataGroup(8200, 2, 4, Repeat('g', 70000).c_str());
    Add(writer, TimeChannel(64, 0));
    MdfChannelInfo lastBit = Channel("bit_at_8191_7", 0, 8191, 1);
    lastBit.bitOffset = 7;
    Add(writer, lastBit);
    Add(writer, Channel("word_at_8192", 0, 8192, 16));
    MdfChannelInfo high = Channel("word_at_8198", 1, 8198, 16);
    high.bitOffset = 8;  // only its value modulo 8 counts
    Add(writer, high);
    writer.FlushPreparedGroup(fp, false);
    for (int i = 0; i < 2; ++i) {
        Record r(8200);
        r.PutDouble(0, 0.1 * i);
        r[8191] = static_cast<uint8_t>(i ? 0x80 : 0x7F);
        r.Put(8192, 0xBEEF + i, 2);
        r.Put(8198, static_cast<uint16_t>(-2 - i), 2);
        r.Write(writer, fp);
    }
    writer.FinishWritingData(fp);

    // Texts and tables capped at what the 16-bit sizes hold.
    writer.PrepareDataGroup(16, 1, 5, "caps");
    Add(writer, TimeChannel(64, 0));
    MdfChannelInfo states = Channel("many_states", 0, 8, 16);
    for (int v = 0; v < 1700; ++v)
        states.states[v] = "state " + std::to_string(v) + Repeat('x', 40);
    states.unit = Repeat('u', 25);
    states.description = Repeat('d', 200);
    Add(writer, states);
    Add(writer, Channel("name_of_exactly_31_characters__", 0, 10, 8));
    Add(writer, Channel("name_of_exactly_32_characters___", 0, 11, 8));
    Add(writer, Channel(Repeat('n', 70000).c_str(), 0, 12, 32));
    writer.FlushPreparedGroup(fp, true);
    Record r(16);
    r.PutDouble(0, 2.0);
    r.Put(8, 1234, 2);
    r[10] = 31;
    r[11] = 32;
    r.Put(12, 0xDEADBEEF, 4);
    r.Write(writer, fp);
    writer.FinishWritingData(fp);
}

void WriteEdges4(MDFFile_V4& writer, FILE* fp)
{
    writer.AddMarker(MdfMarker("not a number", "nan", std::nan("")));
    writer.AddMarker(MdfMarker("infinite", "inf", std::numeric_limits<double>::infinity()));
    writer.AddMarker(MdfMarker("negative", "-2.5", -2.5));
    writer.AddMarker(MdfMarker("far", "1e300", 1e300));
    writer.AddMarker(MdfMarker("", "", 0.0000015));
    // A control character, a lone Latin-1 byte, UTF-8 and the characters XML reserves.
    MdfHeaderInfo info("a\x01z \xe9t\xc3\xa9", "<tag attr=\"x\">&'", "");
    tm start = March5th2021();
    writer.WriteHeader(info, 5, &start);
    writer.WriteHeaderToFile(fp);

    // 3 records of 12 bytes: 4 bytes of padding.
    writer.PrepareDataGroup(12, 3, 2, "padded");
    Add(writer, TimeChannel(32, 0));
    MdfChannelInfo value = Channel("value", 4, 4, 64);
    value.precision = -5;  // any negative precision means none
    Add(writer, value);
    writer.FlushPreparedGroup(fp, false);
    for (int i = 0; i < 3; ++i) {
        Record r(12);
        r.PutFloat(0, 0.25f * i);
        r.PutDouble(4, -1.5 * i);
        r.Write(writer, fp);
    }
    writer.FinishWritingData(fp);

    // A group that is prepared and replaced before it is flushed is never
    // written; its place goes to the next one.
    writer.PrepareDataGroup(100, 100, 1, "dropped");
    Add(writer, TimeChannel(64, 0));

    // No records: a bare DT header, no padding.
    writer.PrepareDataGroup(8, 0, 1, nullptr);
    Add(writer, TimeChannel(64, 0));
    writer.FlushPreparedGroup(fp, false);
    writer.FinishWritingData(fp);

    // Fitting, precision, big-endian and string types, capped states.
    writer.PrepareDataGroup(8, 2, 4, "fitted");
    Add(writer, TimeChannel(32, 0));
    MdfChannelInfo moved = Channel("moved", 4, 4, 64);  // moved to byte 0
    moved.precision = 3;
    moved.minValue = -1.0;
    moved.maxValue = 1.0;
    Add(writer, moved);
    MdfChannelInfo text = Channel("text", 7, 6, 16);
    text.bigEndian = true;
    Add(writer, text);
    MdfChannelInfo many = Channel("many", 0, 4, 16);
    for (int v = 0; v < 65536; ++v)
        many.states[v] = "s";
    Add(writer, many);
    writer.FlushPreparedGroup(fp, false);
    for (int i = 0; i < 2; ++i) {
        Record r(8);
        r.PutDouble(0, 3.0 + i);
        r.Write(writer, fp);
    }
    writer.FinishWritingData(fp);

    // 15 bytes of records and no FinishWritingData: preparing the next group
    // still pads this one.
    writer.PrepareDataGroup(5, 3, 1, "unfinished");
    Add(writer, Channel("counter", 0, 0, 16));
    writer.FlushPreparedGroup(fp, false);
    for (int i = 0; i < 3; ++i) {
        Record r(5);
        r.Put(0, 7 + i, 2);
        r.Write(writer, fp);
    }

    // 5 records of 3 bytes, the last group: 15 bytes, 1 byte of padding.
    writer.PrepareDataGroup(3, 5, 2, "last");
    Add(writer, Channel("counter", 0, 0, 16));
    Add(writer, Channel("flag", 0, 2, 1));
    writer.FlushPreparedGroup(fp, true);
    for (int i = 0; i < 5; ++i) {
        Record r(3);
        r.Put(0, 100 + i, 2);
        r[2] = static_cast<uint8_t>(i & 1);
        r.Write(writer, fp);
    }
    writer.FinishWritingData(fp);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <scenario> <path>\n", argv[0]);
        return 1;
    }
    std::string scenario = argv[1];
    bool v4 = !scenario.empty() && scenario.back() == '4';
    FILE* fp = std::fopen(argv[2], "wb");
    if (!fp)
        return 1;
    std::unique_ptr<MDFFile> writer;
    if (v4)
        writer = std::make_unique<MDFFile_V4>();
    else
        writer = std::make_unique<MDFFile>();

    if (scenario == "golden3" || scenario == "golden4") {
        WriteGolden(*writer, fp, v4);
    } else if (scenario == "edges3") {
        WriteEdges3(*writer, fp);
    } else if (scenario == "edges4") {
        WriteEdges4(static_cast<MDFFile_V4&>(*writer), fp);
    } else if (scenario == "empty3" || scenario == "empty4") {
        MdfHeaderInfo info("", "", "");
        writer->WriteHeader(info, 0, nullptr);
        writer->WriteHeaderToFile(fp);
    } else {
        std::fclose(fp);
        return 1;
    }
    bool closed = std::fclose(fp) == 0;
    return writer->HasFailed() || !closed ? 2 : 0;
}
