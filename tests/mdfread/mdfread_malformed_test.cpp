// Damaged and hostile files: truncation at every byte, chains that loop,
// block lengths below their header or beyond the file, too few links, record
// counts and sizes the data cannot hold. Each fails cleanly (a false result,
// or a group whose data is refused), never crashes, hangs or reads outside a
// buffer.
#include <gtest/gtest.h>

#include "MdfBuilder.h"
#include "mdfread/MDFFileOp.h"
#include "testlib/TestSupport.h"

using namespace mdftest;

namespace {

struct Mdf4Parts {
    MdfBuilder b{true};
    uint64_t hd, dg, cg, time, state, cc, nested, dl, dt1, dt2;
    uint64_t structureEnd;  // every block the open needs lies before this
};

// HD, texts, conversions, channels, group, data group, then the data list and
// its blocks at the end.
Mdf4Parts BuildMdf4()
{
    Mdf4Parts p;
    MdfBuilder& b = p.b;
    p.hd = b.Hd4(0, 0);
    uint64_t timeName = b.Tx4("time");
    uint64_t stateName = b.Tx4("state");
    uint64_t off = b.Tx4("Off");
    uint64_t on = b.Tx4("On");
    uint64_t unit = b.Tx4("<CCunit><TX>s</TX></CCunit>", "##MD");
    p.nested = b.Cc4(1, {}, {1.0, 2.0});
    p.cc = b.Cc4(7, {off, on, p.nested}, {0, 1});
    uint64_t linear = b.Cc4(1, {}, {0.0, 0.001}, unit);
    p.state = b.Cn4(stateName, 0, 0, 0, 0, 4, 8, p.cc);
    p.time = b.Cn4(timeName, 2, 1, 0, 0, 0, 32, linear);
    b.Link4(p.time, 0, p.state);
    p.cg = b.Cg4(p.time, 0, 6, 5);
    p.dg = b.Dg4(p.cg, 0);
    b.Link4(p.hd, 0, p.dg);
    p.structureEnd = b.size();
    std::vector<uint8_t> records;
    for (int i = 0; i < 6; ++i) {
        auto t = LE(uint64_t(i * 10), 4);
        records.insert(records.end(), t.begin(), t.end());
        records.push_back(uint8_t(i % 3));
    }
    p.dt1 = b.Dt4(std::vector<uint8_t>(records.begin(), records.begin() + 12));
    p.dt2 = b.Dt4(std::vector<uint8_t>(records.begin() + 12, records.end()));
    p.dl = b.Dl4(0, {p.dt1, p.dt2});
    b.Link4(p.dg, 2, p.dl);
    return p;
}

struct Mdf3Parts {
    MdfBuilder b{false};
    uint64_t hd, dg, cg, first, second, cc, data;
    uint64_t structureEnd;
};

Mdf3Parts BuildMdf3(bool bigEndian = false)
{
    Mdf3Parts p;
    p.b = MdfBuilder(false, bigEndian);
    MdfBuilder& b = p.b;
    p.hd = b.Hd3("01:02:2020", "03:04:05");
    b.Link3(p.hd, 8, b.Tx3("Timestamp: 12.5"));
    uint64_t other = b.Tx3("Other");
    uint64_t low = b.Tx3("Low");
    // Range table of three 20-byte entries {lower, upper, text link}; the
    // first is the default.
    p.cc = b.Block3("CC", 46 + 3 * 20);
    b.U16(p.cc + 42, 12);
    b.U16(p.cc + 44, 3);
    b.Link3(p.cc, 46 + 16, other);
    b.F64(p.cc + 66, 0), b.F64(p.cc + 74, 9), b.Link3(p.cc, 66 + 16, low);
    b.F64(p.cc + 86, 10), b.F64(p.cc + 94, 20), b.Link3(p.cc, 86 + 16, b.Tx3("High"));
    p.first = b.Cn3("time", true, 0, 16, 0);
    p.second = b.Cn3("range", false, 16, 8, 0, 0, p.cc);
    b.Link3(p.first, 4, p.second);
    p.cg = b.Cg3(p.first, 0, 3, 4);
    p.dg = b.Dg3(p.cg, 0);
    b.Link3(p.hd, 4, p.dg);
    p.structureEnd = b.size();
    p.data = b.Append({0, 0, 3, 1, 0, 15, 2, 0, 30, 3, 0, 9});
    b.Link3(p.dg, 16, p.data);
    return p;
}

bool Opens(const MdfBuilder& b, const testlib::TempDir& dir, const std::string& name = "file")
{
    std::string path = dir.file(name);
    b.Save(path);
    CMDFFileOp mdf;
    testing::internal::CaptureStdout();
    bool ok = mdf.ReadFile(path);
    testing::internal::GetCapturedStdout();
    return ok;
}

// Every record the reader admits to can be read and decoded.
void ReadEverything(CMDFFileOp& mdf)
{
    for (CCNBlockOp* cn = mdf.GetNextChannel(true); cn; cn = mdf.GetNextChannel(false)) {
        CCGBlockOp* group = cn->GetChannelGroup();
        std::vector<char> record(group->GetDataRecordSize());
        for (unsigned long long i = 0; i < group->GetRecordCount(); ++i) {
            ASSERT_TRUE(group->ReadRecord(record.data(), i));
            cn->getValue(record.data() + cn->GetByteOffset() + cn->GetStartBit() / 8);
        }
    }
}

}  // namespace

