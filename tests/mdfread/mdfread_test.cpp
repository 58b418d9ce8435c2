// The reader on its own, beyond the fixture sweep: bit fields of every type,
// width, shift and byte order; the conversion rules; files laid out by hand
// for what the fixtures' writer cannot produce; and damaged or hostile files,
// which fail cleanly (a false result, or a group whose data is refused) and
// never crash, hang or read outside a buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
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
// channel its name and the value of every record of its group. Reading past
// the last record must fail with a zero-filled buffer, and reading record 0
// again must give it again (consistent).
struct Reading {
    bool opened = false;
    std::string output;
    Names names;
    Values values;
    int failedReads = 0;
    bool consistent = true;
    double start = 0;
};

Reading ReadAll(const MdfBuilder& b)
{
    testlib::TempDir dir;
    b.Save(dir.file("file.mdf"));
    Reading r;
    testlib::StdoutCapture capture;
    CMDFFileOp mdf;
    r.opened = mdf.ReadFile(dir.file("file.mdf"));
    r.start = mdf.GetMeasurementStartTimestamp();
    for (CCNBlockOp* cn = mdf.GetNextChannel(true); cn; cn = mdf.GetNextChannel(false)) {
        CCGBlockOp* group = cn->GetChannelGroup();
        const unsigned long long count = group->GetRecordCount();
        std::vector<char> record(group->GetDataRecordSize());
        auto decode = [&] { return cn->getValue(record.data() + cn->GetByteOffset() + cn->GetStartBit() / 8); };
        r.names.push_back(cn->GetName());
        r.values.emplace_back();
        for (unsigned long long i = 0; i < count; ++i) {
            r.failedReads += !group->ReadRecord(record.data(), i);
            r.values.back().push_back(decode());
        }
        r.consistent &= !group->ReadRecord(record.data(), count) &&
                        std::all_of(record.begin(), record.end(), [](char c) { return c == 0; });
        if (count > 0 && group->ReadRecord(record.data(), 0))
            r.consistent &= Bits(decode()) == Bits(r.values.back()[0]);
    }
    r.output = capture.text();
    return r;
}

// ---- Bit fields ----------------------------------------------------------------

struct Field {
    unsigned type;  // MDF 4: 0/1 unsigned, 2/3 signed, 4/5 float; odd ones big-endian
    unsigned bits, shift;
};

// The bytes a field spans: v at the shift, every other bit set, a big-endian
// field as one big-endian integer.
std::vector<uint8_t> Encode(const Field& f, uint64_t v)
{
    using u128 = unsigned __int128;
    const unsigned count = (f.shift + f.bits + 7) / 8;
    const u128 mask = f.bits == 64 ? ~0ULL : (1ULL << f.bits) - 1;
    const u128 word = (((u128(1) << (8 * count)) - 1) & ~(mask << f.shift)) | ((v & mask) << f.shift);
    std::vector<uint8_t> bytes(count);
    for (unsigned i = 0; i < count; ++i)
        bytes[i] = uint8_t(word >> (8 * (f.type % 2 ? count - 1 - i : i)));
    return bytes;
}

