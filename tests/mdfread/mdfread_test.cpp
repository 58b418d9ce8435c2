// The reader beyond the fixture sweep: bit fields of every type, width, shift
// and byte order; the edges of the conversion rules; files laid out by hand
// for what the fixtures' writer cannot produce; damaged and hostile files,
// which fail cleanly and never crash, hang or read outside a buffer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <numeric>
#include <random>

#include "MdfBuilder.h"
#include "mdfread/MDFFileOp.h"
#include "testlib/TestSupport.h"

using namespace mdftest;

namespace {

using Names = std::vector<std::string>;
using Values = std::vector<std::vector<double>>;
using States = std::map<double, std::string>;

uint64_t Bits(double v)
{
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    return bits;
}

// What the reader makes of a file: whether it opens, what it prints, and per
// channel its name, states and the value of every record of its group.
// Reading past the last record must fail with a zero-filled buffer, and
// reading record 0 again must give it again (consistent).
struct Reading {
    bool opened;
    std::string output;
    Names names;
    Values values;
    std::vector<States> states;
    int failedReads = 0;
    bool consistent = true;
    double start;
};

Reading ReadAll(const MdfBuilder& b)
{
    testlib::TempDir dir;
    b.Save(dir.file("file.mdf"));
    testlib::StdoutCapture capture;
    CMDFFileOp mdf;
    Reading r{mdf.ReadFile(dir.file("file.mdf")), "", {}, {}, {}, 0, true, mdf.GetMeasurementStartTimestamp()};
    for (CCNBlockOp* cn = mdf.GetNextChannel(true); cn; cn = mdf.GetNextChannel(false)) {
        CCGBlockOp* group = cn->GetChannelGroup();
        const unsigned long long count = group->GetRecordCount();
        std::vector<char> record(group->GetDataRecordSize());
        auto decode = [&] { return cn->getValue(record.data() + cn->GetByteOffset() + cn->GetStartBit() / 8); };
        r.names.push_back(cn->GetName());
        r.states.push_back(cn->GetStates());
        r.values.emplace_back();
        for (unsigned long long i = 0; i < count; ++i) {
            r.failedReads += !group->ReadRecord(record.data(), i);
            r.values.back().push_back(decode());
        }
        r.consistent &= !group->ReadRecord(record.data(), count) && record == std::vector<char>(record.size(), 0);
        if (count > 0 && group->ReadRecord(record.data(), 0))
            r.consistent &= Bits(decode()) == Bits(r.values.back()[0]);
    }
    r.output = capture.text();
    return r;
}

void Expect(const MdfBuilder& b, const Names& names, const Values& values, int failedReads = 0,
            const char* diagnostic = "")
{
    Reading r = ReadAll(b);
    ASSERT_TRUE(r.opened) << r.output;
    EXPECT_EQ(r.names, names);
    EXPECT_EQ(r.values, values);
    EXPECT_TRUE(r.failedReads == failedReads && r.consistent) << r.failedReads;
    EXPECT_NE(r.output.find(diagnostic), std::string::npos) << r.output;
}

// ---- Bit fields --------------------------------------------------------------------

struct Field {
    unsigned type;  // MDF 4: 0/1 unsigned, 2/3 signed, 4/5 float; odd ones big-endian
    unsigned bits, shift;
};

// The bytes a field spans: v at the shift, every other bit set, a big-endian
// field as one big-endian integer.
Bytes Encode(const Field& f, uint64_t v)
{
    using u128 = unsigned __int128;
    const unsigned count = (f.shift + f.bits + 7) / 8;
    const u128 mask = f.bits == 64 ? ~0ULL : (1ULL << f.bits) - 1;
    const u128 word = (((u128(1) << (8 * count)) - 1) & ~(mask << f.shift)) | ((v & mask) << f.shift);
    Bytes bytes(count);
    for (unsigned i = 0; i < count; ++i)
        bytes[i] = uint8_t(word >> (8 * (f.type % 2 ? count - 1 - i : i)));
    return bytes;
}

// Every field at byte 0 of one 9-byte record; each value at the very end of a
// heap buffer of exactly the bytes it spans, so that an over-read is an ASan
// error. Floats are given by their bits: zero, NaNs, -0.0, the least
// subnormal, random ones.
TEST(BitFields, EveryTypeWidthShiftAndByteOrder)
{
    std::vector<Field> fields;
    for (unsigned type = 0; type < 4; ++type)
        for (unsigned bits : {1, 4, 7, 9, 12, 16, 20, 24, 32, 33, 48, 64})
            for (unsigned shift = 0; shift < 8; ++shift)
                fields.push_back({type, bits, shift});
    for (unsigned type : {4, 5})
        for (unsigned bits : {32, 64})
            fields.push_back({type, bits, 0});
    MdfBuilder b(true);
    const uint64_t hd = b.Hd4(0);
    std::vector<uint64_t> channels;
    for (const Field& f : fields)
        channels.push_back(b.Cn4(b.Tx4("c"), 0, 0, f.type, f.shift, 0, f.bits));
    b.Link4(hd, 0, b.Dg4(b.Cg4(b.Chain4(channels), 0, 0, 9), b.Dt4({})));
    testlib::TempDir dir;
    b.Save(dir.file("fields.mf4"));
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(dir.file("fields.mf4")));
    std::mt19937_64 random(20240315);
    size_t index = 0;
    for (CCNBlockOp* cn = mdf.GetNextChannel(true); cn; cn = mdf.GetNextChannel(false), ++index) {
        const Field& f = fields.at(index);
        SCOPED_TRACE(std::to_string(f.type) + " " + std::to_string(f.bits) + " " + std::to_string(f.shift));
        const bool isSigned = f.type == 2 || f.type == 3, isFloat = f.type >= 4;
        EXPECT_TRUE(cn->IsSigned() == isSigned && cn->IsFloat() == isFloat);
        const uint64_t mask = f.bits == 64 ? ~0ULL : (1ULL << f.bits) - 1;
        std::vector<uint64_t> values = {0, mask, mask >> 1, (mask >> 1) + 1, 1};
        for (int k = 0; k < 20; ++k)
            values.push_back(random() & mask);
        for (uint64_t raw : values) {
            const Bytes encoded = Encode(f, raw);
            std::unique_ptr<char[]> field(new char[encoded.size()]);
            std::memcpy(field.get(), encoded.data(), encoded.size());
            const char* p = field.get();
            if (isFloat) {
                float single;
                double whole;
                std::memcpy(&single, &raw, 4);
                std::memcpy(&whole, &raw, 8);
                const double want = f.bits == 32 ? double(single) : whole;
                EXPECT_TRUE(Bits(cn->GetFloat(p)) == Bits(want) && Bits(cn->getValue(p)) == Bits(want)) << raw;
                continue;
            }
            const uint64_t want = isSigned && f.bits < 64 && (raw >> (f.bits - 1)) & 1 ? raw | ~mask : raw;
            EXPECT_EQ(cn->GetUnsigned(p), want) << raw;
            EXPECT_EQ(uint64_t(cn->GetInteger(p)), want) << raw;
            EXPECT_EQ(cn->getValue(p), isSigned ? double(int64_t(want)) : double(want)) << raw;
        }
    }
    EXPECT_EQ(index, fields.size());
}