TEST(MalformedMdf, SoundFilesOpenAndDecode)
{
    testlib::TempDir dir;
    Mdf4Parts p4 = BuildMdf4();
    p4.b.Save(dir.file("sound.mf4"));
    CMDFFileOp mdf4;
    ASSERT_TRUE(mdf4.ReadFile(dir.file("sound.mf4")));
    CCNBlockOp* time = mdf4.GetNextChannel(true);
    CCNBlockOp* state = mdf4.GetNextChannel(false);
    ASSERT_TRUE(state);
    EXPECT_EQ(time->GetUnit(), "s");
    EXPECT_EQ(state->GetStates(), (std::map<double, std::string>{{0, "Off"}, {1, "On"}}));
    std::vector<char> record(5);
    ASSERT_TRUE(state->GetChannelGroup()->ReadRecord(record.data(), 5));
    EXPECT_EQ(time->getValue(record.data()), 0.05);
    EXPECT_EQ(state->getValue(record.data() + 4), 2 * 2.0 + 1.0);  // nested default

    Mdf3Parts p3 = BuildMdf3();
    p3.b.Save(dir.file("sound.mdf"));
    CMDFFileOp mdf3;
    ASSERT_TRUE(mdf3.ReadFile(dir.file("sound.mdf")));
    CCNBlockOp* range = mdf3.GetNextChannel(true)->GetNextCN();
    // Entries in file order: default Other, [0,9] Low, [10,20] High.
    EXPECT_EQ(range->GetStates(), (std::map<double, std::string>{{0, "High"}, {1, "Low"}, {2, "Other"}}));
    CCGBlockOp* group = range->GetChannelGroup();
    std::vector<char> r3(3);
    std::vector<double> values;
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(group->ReadRecord(r3.data(), i));
        values.push_back(range->getValue(r3.data() + 2));
    }
    EXPECT_EQ(values, (std::vector<double>{1, 0, 2, 1}));
}

TEST(MalformedMdf, TruncatedAtEveryByte)
{
    testlib::TempDir dir;
    Mdf4Parts p4 = BuildMdf4();
    Mdf3Parts p3 = BuildMdf3(true);
    for (MdfBuilder* b : {&p4.b, &p3.b}) {
        uint64_t structureEnd = b == &p4.b ? p4.structureEnd : p3.structureEnd;
        for (uint64_t length = 0; length < b->size(); ++length) {
            MdfBuilder cut = *b;
            cut.bytes.resize(length);
            std::string path = dir.file("cut");
            cut.Save(path);
            CMDFFileOp mdf;
            testing::internal::CaptureStdout();
            bool ok = mdf.ReadFile(path);
            if (ok)
                ReadEverything(mdf);
            testing::internal::GetCapturedStdout();
            EXPECT_EQ(ok, length >= structureEnd) << "length " << length;
        }
    }
}