// Every field in one group, each at byte 0 of a 9-byte record; each value at
// the very end of a heap buffer of exactly the bytes it spans, so that an
// over-read is an ASan error.
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
    for (size_t k = 1; k < channels.size(); ++k)
        b.Link4(channels[k - 1], 0, channels[k]);
    b.Link4(hd, 0, b.Dg4(b.Cg4(channels[0], 0, 0, 9), b.Dt4({})));
    testlib::TempDir dir;
    b.Save(dir.file("fields.mf4"));
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(dir.file("fields.mf4")));

    std::mt19937_64 random(20240315);
    size_t index = 0;
    for (CCNBlockOp* cn = mdf.GetNextChannel(true); cn; cn = mdf.GetNextChannel(false), ++index) {
        const Field& f = fields.at(index);
        SCOPED_TRACE("type " + std::to_string(f.type) + " bits " + std::to_string(f.bits) + " shift " +
                     std::to_string(f.shift));
        const bool isSigned = f.type == 2 || f.type == 3, isFloat = f.type >= 4;
        EXPECT_EQ(cn->IsSigned(), isSigned);
        EXPECT_EQ(cn->IsFloat(), isFloat);
        // Floats by their bits: zero, NaNs, -0.0, the least subnormal, random.
        const uint64_t mask = f.bits == 64 ? ~0ULL : (1ULL << f.bits) - 1;
        std::vector<uint64_t> values = {0, mask, mask >> 1, (mask >> 1) + 1, 1};
        for (int k = 0; k < 20; ++k)
            values.push_back(random() & mask);
        for (uint64_t raw : values) {
            const std::vector<uint8_t> encoded = Encode(f, raw);
            std::unique_ptr<char[]> field(new char[encoded.size()]);
            std::memcpy(field.get(), encoded.data(), encoded.size());
            const char* p = field.get();
            if (isFloat) {
                float single;
                double whole;
                std::memcpy(&single, &raw, 4);
                std::memcpy(&whole, &raw, 8);
                const double want = f.bits == 32 ? double(single) : whole;
                EXPECT_EQ(Bits(cn->GetFloat(p)), Bits(want)) << raw;
                EXPECT_EQ(Bits(cn->getValue(p)), Bits(want)) << raw;
                continue;
            }
            uint64_t want = raw;
            if (isSigned && f.bits < 64 && (raw >> (f.bits - 1)) & 1)
                want |= ~mask;
            EXPECT_EQ(cn->GetUnsigned(p), want) << raw;
            EXPECT_EQ(uint64_t(cn->GetInteger(p)), want) << raw;
            EXPECT_EQ(cn->getValue(p), isSigned ? double(int64_t(want)) : double(want)) << raw;
        }
    }
    EXPECT_EQ(index, fields.size());
}

// ---- Conversion rules --------------------------------------------------------------

TEST(ConversionRules, FormulasAndTablesWithTheirEdges)
{
    double p7[7] = {1000, 1, 0, 0, 0, 1, 0}, p6[6] = {1, 2, 3, 0, 0, 0};
    CLinear linear(10, 0.5);
    CExponential exponential;
    CLogarithmic logarithmic;
    CRational rational;
    CPolynomial polynomial;  // every parameter 0: the denominator is 0
    CTextFormula formula;
    exponential.SetParameter(p7, 7);
    logarithmic.SetParameter(p7, 7);
    rational.SetParameter(p6, 6);
    CValue2Value interpolate(0), nearest(1), lower(2), empty(0);
    for (CValue2Value* table : {&interpolate, &nearest, &lower}) {
        table->AddKeyValue(0, 0);
        table->AddKeyValue(10, 100);
        table->AddKeyValue(NAN, 5);  // skipped
    }
    CValueRange2ValTab ranges;
    ranges.AddValueTable(0, 99, 1.5);
    ranges.AddValueTable(100, 199, 2.5);
    ranges.SetDefaultVal(-1);
    CValue2Tabular texts, emptyDefault;
    texts.AddConversion(0, "Off", false);
    texts.AddConversion(1, "On", false);
    texts.AddConversion(0, "Error", true);
    emptyDefault.AddConversion(0, "Off", false);
    emptyDefault.AddConversion(0, "", true);  // an empty default text is no default
    CValueRange2Tabular rangeTexts, rangeEmptyDefault;
    rangeTexts.AddRange(0, 9);  // position 0 has no text: cannot convert
    rangeTexts.AddRange(10, 19);
    rangeTexts.SetText(1, "Mid");
    rangeTexts.AddConversion(20, 29, "High");
    rangeTexts.SetDefault("Other");
    rangeEmptyDefault.AddConversion(0, 0, "Off");
    rangeEmptyDefault.SetDefault("");
    struct Row {
        CConversionType* rule;
        double in, out;
        bool converted;
    } const rows[] = {
        {&linear, 4, 12, true}, {&rational, 7, 7, false}, {&polynomial, 7, 7, false}, {&formula, 3, 3, false},
        {&exponential, 2000, std::log(2.0), true}, {&logarithmic, 2000, std::exp(2.0), true},
        {&interpolate, 5, 50, true}, {&nearest, 4, 0, true}, {&nearest, 5, 0, true}, {&nearest, 6, 100, true},
        {&lower, 9, 0, true}, {&interpolate, -3, 0, true}, {&nearest, -3, 0, true}, {&lower, 20, 100, true},
        {&interpolate, 20, 100, true}, {&empty, 1, 1, false}, {&ranges, 0, 1.5, true}, {&ranges, 99, 1.5, true},
        {&ranges, 100, 2.5, true}, {&ranges, 250, -1, true}, {&texts, 1, 1, true}, {&texts, 7, 2, true},
        {&emptyDefault, 7, 7, true}, {&rangeEmptyDefault, 7, 7, true}, {&rangeTexts, 15, 1, true},
        {&rangeTexts, 25, 2, true}, {&rangeTexts, 5, 5, false}, {&rangeTexts, 40, 3, true},
    };
    for (const Row& row : rows) {
        double v = row.in;
        EXPECT_EQ(row.rule->GetPhyVal(v), row.converted) << &row - rows;
        EXPECT_DOUBLE_EQ(v, row.out) << &row - rows;
    }
    double slope = 0, offset = 0;
    EXPECT_TRUE(linear.GetLinearFormula(slope, offset) && slope == 0.5 && offset == 10);
    EXPECT_FALSE(rational.GetLinearFormula(slope, offset));
    EXPECT_EQ(texts.GetStates(), (States{{0, "Off"}, {1, "On"}, {2, "Error"}}));
    EXPECT_EQ(emptyDefault.GetStates(), (States{{0, "Off"}}));
    EXPECT_EQ(rangeEmptyDefault.GetStates(), (States{{0, "Off"}}));
    EXPECT_EQ(rangeTexts.GetStates(), (States{{1, "Mid"}, {2, "High"}, {3, "Other"}}));
}