// Half-precision floats (MDF 4 types 4 and 5 of 16 bits) in both byte orders: all 65536 bit patterns (signed
// zeros, subnormals, the largest, infinities, NaNs) through each decoding path against the compiler's own
// _Float16 widening. Floats of a width no MDF version defines read 0.
TEST(Floats, HalfPrecisionAndOddWidths)
{
    MdfBuilder b(true);
    const uint64_t hd = b.Hd4(0);
    std::vector<uint64_t> channels;
    for (auto [type, bits] : {std::pair{4, 16}, {5, 16}, {4, 24}, {5, 48}})
        channels.push_back(b.Cn4(b.Tx4("f"), 0, 0, type, 0, 0, bits));
    b.Link4(hd, 0, b.Dg4(b.Cg4(b.Chain4(channels), 0, 0, 8), b.Dt4({})));
    testlib::TempDir dir;
    b.Save(dir.file("floats.mf4"));
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(dir.file("floats.mf4")));
    std::vector<char> bytes(2 * 65536 + 4);  // pattern h at byte 2h, in the channel's byte order
    std::vector<double> batch(65536);
    int index = 0;
    for (CCNBlockOp* cn = mdf.GetNextChannel(true); cn; cn = mdf.GetNextChannel(false), ++index) {
        for (unsigned h = 0; h < 65536; ++h)
            bytes[2 * h + index % 2] = char(h), bytes[2 * h + 1 - index % 2] = char(h >> 8);
        cn->GetValues(bytes.data(), 2, batch.size(), batch.data());
        EXPECT_EQ(cn->DecodesRawValue(), index < 2);
        for (unsigned h = 0; h < 65536; ++h) {
            _Float16 half;
            const uint16_t pattern = uint16_t(h);
            std::memcpy(&half, &pattern, 2);
            const uint64_t want = index < 2 ? Bits(double(half)) : 0;
            const char* p = &bytes[2 * h];
            ASSERT_TRUE(Bits(batch[h]) == want && Bits(cn->getValue(p)) == want && Bits(cn->GetFloat(p)) == want)
                << index << " " << h;
        }
    }
    EXPECT_EQ(index, 4);
}