TEST(MalformedMdf, TruncatedDataLimitsTheRecords)
{
    testlib::TempDir dir;
    Mdf3Parts p3 = BuildMdf3();
    p3.b.bytes.resize(p3.b.size() - 4);  // 2 whole records of 3 bytes remain of 4
    p3.b.Save(dir.file("short.mdf"));
    CMDFFileOp mdf;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(mdf.ReadFile(dir.file("short.mdf")));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("more records than its data holds"), std::string::npos);
    CCGBlockOp* group = mdf.GetNextChannel(true)->GetChannelGroup();
    EXPECT_EQ(group->GetRecordCount(), 2u);
    std::vector<char> record(3, 'x');
    EXPECT_FALSE(group->ReadRecord(record.data(), 2));
    EXPECT_EQ(record, std::vector<char>(3, 0));
}

TEST(MalformedMdf, EveryChainThatLoopsFailsTheOpen)
{
    testlib::TempDir dir;
    {
        Mdf4Parts p = BuildMdf4();
        p.b.Link4(p.dg, 0, p.dg);  // data group to itself
        EXPECT_FALSE(Opens(p.b, dir));
    }
    {
        Mdf4Parts p = BuildMdf4();
        p.b.Link4(p.cg, 0, p.cg);  // channel group to itself
        EXPECT_FALSE(Opens(p.b, dir));
    }
    {
        Mdf4Parts p = BuildMdf4();
        p.b.Link4(p.state, 0, p.time);  // channel chain back to its first channel
        EXPECT_FALSE(Opens(p.b, dir));
    }
    {
        Mdf4Parts p = BuildMdf4();
        p.b.Link4(p.dl, 0, p.dl);  // data list to itself
        EXPECT_FALSE(Opens(p.b, dir));
    }
    {
        Mdf4Parts p = BuildMdf4();
        p.b.Link4(p.cc, 6, p.cc);  // value-to-text default is the table itself
        EXPECT_FALSE(Opens(p.b, dir));
    }
    {
        // Two value-to-text tables each nesting the other.
        Mdf4Parts p = BuildMdf4();
        uint64_t other = p.b.Cc4(7, {0, 0, p.cc}, {0, 1});
        p.b.Link4(p.cc, 6, other);
        EXPECT_FALSE(Opens(p.b, dir));
    }
    {
        // A second data group reading the first one's data block (listed by
        // its data list), or, in MDF 3, the first one's records.
        Mdf4Parts p = BuildMdf4();
        uint64_t cn = p.b.Cn4(p.b.Tx4("t"), 2, 1, 0, 0, 0, 32);
        p.b.Link4(p.dg, 0, p.b.Dg4(p.b.Cg4(cn, 0, 3, 4), p.dt1));
        EXPECT_FALSE(Opens(p.b, dir));
        Mdf3Parts p3 = BuildMdf3();
        p3.b.Link3(p3.dg, 4, p3.b.Dg3(p3.b.Cg3(p3.b.Cn3("t", true, 0, 16, 0), 0, 2, 2), p3.data + 2));
        EXPECT_FALSE(Opens(p3.b, dir));
    }
    {
        Mdf3Parts p = BuildMdf3();
        p.b.Link3(p.dg, 4, p.dg);
        EXPECT_FALSE(Opens(p.b, dir));
        p = BuildMdf3();
        p.b.Link3(p.second, 4, p.first);
        EXPECT_FALSE(Opens(p.b, dir));
        p = BuildMdf3();
        p.b.Link3(p.cg, 4, p.cg);
        EXPECT_FALSE(Opens(p.b, dir));
    }
}

TEST(MalformedMdf, NestingDepthIsBounded)
{
    testlib::TempDir dir;
    Mdf4Parts p = BuildMdf4();
    uint64_t inner = p.nested;
    for (int i = 0; i < CCCBlockOp::MaxNesting + 2; ++i)
        inner = p.b.Cc4(7, {0, inner}, {0});
    p.b.Link4(p.cc, 6, inner);
    EXPECT_FALSE(Opens(p.b, dir));
}