// ---- Files laid out by hand -------------------------------------------------------

void Expect(const MdfBuilder& b, const Names& names, const Values& values, const char* diagnostic = "",
            int failedReads = 0)
{
    Reading r = ReadAll(b);
    ASSERT_TRUE(r.opened) << r.output;
    EXPECT_EQ(r.names, names);
    EXPECT_EQ(r.values, values);
    EXPECT_EQ(r.failedReads, failedReads);
    EXPECT_TRUE(r.consistent);
    EXPECT_NE(r.output.find(diagnostic), std::string::npos) << r.output;
}

// Every field of a big-endian MDF 3 file is reversed, except those of the
// explicitly little-endian type 13; the date gives the start time.
TEST(HandLaidFiles, BigEndianMdf3)
{
    testlib::ScopedEnv tz("TZ", "UTC");
    MdfBuilder b(false, true);
    const uint64_t hd = b.Hd3("05:12:2026", "13:45:10");
    const uint64_t cn[] = {b.Cn3("time", true, 0, 64, 3), b.Cn3("u16", false, 64, 16, 0),
                           b.Cn3("packed12", false, 84, 12, 0), b.Cn3("s16 ", false, 96, 16, 1, b.Cc3(0, {10, 0.5})),
                           b.Cn3("le16", false, 112, 16, 13)};
    for (int k = 1; k < 5; ++k)
        b.Link3(cn[k - 1], 4, cn[k]);
    b.Link3(cn[4], 218, b.Tx3("a_long_name_beyond_thirty_two_characters"));
    std::vector<uint8_t> data;
    for (uint64_t i = 0; i < 3; ++i) {
        // 12 bits at bit 4 of a big-endian word whose other bits are set.
        for (auto [v, n] : {std::pair<uint64_t, int>{Bits(0.5 * i), 8}, {0x1234 + i, 2}, {(0xABC - i) << 4 | 0xF, 2},
                            {uint16_t(-2 - int(i)), 2}, {0x0102, 2}})
            for (int k = n - 1; k >= 0; --k)
                data.push_back(uint8_t(v >> (8 * k)));
    }
    b.Link3(hd, 4, b.Dg3(b.Cg3(cn[0], 0, 16, 3), b.Append(data)));
    Expect(b, {"time", "u16", "packed12", "s16 ", "a_long_name_beyond_thirty_two_characters"},
           {{0, 0.5, 1}, {0x1234, 0x1235, 0x1236}, {0xABC, 0xABB, 0xABA}, {9, 8.5, 8}, {0x0201, 0x0201, 0x0201}});
    std::tm when = {};
    when.tm_year = 126, when.tm_mon = 11, when.tm_mday = 5, when.tm_hour = 13, when.tm_min = 45, when.tm_sec = 10;
    EXPECT_EQ(ReadAll(b).start, double(timegm(&when)) - 1167609600.0);
}