// ---- Conversion rules: the edges the fixtures do not reach --------------------------

// Channel k of a 10-byte record goes through rule k; a rule that cannot
// convert leaves the raw value.
TEST(ConversionRules, Edges)
{
    MdfBuilder b(true);
    const uint64_t hd = b.Hd4(0);
    const std::vector<uint64_t> rules = {
        b.Cc4(2, {}, {1, 2, 3, 0, 0, 0}),       // a rational rule whose denominator is 0
        b.Cc4(5, {}, {0, 0, NAN, 5, 10, 100}),  // nearest key, a tie to the lower; a NaN key is skipped
        b.Cc4(4, {}, {}),                       // a table without keys
        b.Cc4(7, {b.Tx4("Off"), b.Tx4("On"), b.Tx4("Error")}, {0, 1}),  // the default key is 2
        b.Cc4(7, {b.Tx4("Off"), b.Tx4("")}, {0}),  // an empty default text is no default
        // A value in no range takes the default index, a state of no text: as
        // itself it would read as the state of the index it equals.
        b.Cc4(8, {b.Tx4("Off"), b.Tx4("")}, {0, 0}),
        b.Cc4(8, {0, b.Tx4("Mid"), b.Tx4("High"), b.Tx4("Other")}, {0, 9, 10, 19, 20, 29}),  // a range's position
        b.Cc4(8, {b.Tx4("low"), b.Tx4("mid"), 0}, {10, 11, 12, 13}),  // no default at all
        b.Cc4(8, {b.Cc4(1, {}, {100, 1})}, {0, 9}),  // no state to take for: a value in no range stays
        b.Cc4(8, {b.Cc4(1, {}, {100, 1}), b.Tx4("Other")}, {0, 9}),  // the default text is the only state: 0
    };
    std::vector<uint64_t> channels;
    for (uint32_t k = 0; k < rules.size(); ++k)
        channels.push_back(b.Cn4(b.Tx4("r" + std::to_string(k)), 0, 0, 0, 0, k, 8, rules[k]));
    const Bytes records = {7, 5, 1, 1, 7, 7, 15, 0, 5, 5,  0, 6, 2, 7, 0, 0, 25, 12, 20, 20,  // records 0 and 1
                           1, 0, 3, 0, 7, 7, 5, 3, 0, 9,  2, 20, 4, 1, 0, 0, 40, 10, 9, 10};
    b.Link4(hd, 0, b.Dg4(b.Cg4(b.Chain4(channels), 0, 4, 10), b.Dt4(records)));
    Reading r = ReadAll(b);
    EXPECT_EQ(r.values, (Values{{7, 0, 1, 2}, {0, 100, 0, 100}, {1, 2, 3, 4}, {1, 2, 0, 1}, {7, 0, 7, 0},
                                {1, 0, 1, 0}, {1, 2, 5, 3}, {2, 1, 2, 0}, {105, 20, 100, 109}, {105, 0, 109, 0}}));
    const States off = {{0, "Off"}};
    EXPECT_EQ(r.states, (std::vector<States>{{}, {}, {}, {{0, "Off"}, {1, "On"}, {2, "Error"}}, off, off,
                                              {{1, "Mid"}, {2, "High"}, {3, "Other"}}, {{0, "low"}, {1, "mid"}}, {},
                                              {{0, "Other"}}}));
}

// ---- Sound files laid out by hand, and the damage the reader must survive -----------