// Tables that reference the next level's table 24 times over, 8 levels
// deep: 24^8 paths, yet every block is read once and the file opens at once.
TEST(MalformedMdf, NestedTablesAreReadOncePerFile)
{
    testlib::TempDir dir;
    Mdf4Parts p = BuildMdf4();
    uint64_t inner = p.b.Cc4(7, {p.b.Tx4("A"), p.b.Tx4("B")}, {0, 1});
    std::vector<double> keys;
    for (int k = 0; k < 24; ++k)
        keys.push_back(k + 2);
    for (int level = 0; level < CCCBlockOp::MaxNesting - 1; ++level)
        inner = p.b.Cc4(7, std::vector<uint64_t>(keys.size(), inner), keys);
    p.b.Link4(p.state, 4, p.b.Cc4(7, std::vector<uint64_t>(keys.size(), inner), keys));
    p.b.Save(dir.file("nested.mf4"));
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(dir.file("nested.mf4")));
    EXPECT_EQ(mdf.GetNextChannel(true)->GetNextCN()->GetStates(),
              (std::map<double, std::string>{{0, "A"}, {1, "B"}}));
}

TEST(MalformedMdf, LengthsBelowTheHeaderOrBeyondTheFile)
{
    testlib::TempDir dir;
    Mdf4Parts sound = BuildMdf4();
    for (uint64_t Mdf4Parts::*block : {&Mdf4Parts::hd, &Mdf4Parts::dg, &Mdf4Parts::cg, &Mdf4Parts::time,
                                       &Mdf4Parts::cc}) {
        for (uint64_t length : {0ULL, 16ULL, 23ULL, 1ULL << 40, ~0ULL}) {
            Mdf4Parts p = BuildMdf4();
            p.b.U64(p.*block + 8, length);
            EXPECT_FALSE(Opens(p.b, dir)) << "block at " << p.*block << " length " << length;
        }
    }
    for (uint64_t Mdf3Parts::*block : {&Mdf3Parts::dg, &Mdf3Parts::cg, &Mdf3Parts::first, &Mdf3Parts::cc}) {
        for (uint64_t size : {0ULL, 3ULL, 20ULL, 0xFFFFULL}) {
            Mdf3Parts p = BuildMdf3();
            p.b.U16(p.*block + 2, size);
            EXPECT_FALSE(Opens(p.b, dir)) << "block at " << p.*block << " size " << size;
        }
    }
}

TEST(MalformedMdf, TooFewLinksFailTheBlock)
{
    testlib::TempDir dir;
    struct Case {
        uint64_t Mdf4Parts::*block;
        uint64_t links;
    };
    for (Case c : {Case{&Mdf4Parts::hd, 5}, Case{&Mdf4Parts::dg, 3}, Case{&Mdf4Parts::cg, 5},
                   Case{&Mdf4Parts::time, 7}, Case{&Mdf4Parts::cc, 3}}) {
        Mdf4Parts p = BuildMdf4();
        p.b.U64(p.*c.block + 16, c.links);
        EXPECT_FALSE(Opens(p.b, dir)) << "block at " << p.*c.block;
    }
    // More links than the block holds.
    Mdf4Parts p = BuildMdf4();
    p.b.U64(p.time + 16, 1000);
    EXPECT_FALSE(Opens(p.b, dir));
}