TEST(HandLaidFiles, Mdf3CommentTimestampAppliesOnlyWithoutDate)
{
    testlib::ScopedEnv tz("TZ", "UTC");
    for (bool withDate : {false, true}) {
        MdfBuilder b(false);
        const uint64_t hd = b.Hd3(withDate ? "01:01:2007" : "", withDate ? "00:00:10" : "");
        b.Link3(hd, 8, b.Tx3("Recorder\nTimestamp:123.5\n"));
        b.Link3(hd, 4, b.Dg3(b.Cg3(b.Cn3("x", false, 0, 8, 0), 0, 1, 1), b.Append({7})));
        EXPECT_EQ(ReadAll(b).start, withDate ? 10.0 : 123.5);
    }
}

TEST(HandLaidFiles, RecordIdsAndUnsortedGroups)
{
    // MDF 3 with two ids per record, id data id: a (2 bytes, id 1), c (1 byte, id 2).
    MdfBuilder two(false);
    uint64_t hd = two.Hd3();
    uint64_t cg = two.Cg3(two.Cn3("a", false, 0, 16, 0), 1, 2, 3);
    two.Link3(cg, 4, two.Cg3(two.Cn3("c", false, 0, 8, 0), 2, 1, 2));
    two.Link3(hd, 4, two.Dg3(cg, two.Append({1, 10, 0, 1, 2, 50, 2, 1, 11, 0, 1, 1, 12, 0, 1, 2, 51, 2}), 2));
    Expect(two, {"a", "c"}, {{10, 11, 12}, {50, 51}});
    // MDF 3 with one id, and an old 218-byte channel block.
    MdfBuilder one(false);
    hd = one.Hd3();
    one.Link3(hd, 4, one.Dg3(one.Cg3(one.Cn3("v", false, 0, 16, 0, 0, 218), 7, 2, 3),
                             one.Append({7, 1, 0, 7, 2, 0, 7, 3, 0}), 1));
    Expect(one, {"v"}, {{1, 2, 3}});
    // MDF 4 unsorted, record id size 1: a (3 bytes, id 1), c (signed byte, id 2).
    auto unsorted = [](const std::vector<uint8_t>& data) {
        MdfBuilder b(true);
        const uint64_t hd = b.Hd4(0);
        const uint64_t a = b.Cg4(b.Cn4(b.Tx4("a"), 0, 0, 0, 0, 0, 24), 1, 2, 3);
        b.Link4(a, 0, b.Cg4(b.Cn4(b.Tx4("c"), 0, 0, 2, 0, 0, 8), 2, 3, 1));
        b.Link4(hd, 0, b.Dg4(a, b.Dt4(data), 1));
        return b;
    };
    Expect(unsorted({2, 0xFF, 1, 1, 2, 3, 2, 0xFE, 1, 4, 5, 6, 2, 0xFD}), {"a", "c"},
           {{0x030201, 0x060504}, {-1, -2, -3}});
    // An id no group has fails the reads that meet it.
    Expect(unsorted({2, 0xFF, 9, 1, 2, 3, 1, 4, 5, 6, 2, 0xFE, 2, 0xFD}), {"a", "c"}, {{0, 0}, {-1, 0, 0}},
           "unknown record id", 4);
}