// MDF 4: a value-to-text table with a nested default, a linear time channel
// and, behind every block the open needs, a data list of two data blocks
// that record 2 straddles. MDF 3, big-endian: a comment, a range table
// (entries in file order: the default Other, [0, 9] Low, [10, 20] High).
struct Sound {
    MdfBuilder b{true};
    uint64_t hd, dg, cg, time, state, cc, dl = 0, dt1 = 0, data = 0;
    uint64_t structureEnd;
};

Sound Mdf4()
{
    Sound s;
    MdfBuilder& b = s.b;
    s.hd = b.Hd4(0);
    s.cc = b.Cc4(7, {b.Tx4("Off"), b.Tx4("On"), b.Cc4(1, {}, {1.0, 2.0})}, {0, 1});
    s.state = b.Cn4(b.Tx4("state"), 0, 0, 0, 0, 4, 8, s.cc);
    s.time = b.Chain4({b.Cn4(b.Tx4("time"), 2, 1, 0, 0, 0, 32, b.Cc4(1, {}, {0.0, 0.001})), s.state});
    s.cg = b.Cg4(s.time, 0, 6, 5);
    s.dg = b.Dg4(s.cg, 0);
    b.Link4(s.hd, 0, s.dg);
    s.structureEnd = b.size();
    Bytes records;
    for (int i = 0; i < 6; ++i)
        Add(records, {LE(i * 10, 4), LE(i % 3, 1)});
    s.dt1 = b.Dt4(Bytes(records.begin(), records.begin() + 12));
    s.dl = b.Dl4(0, {s.dt1, b.Dt4(Bytes(records.begin() + 12, records.end()))});
    b.Link4(s.dg, 2, s.dl);
    return s;
}

Sound Mdf3()
{
    Sound s;
    MdfBuilder& b = s.b = MdfBuilder(false, true);
    s.hd = b.Hd3("01:02:2020", "03:04:05");
    b.Link3(s.hd, 8, b.Tx3("Recorder\nTimestamp: 12.5"));
    s.cc = b.Block3("CC", 46 + 3 * 20);
    b.U16(s.cc + 42, 12);
    b.U16(s.cc + 44, 3);
    const char* texts[] = {"Other", "Low", "High"};
    for (int i = 0; i < 3; ++i) {
        b.U64(s.cc + 46 + 20 * i, Bits(i == 2 ? 10 : 0));
        b.U64(s.cc + 54 + 20 * i, Bits(i == 2 ? 20 : 9));
        b.Link3(s.cc, 62 + 20 * i, b.Tx3(texts[i]));
    }
    s.time = b.Cn3("time", true, 0, 16, 0);
    s.state = b.Cn3("range", false, 16, 8, 0, s.cc);
    b.Link3(s.time, 4, s.state);
    s.cg = b.Cg3(s.time, 0, 3, 4);
    s.dg = b.Dg3(s.cg, 0);
    b.Link3(s.hd, 4, s.dg);
    s.structureEnd = b.size();
    s.data = b.Append({0, 0, 3, 0, 1, 15, 0, 2, 30, 0, 3, 9});
    b.Link3(s.dg, 16, s.data);
    return s;
}

// The date of an MDF 3 header gives the start time (local time), a comment's
// "Timestamp:" line only without a date.
TEST(SoundFiles, Decode)
{
    testlib::ScopedEnv tz("TZ", "UTC");
    Expect(Mdf4().b, {"time", "state"},
           {{0, 10 * 0.001, 20 * 0.001, 30 * 0.001, 40 * 0.001, 50 * 0.001}, {0, 1, 5, 0, 1, 5}});
    Expect(Mdf3().b, {"time", "range"}, {{0, 1, 2, 3}, {1, 0, 2, 1}});
    Reading r = ReadAll(Mdf3().b);
    EXPECT_EQ(r.states[1], (States{{0, "High"}, {1, "Low"}, {2, "Other"}}));
    std::tm when = {};
    when.tm_year = 120, when.tm_mon = 1, when.tm_mday = 1, when.tm_hour = 3, when.tm_min = 4, when.tm_sec = 5;
    EXPECT_EQ(r.start, double(timegm(&when)) - 1167609600.0);
    Sound s = Mdf3();
    s.b.Text(s.hd + 18, std::string(18, '\0'));
    EXPECT_EQ(ReadAll(s.b).start, 12.5);
}

