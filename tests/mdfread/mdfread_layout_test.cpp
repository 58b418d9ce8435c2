// Files laid out by hand for what the fixtures' writer cannot produce:
// big-endian MDF 3, packed big-endian fields, record ids (one and two per
// record), unsorted groups, data lists with straddling records, refused data
// blocks, channels outside their record, and the channel cursor.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "MdfBuilder.h"
#include "mdfread/MDFFileOp.h"
#include "testlib/TestSupport.h"

using namespace mdftest;

namespace {

std::vector<CCNBlockOp*> Channels(CMDFFileOp& mdf)
{
    std::vector<CCNBlockOp*> all;
    for (CCNBlockOp* cn = mdf.GetNextChannel(true); cn; cn = mdf.GetNextChannel(false))
        all.push_back(cn);
    return all;
}

double Value(CCNBlockOp* cn, const std::vector<char>& record)
{
    return cn->getValue(record.data() + cn->GetByteOffset() + cn->GetStartBit() / 8);
}

// Hand-laid files are also seeds of the fuzzer when MDF_SEED_DIR is set.
std::string Save(const MdfBuilder& b, const testlib::TempDir& dir, const std::string& name)
{
    if (const char* seeds = std::getenv("MDF_SEED_DIR"))
        b.Save(std::string(seeds) + "/" + name);
    std::string path = dir.file(name);
    b.Save(path);
    return path;
}

// MDF 3 big-endian: time (double), a 16-bit unsigned, a 12-bit field at bit
// 4 of a big-endian word, a signed 16-bit with a linear conversion, an
// explicitly little-endian 16-bit unsigned (type 13), a long name.
std::string BigEndianMdf3(const testlib::TempDir& dir)
{
    MdfBuilder b(false, true);
    uint64_t hd = b.Hd3("05:12:2026", "13:45:10");
    uint64_t cc = b.Cc3(0, {10.0, 0.5}, "V");
    uint64_t longName = b.Tx3("a_long_name_beyond_thirty_two_characters");
    uint64_t time = b.Cn3("time", true, 0, 64, 3);
    uint64_t u16 = b.Cn3("u16", false, 64, 16, 0);
    uint64_t packed = b.Cn3("packed12", false, 84, 12, 0);
    uint64_t s16 = b.Cn3("s16 ", false, 96, 16, 1, 0, cc);
    uint64_t le16 = b.Cn3("le16", false, 112, 16, 13);
    b.Link3(time, 4, u16);
    b.Link3(u16, 4, packed);
    b.Link3(packed, 4, s16);
    b.Link3(s16, 4, le16);
    b.Link3(le16, 218, longName);
    uint64_t cg = b.Cg3(time, 0, 16, 3);
    std::vector<uint8_t> data;
    for (int i = 0; i < 3; ++i) {
        uint8_t r[16] = {0};
        double t = 0.5 * i;
        uint64_t bits;
        std::memcpy(&bits, &t, 8);
        for (int k = 0; k < 8; ++k)
            r[k] = uint8_t(bits >> (56 - 8 * k));
        r[8] = 0x12, r[9] = uint8_t(0x34 + i);           // u16 = 0x1234 + i
        uint16_t word = uint16_t((0xABC - i) << 4 | 0xF);  // 12 bits at bit 4, other bits set
        r[10] = uint8_t(word >> 8), r[11] = uint8_t(word);
        int16_t s = int16_t(-2 - i);
        r[12] = uint8_t(uint16_t(s) >> 8), r[13] = uint8_t(s);
        r[14] = 0x01, r[15] = 0x02;  // little-endian 0x0201
        data.insert(data.end(), r, r + 16);
    }
    uint64_t at = b.Append(data);
    b.Link3(hd, 4, b.Dg3(cg, at));
    return Save(b, dir, "bigendian_v330.mdf");
}

}  // namespace