TEST(MalformedMdf, BrokenDataListsRefuseTheGroupsData)
{
    testlib::TempDir dir;
    auto expectRefused = [&](Mdf4Parts& p) {
        p.b.Save(dir.file("dl.mf4"));
        CMDFFileOp mdf;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(mdf.ReadFile(dir.file("dl.mf4")));
        EXPECT_NE(testing::internal::GetCapturedStdout().find("cannot be read"), std::string::npos);
        EXPECT_EQ(mdf.GetNextChannel(true)->GetChannelGroup()->GetRecordCount(), 0u);
    };
    Mdf4Parts p = BuildMdf4();
    p.b.U32(p.dl + 24 + 3 * 8 + 4, 1000);  // lists more blocks than it links
    expectRefused(p);
    p = BuildMdf4();
    p.b.U64(p.dl + 16, 0);  // no links at all
    expectRefused(p);
    p = BuildMdf4();
    p.b.U64(p.dt2 + 8, 1ULL << 50);  // a listed block reaching past the file
    expectRefused(p);
    p = BuildMdf4();
    p.b.Link4(p.dl, 1, 0);  // a listed link of 0
    expectRefused(p);
    p = BuildMdf4();
    p.b.Link4(p.dg, 2, p.b.size() + 100);  // data link outside the file
    expectRefused(p);
}

TEST(MalformedMdf, CountsAndSizesTheDataCannotHold)
{
    testlib::TempDir dir;
    {
        Mdf4Parts p = BuildMdf4();
        p.b.U64(p.cg + 24 + 6 * 8 + 8, ~0ULL);  // cycle count
        p.b.Save(dir.file("count.mf4"));
        CMDFFileOp mdf;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(mdf.ReadFile(dir.file("count.mf4")));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(mdf.GetNextChannel(true)->GetChannelGroup()->GetRecordCount(), 6u);
    }
    {
        Mdf4Parts p = BuildMdf4();
        p.b.U32(p.cg + 24 + 6 * 8 + 24, 0xFFFFFFF0u);  // record size beyond the file
        EXPECT_FALSE(Opens(p.b, dir));
    }
    {
        Mdf4Parts p = BuildMdf4();
        p.b.U16(p.cc + 24 + 7 * 8 + 6, 0xFFFF);  // more values than the block holds
        EXPECT_FALSE(Opens(p.b, dir));
    }
    {
        Mdf4Parts p = BuildMdf4();
        p.b.U16(p.cc + 24 + 7 * 8 + 4, 40);  // more references than links
        EXPECT_FALSE(Opens(p.b, dir));
    }
    {
        Mdf3Parts p = BuildMdf3();
        p.b.U16(p.cc + 44, 0xFFFF);  // more table entries than the block holds
        p.b.Save(dir.file("entries.mdf"));
        CMDFFileOp mdf;
        ASSERT_TRUE(mdf.ReadFile(dir.file("entries.mdf")));
        EXPECT_EQ(mdf.GetNextChannel(true)->GetNextCN()->GetStates().size(), 3u);
    }
    {
        Mdf4Parts p = BuildMdf4();
        p.b.U8(p.dg + 24 + 4 * 8, 3);  // record id size 3
        p.b.Save(dir.file("idsize.mf4"));
        CMDFFileOp mdf;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(mdf.ReadFile(dir.file("idsize.mf4")));
        EXPECT_NE(testing::internal::GetCapturedStdout().find("record id size 3"), std::string::npos);
        EXPECT_EQ(mdf.GetNextChannel(true)->GetChannelGroup()->GetRecordCount(), 0u);
    }
}

TEST(MalformedMdf, IdentificationMustBeExact)
{
    testlib::TempDir dir;
    for (std::string id : {std::string("MDF    \0", 8), std::string("MDF    4"), std::string("mdf     "),
                           std::string("MDF\t    ")}) {
        Mdf4Parts p = BuildMdf4();
        p.b.Text(0, id);
        EXPECT_FALSE(Opens(p.b, dir)) << id;
    }
    CMDFFileOp mdf;
    EXPECT_FALSE(mdf.ReadFile(dir.file("missing.mf4")));
    EXPECT_FALSE(mdf.ReadFile(dir.path()));  // a folder
    EXPECT_FALSE(mdf.ReadFile(static_cast<const wchar_t*>(nullptr)));
    EXPECT_EQ(mdf.GetMeasurementStartTimestamp(), 0.0);
    Mdf4Parts p = BuildMdf4();
    p.b.Link4(p.hd, 0, 0);  // no data groups
    EXPECT_FALSE(Opens(p.b, dir));
}