TEST(SoundFiles, RecordIdsAndUnsortedGroups)
{
    // MDF 3 with two ids per record (id, data, id): a (2 bytes, id 1), c (1 byte, id 2).
    MdfBuilder two(false);
    uint64_t hd = two.Hd3();
    const uint64_t cg = two.Cg3(two.Cn3("a", false, 0, 16, 0), 1, 2, 3);
    two.Link3(cg, 4, two.Cg3(two.Cn3("c", false, 0, 8, 0), 2, 1, 2));
    two.Link3(hd, 4, two.Dg3(cg, two.Append({1, 10, 0, 1, 2, 50, 2, 1, 11, 0, 1, 1, 12, 0, 1, 2, 51, 2}), 2));
    Expect(two, {"a", "c"}, {{10, 11, 12}, {50, 51}});
    // MDF 3 with one id, and an old 218-byte channel block.
    MdfBuilder one(false);
    hd = one.Hd3();
    const uint64_t v = one.Cn3("v", false, 0, 16, 0, 0, 218);
    one.Link3(hd, 4, one.Dg3(one.Cg3(v, 7, 2, 3), one.Append({7, 1, 0, 7, 2, 0, 7, 3, 0}), 1));
    Expect(one, {"v"}, {{1, 2, 3}});
    // MDF 4 unsorted, ids of one byte: a (3 bytes, id 1), c (signed byte, id 2);
    // an id no group has fails the reads that meet it.
    for (uint8_t stray : {1, 9}) {
        MdfBuilder b(true);
        hd = b.Hd4(0);
        const uint64_t a = b.Chain4({b.Cg4(b.Cn4(b.Tx4("a"), 0, 0, 0, 0, 0, 24), 1, 2, 3),
                                     b.Cg4(b.Cn4(b.Tx4("c"), 0, 0, 2, 0, 0, 8), 2, 3, 1)});
        b.Link4(hd, 0, b.Dg4(a, b.Dt4({2, 0xFF, stray, 1, 2, 3, 2, 0xFE, 1, 4, 5, 6, 2, 0xFD}), 1));
        Expect(b, {"a", "c"}, stray == 1 ? Values{{0x030201, 0x060504}, {-1, -2, -3}} : Values{{0, 0}, {-1, 0, 0}},
               stray == 1 ? 0 : 4, stray == 1 ? "" : "unknown record id");
    }
}

// The channel cursor belongs to each file object.
TEST(SoundFiles, ChannelCursorBelongsToEachFile)
{
    testlib::TempDir dir;
    Mdf4().b.Save(dir.file("f.mf4"));
    CMDFFileOp one, two;
    ASSERT_TRUE(one.ReadFile(dir.file("f.mf4")) && two.ReadFile(dir.file("f.mf4")));
    EXPECT_EQ(one.GetNextChannel(false), nullptr);  // not started
    CCNBlockOp* first = one.GetNextChannel(true);
    ASSERT_TRUE(two.GetNextChannel(true) && two.GetNextChannel(false));
    EXPECT_EQ(one.GetNextChannel(false), first->GetNextCN());
    EXPECT_EQ(one.GetNextChannel(false), nullptr);
    EXPECT_EQ(one.GetNextChannel(true), first);
}

TEST(DamagedFiles, TruncatedAtEveryByte)
{
    for (const Sound& s : {Mdf4(), Mdf3()})
        for (uint64_t length = 0; length < s.b.size(); ++length) {
            MdfBuilder cut = s.b;
            cut.bytes.resize(length);
            Reading r = ReadAll(cut);
            EXPECT_TRUE(r.opened == (length >= s.structureEnd) && r.failedReads == 0 && r.consistent) << length;
        }
}