TEST(MdfLayout, BigEndianMdf3ReadsEveryFieldReversed)
{
    testlib::TempDir dir;
    testlib::ScopedEnv tz("TZ", "UTC");
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(BigEndianMdf3(dir)));
    std::tm when = {};
    when.tm_year = 126, when.tm_mon = 11, when.tm_mday = 5, when.tm_hour = 13, when.tm_min = 45, when.tm_sec = 10;
    EXPECT_EQ(mdf.GetMeasurementStartTimestamp(), double(timegm(&when)) - 1167609600.0);
    auto cn = Channels(mdf);
    ASSERT_EQ(cn.size(), 5u);
    EXPECT_EQ(cn[0]->GetDataType(), 12);
    EXPECT_EQ(cn[1]->GetDataType(), 9);
    EXPECT_EQ(cn[3]->GetDataType(), 10);
    EXPECT_EQ(cn[3]->GetName(), "s16 ");  // trailing blank kept
    EXPECT_EQ(cn[3]->GetUnit(), "V");
    EXPECT_EQ(cn[4]->GetDataType(), 0);
    EXPECT_EQ(cn[4]->GetName(), "a_long_name_beyond_thirty_two_characters");
    double slope, offset;
    ASSERT_TRUE(cn[3]->GetConversion()->GetLinearFormula(slope, offset));
    EXPECT_EQ(slope, 0.5);
    EXPECT_EQ(offset, 10.0);
    CCGBlockOp* group = cn[0]->GetChannelGroup();
    ASSERT_EQ(group->GetRecordCount(), 3u);
    std::vector<char> record(group->GetDataRecordSize());
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(group->ReadRecord(record.data(), i));
        EXPECT_EQ(Value(cn[0], record), 0.5 * i);
        EXPECT_EQ(Value(cn[1], record), 0x1234 + i);
        EXPECT_EQ(Value(cn[2], record), 0xABC - i);
        EXPECT_EQ(cn[3]->GetInteger(record.data() + 12), -2 - i);
        EXPECT_EQ(Value(cn[3], record), (-2 - i) * 0.5 + 10);
        EXPECT_EQ(Value(cn[4], record), 0x0201);
    }
    EXPECT_EQ(cn[1]->GetTimeChannel(), cn[0]);
}

TEST(MdfLayout, Mdf3CommentTimestampAppliesOnlyWithoutDate)
{
    testlib::TempDir dir;
    for (bool withDate : {false, true}) {
        MdfBuilder b(false);
        uint64_t hd = b.Hd3(withDate ? "01:01:2007" : "", withDate ? "00:00:10" : "");
        b.Link3(hd, 8, b.Tx3("Recorder\nTimestamp:123.5\n"));
        uint64_t cn = b.Cn3("x", false, 0, 8, 0);
        b.Link3(hd, 4, b.Dg3(b.Cg3(cn, 0, 1, 1), b.Append({7})));
        testlib::ScopedEnv tz("TZ", "UTC");
        CMDFFileOp mdf;
        ASSERT_TRUE(mdf.ReadFile(Save(b, dir, "comment.mdf")));
        EXPECT_EQ(mdf.GetMeasurementStartTimestamp(), withDate ? 10.0 : 123.5);
    }
}

TEST(MdfLayout, Mdf3TwoRecordIdsInterleaveIdDataId)
{
    testlib::TempDir dir;
    MdfBuilder b(false);
    uint64_t hd = b.Hd3();
    uint64_t a = b.Cn3("a", false, 0, 16, 0);
    uint64_t c = b.Cn3("c", false, 0, 8, 0);
    uint64_t cgA = b.Cg3(a, 1, 2, 3);
    uint64_t cgC = b.Cg3(c, 2, 1, 2);
    b.Link3(cgA, 4, cgC);
    // id 1, 2 bytes, id 1 | id 2, 1 byte, id 2 | ...
    std::vector<uint8_t> data = {1, 10, 0, 1, 2, 50, 2, 1, 11, 0, 1, 1, 12, 0, 1, 2, 51, 2};
    b.Link3(hd, 4, b.Dg3(cgA, b.Append(data), 2));
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(Save(b, dir, "tworecordids_v330.mdf")));
    auto cn = Channels(mdf);
    ASSERT_EQ(cn.size(), 2u);
    std::vector<char> record(2);
    CCGBlockOp* groupA = cn[0]->GetChannelGroup();
    CCGBlockOp* groupC = cn[1]->GetChannelGroup();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(groupA->ReadRecord(record.data(), i));
        EXPECT_EQ(Value(cn[0], record), 10 + i);
    }
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(groupC->ReadRecord(record.data(), i));
        EXPECT_EQ(Value(cn[1], record), 50 + i);
    }
    // Going back restarts the scan.
    ASSERT_TRUE(groupA->ReadRecord(record.data(), 0));
    EXPECT_EQ(Value(cn[0], record), 10);
    EXPECT_FALSE(groupA->ReadRecord(record.data(), 3));
    EXPECT_EQ(record[0], 0);
}