TEST(HandLaidFiles, DataListsAndRefusedData)
{
    // Records of 30 bytes in data blocks of 100 and 200 bytes: record 3
    // straddles them.
    MdfBuilder b(true);
    const uint64_t hd = b.Hd4(0);
    std::vector<uint8_t> first(100), second(200);
    for (int i = 0; i < 300; ++i)
        (i < 100 ? first[i] : second[i - 100]) = uint8_t(i);
    const uint64_t dl = b.Dl4(0, {b.Dt4(first), b.Dt4(second)});
    const uint64_t cn = b.Cn4(b.Tx4("byte0"), 0, 0, 0, 0, 0, 8);
    b.Link4(cn, 0, b.Cn4(b.Tx4("byte29"), 0, 0, 0, 0, 29, 8));
    b.Link4(hd, 0, b.Dg4(b.Cg4(cn, 0, 10, 30), dl));
    Values values(2);
    for (int i = 0; i < 10; ++i)
        values[0].push_back(uint8_t(30 * i)), values[1].push_back(uint8_t(30 * i + 29));
    Expect(b, {"byte0", "byte29"}, values);
    // Only plain data blocks are read, alone or listed.
    for (const char* id : {"##DZ", "##HL", "##SD", "##DV"})
        for (bool listed : {false, true}) {
            MdfBuilder refused(true);
            const uint64_t refusedHd = refused.Hd4(0);
            const uint64_t data = refused.Dt4(std::vector<uint8_t>(16, 1), id);
            const uint64_t cg = refused.Cg4(refused.Cn4(refused.Tx4("v"), 0, 0, 0, 0, 0, 8), 0, 16, 1);
            refused.Link4(refusedHd, 0, refused.Dg4(cg, listed ? refused.Dl4(0, {data}) : data));
            Expect(refused, {"v"}, {{}}, (std::string("data in ") + id).c_str());
        }
    // Several groups sharing data without record ids are refused.
    MdfBuilder noIds(true);
    const uint64_t noIdsHd = noIds.Hd4(0);
    const uint64_t cgA = noIds.Cg4(noIds.Cn4(noIds.Tx4("a"), 0, 0, 0, 0, 0, 8), 0, 2, 1);
    noIds.Link4(cgA, 0, noIds.Cg4(noIds.Cn4(noIds.Tx4("c"), 0, 0, 0, 0, 0, 8), 0, 2, 1));
    noIds.Link4(noIdsHd, 0, noIds.Dg4(cgA, noIds.Dt4({1, 2, 3, 4})));
    Expect(noIds, {"a", "c"}, {{}, {}}, "without record ids");
}

TEST(HandLaidFiles, ChannelsOutsideTheirRecordAndGroupsWithoutData)
{
    MdfBuilder b(true);
    const uint64_t hd = b.Hd4(0);
    const uint64_t inside = b.Cn4(b.Tx4("inside"), 0, 0, 0, 0, 0, 16);
    const uint64_t outside = b.Cn4(b.Tx4("outside"), 0, 0, 0, 1, 1, 16);  // bits 9..24 of a 3-byte record
    b.Link4(inside, 0, outside);
    b.Link4(outside, 0, b.Cn4(b.Tx4("far"), 0, 0, 4, 0, 0xFFFFFFF0u, 64));
    const uint64_t dg = b.Dg4(b.Cg4(inside, 0, 1, 3), b.Dt4({1, 2, 3}));
    b.Link4(hd, 0, dg);
    Expect(b, {"inside"}, {{0x0201}}, "MDF channel far lies outside its record");
    EXPECT_NE(ReadAll(b).output.find("MDF channel outside lies outside its record"), std::string::npos);
    b.Link4(dg, 2, 0);  // a data group without data has no channels
    Expect(b, {}, {});
}

TEST(HandLaidFiles, ChannelCursorBelongsToEachFile)
{
    testlib::TempDir dir;
    MdfBuilder b(true);
    const uint64_t hd = b.Hd4(0);
    const uint64_t time = b.Cn4(b.Tx4("t"), 2, 1, 4, 0, 0, 64);
    b.Link4(time, 0, b.Cn4(b.Tx4("v"), 0, 0, 0, 0, 8, 8));
    b.Link4(hd, 0, b.Dg4(b.Cg4(time, 0, 1, 9), b.Dt4(std::vector<uint8_t>(9))));
    b.Save(dir.file("f.mf4"));
    CMDFFileOp one, two;
    EXPECT_EQ(one.GetNextChannel(true), nullptr);  // nothing open
    EXPECT_FALSE(one.ReadFile(dir.file("missing.mf4")) || one.ReadFile(dir.path()) ||
                 one.ReadFile(static_cast<const wchar_t*>(nullptr)));
    EXPECT_EQ(one.GetMeasurementStartTimestamp(), 0.0);
    ASSERT_TRUE(one.ReadFile(dir.file("f.mf4")) && two.ReadFile(dir.file("f.mf4")));
    EXPECT_EQ(one.GetNextChannel(false), nullptr);  // not started
    CCNBlockOp* first = one.GetNextChannel(true);
    ASSERT_TRUE(two.GetNextChannel(true) && two.GetNextChannel(false));
    EXPECT_EQ(one.GetNextChannel(false), first->GetNextCN());
    EXPECT_EQ(one.GetNextChannel(false), nullptr);
    EXPECT_EQ(one.GetNextChannel(false), nullptr);
    EXPECT_EQ(one.GetNextChannel(true), first);
}