// Each damage fails the open (records -1), or leaves a file whose first
// channel has that many records (-2: no channel at all) and says why.
TEST(DamagedFiles, EveryDamageFailsCleanly)
{
    struct Damage {
        bool mdf4;
        std::function<void(Sound&)> apply;
        long long records;
        std::string diagnostic;
    };
    std::vector<Damage> damages = {
        // Chains that loop, also through nested conversions, and data read twice.
        {true, [](Sound& s) { s.b.Link4(s.dg, 0, s.dg); }, -1, "loops"},
        {true, [](Sound& s) { s.b.Link4(s.cg, 0, s.cg); }, -1, "loops"},
        {true, [](Sound& s) { s.b.Link4(s.state, 0, s.time); }, -1, "loops"},
        {true, [](Sound& s) { s.b.Link4(s.dl, 0, s.dl); }, -1, "loops"},
        {false, [](Sound& s) { s.b.Link3(s.state, 4, s.time); }, -1, "loops"},
        {true, [](Sound& s) { s.b.Link4(s.cc, 6, s.cc); }, -1, "nested in a loop"},
        {true, [](Sound& s) { s.b.Link4(s.cc, 6, s.b.Cc4(7, {0, 0, s.cc}, {0, 1})); }, -1, "nested in a loop"},
        {true, [](Sound& s) {
             uint64_t inner = s.b.Cc4(1, {}, {1, 2});
             for (int i = 0; i < CCCBlockOp::MaxNesting + 2; ++i)
                 inner = s.b.Cc4(7, {0, inner}, {0});
             s.b.Link4(s.cc, 6, inner);
         }, -1, "too deep"},
        {true, [](Sound& s) {
             const uint64_t cg = s.b.Cg4(s.b.Cn4(s.b.Tx4("t"), 2, 1, 0, 0, 0, 32), 0, 3, 4);
             s.b.Link4(s.dg, 0, s.b.Dg4(cg, s.dt1));
         }, -1, "already read for another data group"},
        {false, [](Sound& s) {
             const uint64_t cg = s.b.Cg3(s.b.Cn3("t", true, 0, 16, 0), 0, 2, 2);
             s.b.Link3(s.dg, 4, s.b.Dg3(cg, s.data + 2));
         }, -1, "already read for another data group"},
        // Sizes and counts no block or file holds.
        {true, [](Sound& s) { s.b.U32(s.cg + 24 + 6 * 8 + 24, 0xFFFFFFF0u); }, -1, "larger than the file"},
        {true, [](Sound& s) { s.b.U16(s.cc + 24 + 7 * 8 + 6, 0xFFFF); }, -1, "more references or values"},
        {true, [](Sound& s) { s.b.U16(s.cc + 24 + 7 * 8 + 4, 40); }, -1, "more references or values"},
        {true, [](Sound& s) { s.b.U64(s.time + 16, 1000); }, -1, "Channel block cannot be read"},
        {true, [](Sound& s) { s.b.Link4(s.hd, 0, 0); }, -1, "without data groups"},
        {true, [](Sound& s) { s.b.U64(s.cg + 24 + 6 * 8 + 8, ~0ULL); }, 6, "more records than its data holds"},
        {false, [](Sound& s) { s.b.U16(s.cc + 44, 0xFFFF); }, 4, ""},
        {false, [](Sound& s) { s.b.bytes.resize(s.b.size() - 4); }, 2, "more records than its data holds"},
        // Channels outside their record are left out.
        {true, [](Sound& s) { s.b.Link4(s.state, 0, s.b.Cn4(s.b.Tx4("part"), 0, 0, 0, 1, 4, 16)); }, 6,
         "MDF channel part lies outside its record"},
        {true, [](Sound& s) { s.b.Link4(s.state, 0, s.b.Cn4(s.b.Tx4("far"), 0, 0, 4, 0, 0xFFFFFFF0u, 64)); }, 6,
         "MDF channel far lies outside its record"},
        // Data that cannot be read: the group has no records, the file opens;
        // a data group without data has no channels.
        {true, [](Sound& s) { s.b.U32(s.dl + 24 + 3 * 8 + 4, 1000); }, 0, "lists more blocks than it links"},
        {true, [](Sound& s) { s.b.U64(s.dl + 16, 0); }, 0, "cannot be read"},
        {true, [](Sound& s) { s.b.U64(s.dt1 + 8, 1ULL << 50); }, 0, "does not fit in the file"},
        {true, [](Sound& s) { s.b.Link4(s.dl, 1, 0); }, 0, "outside the file"},
        {true, [](Sound& s) { s.b.Link4(s.dg, 2, s.b.size() + 100); }, 0, "outside the file"},
        {true, [](Sound& s) { s.b.bytes[s.dg + 24 + 4 * 8] = 3; }, 0, "record id size 3"},
        {true, [](Sound& s) { s.b.Link4(s.cg, 0, s.b.Cg4(s.b.Cn4(s.b.Tx4("c"), 0, 0, 0, 0, 0, 8), 0, 1, 5)); }, 0,
         "several channel groups share data without record ids"},
        {true, [](Sound& s) { s.b.Link4(s.dg, 2, 0); }, -2, ""},
    };
    for (const char* id : {"##DZ", "##HL", "##SD", "##DV"}) {
        damages.push_back({true, [id](Sound& s) { s.b.Text(s.dt1, id); }, 0, std::string("data in ") + id});
        damages.push_back({true, [id](Sound& s) {
                               s.b.Text(s.dt1, id);
                               s.b.Link4(s.dg, 2, s.dt1);
                           }, 0, id});
    }
    // Identifications that are not exactly "MDF     ".
    for (const char* id : {"MDF    \0", "MDF    4", "mdf     ", "MDF\t    "})
        damages.push_back({true, [id](Sound& s) { s.b.Text(0, std::string(id, 8)); }, -1, ""});
    // Lengths below the head or beyond the file, and too few links; a
    // damaged channel or conversion fails its channel group, which says so.
    auto inChannel = [](uint64_t Sound::*block) {
        return block == &Sound::time || block == &Sound::cc ? "Channel block cannot be read" : "";
    };
    for (uint64_t Sound::*block : {&Sound::hd, &Sound::dg, &Sound::cg, &Sound::time, &Sound::cc}) {
        for (uint64_t length : {0ULL, 16ULL, 23ULL, 1ULL << 40, ~0ULL})
            damages.push_back({true, [=](Sound& s) { s.b.U64(s.*block + 8, length); }, -1, inChannel(block)});
        const uint64_t links = block == &Sound::time ? 7 : block == &Sound::dg || block == &Sound::cc ? 3 : 5;
        damages.push_back({true, [=](Sound& s) { s.b.U64(s.*block + 16, links); }, -1, inChannel(block)});
    }
    for (uint64_t Sound::*block : {&Sound::dg, &Sound::cg, &Sound::time, &Sound::cc})
        for (uint64_t size : {0ULL, 3ULL, 20ULL, 0xFFFFULL})
            damages.push_back({false, [=](Sound& s) { s.b.U16(s.*block + 2, size); }, -1, inChannel(block)});

    for (const Damage& damage : damages) {
        Sound s = damage.mdf4 ? Mdf4() : Mdf3();
        damage.apply(s);
        Reading r = ReadAll(s.b);
        const long long records = !r.opened ? -1 : r.values.empty() ? -2 : (long long)r.values[0].size();
        EXPECT_EQ(records, damage.records) << &damage - damages.data() << ": " << r.output;
        EXPECT_NE(r.output.find(damage.diagnostic), std::string::npos) << r.output;
        EXPECT_TRUE(r.failedReads == 0 && r.consistent) << &damage - damages.data();
    }
}