TEST(MdfLayout, Mdf3OneRecordIdSkipsTheLeadingByte)
{
    testlib::TempDir dir;
    MdfBuilder b(false);
    uint64_t hd = b.Hd3();
    uint64_t cn = b.Cn3("v", false, 0, 16, 0, 0, 0, 218);  // old short channel block
    b.Link3(hd, 4, b.Dg3(b.Cg3(cn, 7, 2, 3), b.Append({7, 1, 0, 7, 2, 0, 7, 3, 0}), 1));
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(Save(b, dir, "onerecordid_v330.mdf")));
    CCNBlockOp* channel = mdf.GetNextChannel(true);
    ASSERT_TRUE(channel);
    std::vector<char> record(2);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(channel->GetChannelGroup()->ReadRecord(record.data(), i));
        EXPECT_EQ(Value(channel, record), i + 1);
    }
}

namespace {

// MDF 4 unsorted: record id size 1, group 1 of 3 bytes and group 2 of 1 byte.
MdfBuilder UnsortedMdf4(const std::vector<uint8_t>& data)
{
    MdfBuilder b(true);
    uint64_t hd = b.Hd4(0, 0);
    uint64_t a = b.Cn4(b.Tx4("a"), 0, 0, 0, 0, 0, 24);
    uint64_t c = b.Cn4(b.Tx4("c"), 0, 0, 2, 0, 0, 8);
    uint64_t cgA = b.Cg4(a, 1, 2, 3);
    uint64_t cgC = b.Cg4(c, 2, 3, 1);
    b.Link4(cgA, 0, cgC);
    b.Link4(hd, 0, b.Dg4(cgA, b.Dt4(data), 1));
    return b;
}

}  // namespace

TEST(MdfLayout, UnsortedGroupsReturnOnlyTheirOwnRecords)
{
    testlib::TempDir dir;
    MdfBuilder b = UnsortedMdf4({2, 0xFF, 1, 1, 2, 3, 2, 0xFE, 1, 4, 5, 6, 2, 0xFD});
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(Save(b, dir, "unsorted_v410.mf4")));
    auto cn = Channels(mdf);
    ASSERT_EQ(cn.size(), 2u);
    std::vector<char> record(3);
    CCGBlockOp* groupA = cn[0]->GetChannelGroup();
    CCGBlockOp* groupC = cn[1]->GetChannelGroup();
    ASSERT_TRUE(groupA->ReadRecord(record.data(), 0));
    EXPECT_EQ(Value(cn[0], record), 0x030201);
    ASSERT_TRUE(groupC->ReadRecord(record.data(), 2));
    EXPECT_EQ(Value(cn[1], record), -3);
    ASSERT_TRUE(groupA->ReadRecord(record.data(), 1));
    EXPECT_EQ(Value(cn[0], record), 0x060504);
    ASSERT_TRUE(groupC->ReadRecord(record.data(), 0));
    EXPECT_EQ(Value(cn[1], record), -1);
    EXPECT_FALSE(groupA->ReadRecord(record.data(), 2));
}

TEST(MdfLayout, UnknownRecordIdFailsTheRead)
{
    testlib::TempDir dir;
    MdfBuilder b = UnsortedMdf4({2, 0xFF, 9, 1, 2, 3, 1, 4, 5, 6, 2, 0xFE, 2, 0xFD});
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(Save(b, dir, "unknownid_v410.mf4")));
    auto cn = Channels(mdf);
    std::vector<char> record(3, 'x');
    testing::internal::CaptureStdout();
    EXPECT_FALSE(cn[0]->GetChannelGroup()->ReadRecord(record.data(), 0));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("unknown record id"), std::string::npos);
    EXPECT_EQ(record, std::vector<char>(3, 0));
    std::vector<char> one(1);
    EXPECT_TRUE(cn[1]->GetChannelGroup()->ReadRecord(one.data(), 0));
}