// ---- Damaged and hostile files ----------------------------------------------------

// A sound file of each version. MDF 4: a value-to-text table with a nested
// default, a linear time channel, and behind every block the open needs a data
// list of two data blocks. MDF 3: a comment, a range table (entries in file
// order: the default Other, [0, 9] Low, [10, 20] High), records.
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
    const uint64_t nested = b.Cc4(1, {}, {1.0, 2.0});
    s.cc = b.Cc4(7, {b.Tx4("Off"), b.Tx4("On"), nested}, {0, 1});
    const uint64_t linear = b.Cc4(1, {}, {0.0, 0.001}, b.Tx4("<CCunit><TX>s</TX></CCunit>", "##MD"));
    s.state = b.Cn4(b.Tx4("state"), 0, 0, 0, 0, 4, 8, s.cc);
    s.time = b.Cn4(b.Tx4("time"), 2, 1, 0, 0, 0, 32, linear);
    b.Link4(s.time, 0, s.state);
    s.cg = b.Cg4(s.time, 0, 6, 5);
    s.dg = b.Dg4(s.cg, 0);
    b.Link4(s.hd, 0, s.dg);
    s.structureEnd = b.size();
    std::vector<uint8_t> records;
    for (int i = 0; i < 6; ++i)
        records.insert(records.end(), {uint8_t(i * 10), 0, 0, 0, uint8_t(i % 3)});
    s.dt1 = b.Dt4(std::vector<uint8_t>(records.begin(), records.begin() + 12));
    s.dl = b.Dl4(0, {s.dt1, b.Dt4(std::vector<uint8_t>(records.begin() + 12, records.end()))});
    b.Link4(s.dg, 2, s.dl);
    return s;
}

Sound Mdf3(bool bigEndian = false)
{
    Sound s;
    MdfBuilder& b = s.b = MdfBuilder(false, bigEndian);
    s.hd = b.Hd3("01:02:2020", "03:04:05");
    b.Link3(s.hd, 8, b.Tx3("Timestamp: 12.5"));
    s.cc = b.Block3("CC", 46 + 3 * 20);
    b.U16(s.cc + 42, 12);
    b.U16(s.cc + 44, 3);
    const char* texts[] = {"Other", "Low", "High"};
    for (int i = 0; i < 3; ++i) {
        b.F64(s.cc + 46 + 20 * i, i == 2 ? 10 : 0);
        b.F64(s.cc + 54 + 20 * i, i == 2 ? 20 : 9);
        b.Link3(s.cc, 62 + 20 * i, b.Tx3(texts[i]));
    }
    s.time = b.Cn3("time", true, 0, 16, 0);
    s.state = b.Cn3("range", false, 16, 8, 0, s.cc);
    b.Link3(s.time, 4, s.state);
    s.cg = b.Cg3(s.time, 0, 3, 4);
    s.dg = b.Dg3(s.cg, 0);
    b.Link3(s.hd, 4, s.dg);
    s.structureEnd = b.size();
    s.data = b.Append({0, 0, 3, 1, 0, 15, 2, 0, 30, 3, 0, 9});
    b.Link3(s.dg, 16, s.data);
    return s;
}