// Tables that reference the next level's table 24 times over, 8 levels deep:
// 24^8 paths, yet every block is read once and the file opens at once.
TEST(DamagedFiles, NestedTablesAreReadOncePerFile)
{
    Sound s = Mdf4();
    uint64_t inner = s.b.Cc4(7, {s.b.Tx4("A"), s.b.Tx4("B")}, {0, 1});
    std::vector<double> keys(24);
    for (int k = 0; k < 24; ++k)
        keys[k] = k + 2;
    for (int level = 0; level < CCCBlockOp::MaxNesting; ++level)
        inner = s.b.Cc4(7, std::vector<uint64_t>(keys.size(), inner), keys);
    s.b.Link4(s.state, 4, inner);
    EXPECT_EQ(ReadAll(s.b).states.at(1), (States{{0, "A"}, {1, "B"}}));
    // Shared blocks still merge their states into each table that references
    // them, a work that grows with the square of the file's size: a table
    // that references one of 1000 states 2000 times is refused.
    Sound t = Mdf4();
    std::vector<uint64_t> texts;
    std::vector<double> thousand, twoThousand(2000);
    for (int k = 0; k < 1000; ++k) {
        texts.push_back(t.b.Tx4("s" + std::to_string(k)));
        thousand.push_back(k);
    }
    std::iota(twoThousand.begin(), twoThousand.end(), 0.0);
    t.b.Link4(t.state, 4, t.b.Cc4(7, std::vector<uint64_t>(2000, t.b.Cc4(7, texts, thousand)), twoThousand));
    const Reading refused = ReadAll(t.b);
    EXPECT_TRUE(!refused.opened && refused.output.find("more work than the file's size allows") != std::string::npos)
        << refused.output;
}

}  // namespace