TEST(MdfLayout, RecordsStraddleDataBlocksOfAList)
{
    testlib::TempDir dir;
    MdfBuilder b(true);
    uint64_t hd = b.Hd4(0, 1167609600ULL * 1000000000ULL);
    std::vector<uint8_t> first(100), second(200);
    for (int i = 0; i < 100; ++i)
        first[i] = uint8_t(i);
    for (int i = 0; i < 200; ++i)
        second[i] = uint8_t(100 + i);
    uint64_t dl = b.Dl4(0, {b.Dt4(first), b.Dt4(second)});
    uint64_t cn = b.Cn4(b.Tx4("byte0"), 0, 0, 0, 0, 0, 8);
    uint64_t last = b.Cn4(b.Tx4("byte29"), 0, 0, 0, 0, 29, 8);
    b.Link4(cn, 0, last);
    b.Link4(hd, 0, b.Dg4(b.Cg4(cn, 0, 10, 30), dl));
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(Save(b, dir, "datalist_v410.mf4")));
    EXPECT_EQ(mdf.GetMeasurementStartTimestamp(), 0.0);
    auto channels = Channels(mdf);
    CCGBlockOp* group = channels[0]->GetChannelGroup();
    ASSERT_EQ(group->GetRecordCount(), 10u);
    std::vector<char> record(30);
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(group->ReadRecord(record.data(), i));
        EXPECT_EQ(Value(channels[0], record), uint8_t(30 * i));
        EXPECT_EQ(Value(channels[1], record), uint8_t(30 * i + 29));
        group->GetAcqName();  // a text read between records keeps the sequence
    }
    ASSERT_TRUE(group->ReadRecord(record.data(), 3));  // random access
    EXPECT_EQ(Value(channels[0], record), 90);
}

TEST(MdfLayout, CompressedOrOtherDataBlocksAreRefused)
{
    testlib::TempDir dir;
    for (const char* id : {"##DZ", "##HL", "##SD", "##DV"}) {
        MdfBuilder b(true);
        uint64_t hd = b.Hd4(0, 0);
        uint64_t cn = b.Cn4(b.Tx4("v"), 0, 0, 0, 0, 0, 8);
        uint64_t data = b.Dt4(std::vector<uint8_t>(16, 1), id);
        b.Link4(hd, 0, b.Dg4(b.Cg4(cn, 0, 16, 1), data));
        for (bool inList : {false, true}) {
            if (inList)
                b.Link4(hd + 0, 0, b.Dg4(b.Cg4(cn, 0, 16, 1), b.Dl4(0, {data})));
            testing::internal::CaptureStdout();
            CMDFFileOp mdf;
            bool opened = mdf.ReadFile(Save(b, dir, std::string("refused") + (id + 2) + ".mf4"));
            std::string out = testing::internal::GetCapturedStdout();
            ASSERT_TRUE(opened) << id;
            EXPECT_NE(out.find(std::string("data in ") + id), std::string::npos) << out;
            CCNBlockOp* channel = mdf.GetNextChannel(true);
            ASSERT_TRUE(channel);
            EXPECT_EQ(channel->GetChannelGroup()->GetRecordCount(), 0u);
            std::vector<char> record(1, 'x');
            testing::internal::CaptureStdout();
            EXPECT_FALSE(channel->GetChannelGroup()->ReadRecord(record.data(), 0));
            EXPECT_NE(testing::internal::GetCapturedStdout().find("cannot be read"), std::string::npos);
            EXPECT_EQ(record[0], 0);
        }
    }
}

TEST(MdfLayout, ChannelOutsideItsRecordIsLeftOut)
{
    testlib::TempDir dir;
    MdfBuilder b(true);
    uint64_t hd = b.Hd4(0, 0);
    uint64_t inside = b.Cn4(b.Tx4("inside"), 0, 0, 0, 0, 0, 16);
    uint64_t outside = b.Cn4(b.Tx4("outside"), 0, 0, 0, 1, 1, 16);  // bits 9..24 of a 3-byte record
    uint64_t far = b.Cn4(b.Tx4("far"), 0, 0, 4, 0, 0xFFFFFFF0u, 64);
    b.Link4(inside, 0, outside);
    b.Link4(outside, 0, far);
    b.Link4(hd, 0, b.Dg4(b.Cg4(inside, 0, 1, 3), b.Dt4({1, 2, 3})));
    testing::internal::CaptureStdout();
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(Save(b, dir, "outside_v410.mf4")));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("MDF channel outside lies outside its record"), std::string::npos);
    EXPECT_NE(out.find("MDF channel far lies outside its record"), std::string::npos);
    auto cn = Channels(mdf);
    ASSERT_EQ(cn.size(), 1u);
    EXPECT_EQ(cn[0]->GetName(), "inside");
    EXPECT_EQ(cn[0]->GetChannelGroup()->GetNumChannels(), 1u);
}