TEST(DamagedFiles, TheSoundFilesDecode)
{
    Expect(Mdf4().b, {"time", "state"},
           {{0, 10 * 0.001, 20 * 0.001, 30 * 0.001, 40 * 0.001, 50 * 0.001}, {0, 1, 5, 0, 1, 5}});
    Expect(Mdf3().b, {"time", "range"}, {{0, 1, 2, 3}, {1, 0, 2, 1}});
    testlib::TempDir dir;
    Mdf3().b.Save(dir.file("f.mdf"));
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(dir.file("f.mdf")));
    EXPECT_EQ(mdf.GetNextChannel(true)->GetNextCN()->GetStates(), (States{{0, "High"}, {1, "Low"}, {2, "Other"}}));
}

TEST(DamagedFiles, TruncatedAtEveryByte)
{
    for (Sound s : {Mdf4(), Mdf3(true)})
        for (uint64_t length = 0; length < s.b.size(); ++length) {
            MdfBuilder cut = s.b;
            cut.bytes.resize(length);
            Reading r = ReadAll(cut);
            EXPECT_EQ(r.opened, length >= s.structureEnd) << length;
            EXPECT_TRUE(r.failedReads == 0 && r.consistent) << length;
        }
}

// Each damage either fails the open (records -1) or leaves a file whose
// first group has that many records, with the diagnostic named.
TEST(DamagedFiles, EveryDamageFailsCleanly)
{
    struct Damage {
        bool mdf4;
        std::function<void(Sound&)> apply;
        long long records;
        const char* diagnostic;
    };
    std::vector<Damage> damages = {
        // Chains that loop, also through nested conversions, and data read twice.
        {true, [](Sound& s) { s.b.Link4(s.dg, 0, s.dg); }, -1, "loops"},
        {true, [](Sound& s) { s.b.Link4(s.cg, 0, s.cg); }, -1, "loops"},
        {true, [](Sound& s) { s.b.Link4(s.state, 0, s.time); }, -1, "loops"},
        {true, [](Sound& s) { s.b.Link4(s.dl, 0, s.dl); }, -1, "loops"},
        {true, [](Sound& s) { s.b.Link4(s.cc, 6, s.cc); }, -1, "nested in a loop"},
        {true, [](Sound& s) { s.b.Link4(s.cc, 6, s.b.Cc4(7, {0, 0, s.cc}, {0, 1})); }, -1, "nested in a loop"},
        {true, [](Sound& s) {
             uint64_t inner = s.b.Cc4(1, {}, {1, 2});
             for (int i = 0; i < CCCBlockOp::MaxNesting + 2; ++i)
                 inner = s.b.Cc4(7, {0, inner}, {0});
             s.b.Link4(s.cc, 6, inner);
         }, -1, "too deep"},
        {true, [](Sound& s) {
             const uint64_t cn = s.b.Cn4(s.b.Tx4("t"), 2, 1, 0, 0, 0, 32);
             s.b.Link4(s.dg, 0, s.b.Dg4(s.b.Cg4(cn, 0, 3, 4), s.dt1));
         }, -1, "already read for another data group"},
        {false, [](Sound& s) {
             const uint64_t cg = s.b.Cg3(s.b.Cn3("t", true, 0, 16, 0), 0, 2, 2);
             s.b.Link3(s.dg, 4, s.b.Dg3(cg, s.data + 2));
         }, -1, "already read for another data group"},
        {false, [](Sound& s) { s.b.Link3(s.dg, 4, s.dg); }, -1, "loops"},
        {false, [](Sound& s) { s.b.Link3(s.state, 4, s.time); }, -1, "loops"},
        {false, [](Sound& s) { s.b.Link3(s.cg, 4, s.cg); }, -1, "loops"},
        // Sizes and counts no block or file holds.
        {true, [](Sound& s) { s.b.U32(s.cg + 24 + 6 * 8 + 24, 0xFFFFFFF0u); }, -1, "larger than the file"},
        {true, [](Sound& s) { s.b.U16(s.cc + 24 + 7 * 8 + 6, 0xFFFF); }, -1, "more references or values"},
        {true, [](Sound& s) { s.b.U16(s.cc + 24 + 7 * 8 + 4, 40); }, -1, "more references or values"},
        {true, [](Sound& s) { s.b.U64(s.time + 16, 1000); }, -1, ""},
        {true, [](Sound& s) { s.b.Link4(s.hd, 0, 0); }, -1, "without data groups"},
        {true, [](Sound& s) { s.b.U64(s.cg + 24 + 6 * 8 + 8, ~0ULL); }, 6, "more records than its data holds"},
        {false, [](Sound& s) { s.b.U16(s.cc + 44, 0xFFFF); }, 4, ""},
        {false, [](Sound& s) { s.b.bytes.resize(s.b.size() - 4); }, 2, "more records than its data holds"},
        // Data that cannot be read: the group has no records, the file opens.
        {true, [](Sound& s) { s.b.U32(s.dl + 24 + 3 * 8 + 4, 1000); }, 0, "lists more blocks than it links"},
        {true, [](Sound& s) { s.b.U64(s.dl + 16, 0); }, 0, "cannot be read"},
        {true, [](Sound& s) { s.b.U64(s.dt1 + 8, 1ULL << 50); }, 0, "does not fit in the file"},
        {true, [](Sound& s) { s.b.Link4(s.dl, 1, 0); }, 0, "outside the file"},
        {true, [](Sound& s) { s.b.Link4(s.dg, 2, s.b.size() + 100); }, 0, "outside the file"},
        {true, [](Sound& s) { s.b.U8(s.dg + 24 + 4 * 8, 3); }, 0, "record id size 3"},
    };
    // Identifications that are not exactly "MDF     ".
    for (const char* id : {"MDF    \0", "MDF    4", "mdf     ", "MDF\t    "})
        damages.push_back({true, [id](Sound& s) { s.b.Text(0, std::string(id, 8)); }, -1, ""});
    // Lengths below the head or beyond the file, and too few links.
    for (uint64_t Sound::*block : {&Sound::hd, &Sound::dg, &Sound::cg, &Sound::time, &Sound::cc}) {
        for (uint64_t length : {0ULL, 16ULL, 23ULL, 1ULL << 40, ~0ULL})
            damages.push_back({true, [=](Sound& s) { s.b.U64(s.*block + 8, length); }, -1, ""});
        const uint64_t links = block == &Sound::time ? 7 : block == &Sound::dg || block == &Sound::cc ? 3 : 5;
        damages.push_back({true, [=](Sound& s) { s.b.U64(s.*block + 16, links); }, -1, ""});
    }
    for (uint64_t Sound::*block : {&Sound::dg, &Sound::cg, &Sound::time, &Sound::cc})
        for (uint64_t size : {0ULL, 3ULL, 20ULL, 0xFFFFULL})
            damages.push_back({false, [=](Sound& s) { s.b.U16(s.*block + 2, size); }, -1, ""});

    for (const Damage& damage : damages) {
        SCOPED_TRACE(&damage - damages.data());
        Sound s = damage.mdf4 ? Mdf4() : Mdf3();
        damage.apply(s);
        Reading r = ReadAll(s.b);
        EXPECT_EQ(r.opened ? (long long)r.values.at(0).size() : -1, damage.records) << r.output;
        EXPECT_NE(r.output.find(damage.diagnostic), std::string::npos) << r.output;
        EXPECT_TRUE(r.failedReads == 0 && r.consistent);
    }
}

// Tables that reference the next level's table 24 times over, 8 levels deep:
// 24^8 paths, yet every block is read once and the file opens at once.
TEST(DamagedFiles, NestedTablesAreReadOncePerFile)
{
    Sound s = Mdf4();
    uint64_t inner = s.b.Cc4(7, {s.b.Tx4("A"), s.b.Tx4("B")}, {0, 1});
    std::vector<double> keys;
    for (int k = 0; k < 24; ++k)
        keys.push_back(k + 2);
    for (int level = 0; level < CCCBlockOp::MaxNesting; ++level)
        inner = s.b.Cc4(7, std::vector<uint64_t>(keys.size(), inner), keys);
    s.b.Link4(s.state, 4, inner);
    testlib::TempDir dir;
    s.b.Save(dir.file("nested.mf4"));
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(dir.file("nested.mf4")));
    EXPECT_EQ(mdf.GetNextChannel(true)->GetNextCN()->GetStates(), (States{{0, "A"}, {1, "B"}}));
}

}  // namespace