TEST(MdfLayout, ChannelCursorBelongsToEachFile)
{
    testlib::TempDir dir;
    std::string path = BigEndianMdf3(dir);
    CMDFFileOp one, two;
    EXPECT_EQ(one.GetNextChannel(true), nullptr);  // nothing open
    ASSERT_TRUE(one.ReadFile(path));
    ASSERT_TRUE(two.ReadFile(path));
    EXPECT_EQ(one.GetNextChannel(false), nullptr);  // not started
    CCNBlockOp* first = one.GetNextChannel(true);
    ASSERT_TRUE(two.GetNextChannel(true));
    two.GetNextChannel(false);
    EXPECT_EQ(one.GetNextChannel(false), first->GetNextCN());
    while (one.GetNextChannel(false)) {
    }
    EXPECT_EQ(one.GetNextChannel(false), nullptr);
    EXPECT_EQ(one.GetNextChannel(true), first);
    EXPECT_EQ(one.GetChannelCount(), 4);
    EXPECT_EQ(one.GetChannel(0), first->GetNextCN());
}

TEST(MdfLayout, DataGroupWithoutDataHasNoChannels)
{
    testlib::TempDir dir;
    MdfBuilder b(true);
    uint64_t hd = b.Hd4(0, 0);
    uint64_t cn = b.Cn4(b.Tx4("v"), 0, 0, 0, 0, 0, 8);
    b.Link4(hd, 0, b.Dg4(b.Cg4(cn, 0, 5, 1), 0));
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(Save(b, dir, "nodata_v410.mf4")));
    EXPECT_EQ(mdf.GetNextChannel(true), nullptr);
}

TEST(MdfLayout, Mdf4TextsNamesUnitsAndXmlComments)
{
    testlib::TempDir dir;
    MdfBuilder b(true);
    uint64_t hd = b.Hd4(0, 0);
    uint64_t unit = b.Tx4("<CNunit><TX>km/h</TX></CNunit>", "##MD");
    uint64_t comment = b.Tx4("<CNcomment><TX>speed</TX><raster>0.1</raster></CNcomment>", "##MD");
    uint64_t cn = b.Cn4(b.Tx4("Speed \r\n"), 0, 0, 0, 0, 0, 8, 0, unit, comment);
    b.Link4(hd, 0, b.Dg4(b.Cg4(cn, 0, 1, 1), b.Dt4({1})));
    CMDFFileOp mdf;
    ASSERT_TRUE(mdf.ReadFile(Save(b, dir, "texts_v410.mf4")));
    CCNBlockOp* channel = mdf.GetNextChannel(true);
    ASSERT_TRUE(channel);
    EXPECT_EQ(channel->GetName(), "Speed");
    EXPECT_EQ(channel->GetUnit(), "km/h");
    EXPECT_EQ(channel->GetComment(), "speed");
    std::string name, unitText = "keep", commentText;
    EXPECT_TRUE(channel->GetChannelInfo(name, unitText, commentText));
    EXPECT_EQ(unitText, "km/h");
}

TEST(MdfLayout, SeveralGroupsWithoutRecordIdsAreRefused)
{
    testlib::TempDir dir;
    MdfBuilder b(true);
    uint64_t hd = b.Hd4(0, 0);
    uint64_t cgA = b.Cg4(b.Cn4(b.Tx4("a"), 0, 0, 0, 0, 0, 8), 0, 2, 1);
    uint64_t cgC = b.Cg4(b.Cn4(b.Tx4("c"), 0, 0, 0, 0, 0, 8), 0, 2, 1);
    b.Link4(cgA, 0, cgC);
    b.Link4(hd, 0, b.Dg4(cgA, b.Dt4({1, 2, 3, 4})));
    CMDFFileOp mdf;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(mdf.ReadFile(Save(b, dir, "noids_v410.mf4")));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("without record ids"), std::string::npos);
    for (CCNBlockOp* cn = mdf.GetNextChannel(true); cn; cn = mdf.GetNextChannel(false))
        EXPECT_EQ(cn->GetChannelGroup()->GetRecordCount(), 0u);
}
