// The MDF writers' rules that a block walk of a finished file cannot show:
// description types, the failure flag (short writes, 4 GiB, stream position,
// protocol order) and the byte images behind each guard. Whole files are
// walked by mdf_files_test.py.
#include "mdfwrite/MDFFile.h"
#include "mdfwrite/MDFFile_V4.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace {

// A tmpfile whose bytes can be read back while the writer goes on.
class Output {
public:
    Output() : fp(std::tmpfile()) {}
    ~Output()
    {
        if (fp)
            std::fclose(fp);
    }
    std::vector<uint8_t> Bytes()
    {
        std::fflush(fp);
        off_t at = ftello(fp);
        std::fseek(fp, 0, SEEK_END);
        std::vector<uint8_t> bytes(static_cast<size_t>(ftello(fp)));
        std::rewind(fp);
        size_t got = std::fread(bytes.data(), 1, bytes.size(), fp);
        bytes.resize(got);
        fseeko(fp, at, SEEK_SET);
        return bytes;
    }
    FILE* fp;
};

uint64_t LE(std::vector<uint8_t> const& bytes, size_t offset, unsigned size)
{
    uint64_t value = 0;
    for (unsigned i = 0; i < size; ++i)
        value |= static_cast<uint64_t>(bytes.at(offset + i)) << (8 * i);
    return value;
}

MdfChannelInfo ByteChannel(char const* name, uint16_t byteOffset)
{
    MdfChannelInfo ci;
    ci.name = name;
    ci.dataType = 0;
    ci.bitCount = 8;
    ci.byteOffset = byteOffset;
    return ci;
}

void StartFile(MDFFile& writer, FILE* fp, unsigned short groups)
{
    MdfHeaderInfo info("", "", "");
    tm start{};
    start.tm_year = 121;
    start.tm_mday = 1;
    ASSERT_EQ(writer.WriteHeader(info, groups, &start), 0);
    writer.WriteHeaderToFile(fp);
    ASSERT_FALSE(writer.HasFailed());
}

// One group of single-byte records: DG 272, CG 300, CN 326, records at 554.
void OneByteGroup(MDFFile& writer, FILE* fp, unsigned recordCount, bool isLast)
{
    writer.PrepareDataGroup(1, recordCount, 1, nullptr);
    MdfChannelInfo ci = ByteChannel("b", 0);
    writer.AddChannelToPreparedGroup(ci);
    writer.FlushPreparedGroup(fp, isLast);
}

std::unique_ptr<MDFFile> MakeWriter(int version)
{
    if (version == 3)
        return std::make_unique<MDFFile>();
    return std::make_unique<MDFFile_V4>();
}

// ---- Descriptions -----------------------------------------------------------

TEST(MdfChannelInfo, NewChannelDefaults)
{
    MdfChannelInfo ci;
    EXPECT_EQ(ci.factor, 1.0);
    EXPECT_EQ(ci.offset, 0.0);
    EXPECT_EQ(ci.dataType, 3);
    EXPECT_EQ(ci.bitCount, 32);
    EXPECT_EQ(ci.precision, -1);
    EXPECT_FALSE(ci.isTime);
    EXPECT_FALSE(ci.bigEndian);
}

TEST(MdfChannelInfo, TimeFieldWidth)
{
    struct Case {
        int bits;
        uint16_t dataType, bitCount;
    } cases[] = {{0, 3, 32}, {32, 3, 32}, {1, 4, 64}, {8, 4, 64}, {64, 4, 64}};
    for (Case const& c : cases) {
        MdfChannelInfo ci;
        ci.byteOffset = 12;
        ci.SetTimeField(c.bits);
        EXPECT_TRUE(ci.isTime);
        EXPECT_EQ(ci.name, "time");
        EXPECT_EQ(ci.unit, "s");
        EXPECT_EQ(ci.dataType, c.dataType) << c.bits;
        EXPECT_EQ(ci.bitCount, c.bitCount) << c.bits;
        EXPECT_EQ(ci.byteOffset, 12);
    }
}

TEST(MdfChannelInfo, TypeCodes)
{
    struct Case {
        uint16_t dataType;
        uint16_t v3Little, v3Big;
        uint8_t v4Little, v4Big;
    } cases[] = {{0, 0, 9, 0, 1}, {1, 1, 10, 2, 3}, {3, 2, 11, 4, 5}, {4, 3, 12, 4, 5},
                 {7, 0, 0, 6, 6}, {2, 0, 0, 0, 1},  {9, 0, 0, 0, 1}};
    for (Case const& c : cases) {
        MdfChannelInfo ci;
        ci.dataType = c.dataType;
        EXPECT_EQ(ci.GetV3Type(), c.v3Little) << c.dataType;
        EXPECT_EQ(ci.GetV4Type(), c.v4Little) << c.dataType;
        ci.bigEndian = true;
        EXPECT_EQ(ci.GetV3Type(), c.v3Big) << c.dataType;
        EXPECT_EQ(ci.GetV4Type(), c.v4Big) << c.dataType;
    }
}

TEST(MdfTexts, XmlEncodeReplacesEveryOccurrence)
{
    std::string text = "<a&&b>\"q\"'";
    XMLEncode(text);
    EXPECT_EQ(text, "&lt;a&amp;&amp;b&gt;&quot;q&quot;&apos;");
    std::string plain = "plain text \xc3\xa9";
    XMLEncode(plain);
    EXPECT_EQ(plain, "plain text \xc3\xa9");
}

TEST(MdfTexts, XmlCharacterDataIsWellFormedUtf8)
{
    EXPECT_EQ(XmlCharacterData("a\x01" "b"), "a\xef\xbf\xbd" "b");
    EXPECT_EQ(XmlCharacterData("caf\xe9"), "caf\xc3\xa9");  // a lone Latin-1 byte
    EXPECT_EQ(XmlCharacterData("t\xc3\xa9<\t\n"), "t\xc3\xa9&lt;\t\n");
}

TEST(MdfTexts, StringStructSize)
{
    EXPECT_EQ(GetStringStructSize(""), 32u);
    EXPECT_EQ(GetStringStructSize(nullptr), 32u);
    EXPECT_EQ(GetStringStructSize("1234567"), 32u);
    EXPECT_EQ(GetStringStructSize("12345678"), 40u);
}

TEST(MdfTexts, NullTextsAreEmpty)
{
    MdfMarker marker(nullptr, nullptr, 2.5);
    EXPECT_EQ(marker.name, "");
    EXPECT_EQ(marker.comment, "");
    EXPECT_EQ(marker.time, 2.5);
    MdfHeaderInfo info(nullptr, "car", nullptr);
    EXPECT_EQ(info.vehicle, "car");
    EXPECT_EQ(info.project, "");
}

TEST(MdfNumbers, EventSyncValue)
{
    EXPECT_EQ(EventSyncValue(1.5), 1500000);
    EXPECT_EQ(EventSyncValue(-2.5), -2500000);
    EXPECT_EQ(EventSyncValue(1.9999994e-6), 1);  // truncated toward zero
    EXPECT_EQ(EventSyncValue(std::nan("")), 0);
    EXPECT_EQ(EventSyncValue(std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(EventSyncValue(-std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(EventSyncValue(1e300), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(EventSyncValue(-1e300), std::numeric_limits<int64_t>::min());
}

TEST(MdfNumbers, FloatNarrowingFollowsIeeeRounding)
{
    EXPECT_EQ(ToFloat32(1.5), 1.5f);
    EXPECT_EQ(ToFloat32(DBL_MAX), std::numeric_limits<float>::infinity());
    EXPECT_EQ(ToFloat32(-DBL_MAX), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(ToFloat32(static_cast<double>(FLT_MAX) * (1 + 1e-9)), FLT_MAX);
    EXPECT_TRUE(std::isnan(ToFloat32(std::nan(""))));
}

// ---- Values and records -----------------------------------------------------

TEST(MdfWriter, WriteValueWidths)
{
    Output out;
    MDFFile writer;
    double value = -0.15625;
    EXPECT_EQ(writer.WriteValue(&value, 32, out.fp), 1u);
    EXPECT_EQ(writer.WriteValue(&value, 64, out.fp), 1u);
    EXPECT_EQ(writer.WriteValue(&value, 0, out.fp), 1u);
    std::vector<uint8_t> bytes = out.Bytes();
    ASSERT_EQ(bytes.size(), 4u + 8 + 8);
    float f;
    uint32_t f32 = static_cast<uint32_t>(LE(bytes, 0, 4));
    std::memcpy(&f, &f32, 4);
    EXPECT_EQ(f, -0.15625f);
    double d;
    uint64_t f64 = LE(bytes, 12, 8);
    std::memcpy(&d, &f64, 8);
    EXPECT_EQ(d, -0.15625);
    EXPECT_FALSE(writer.HasFailed());
}

TEST(MdfWriter, BadRecordArgumentsFail)
{
    Output out;
    MDFFile writer;
    EXPECT_EQ(writer.WriteRecord(nullptr, 4, out.fp), 0u);
    EXPECT_TRUE(writer.HasFailed());
    MDFFile other;
    char byte = 1;
    EXPECT_EQ(other.WriteRecord(&byte, 1, nullptr), 0u);
    EXPECT_TRUE(other.HasFailed());
}

// ---- Short writes -----------------------------------------------------------

class BothVersions : public ::testing::TestWithParam<int> {};

TEST_P(BothVersions, WritingToDevFullSetsTheFlag)
{
    FILE* fp = std::fopen("/dev/full", "wb");
    ASSERT_NE(fp, nullptr);
    auto writer = MakeWriter(GetParam());
    MdfHeaderInfo info("p", "v", "a");
    writer->WriteHeader(info, 1, nullptr);
    writer->WriteHeaderToFile(fp);
    OneByteGroup(*writer, fp, 3, true);
    uint8_t record = 7;
    for (int i = 0; i < 3; ++i)
        writer->WriteRecord(&record, 1, fp);
    writer->FinishWritingData(fp);
    EXPECT_TRUE(writer->HasFailed());
    // Sticky: nothing more is written.
    EXPECT_EQ(writer->WriteRecord(&record, 1, fp), 0u);
    std::fclose(fp);
}

TEST_P(BothVersions, UnbufferedShortWriteFailsAtOnce)
{
    FILE* fp = std::fopen("/dev/full", "wb");
    ASSERT_NE(fp, nullptr);
    std::setvbuf(fp, nullptr, _IONBF, 0);
    auto writer = MakeWriter(GetParam());
    MdfHeaderInfo info("", "", "");
    writer->WriteHeader(info, 1, nullptr);
    writer->WriteHeaderToFile(fp);
    EXPECT_TRUE(writer->HasFailed());
    std::fclose(fp);
}

// ---- Records that differ from the declaration -------------------------------

TEST_P(BothVersions, MissingRecordsAreDetected)
{
    Output out;
    auto writer = MakeWriter(GetParam());
    StartFile(*writer, out.fp, 1);
    OneByteGroup(*writer, out.fp, 3, true);
    uint8_t record = 1;
    writer->WriteRecord(&record, 1, out.fp);
    writer->WriteRecord(&record, 1, out.fp);
    writer->FinishWritingData(out.fp);
    EXPECT_TRUE(writer->HasFailed());
}

TEST_P(BothVersions, ExtraRecordsAreDetected)
{
    Output out;
    auto writer = MakeWriter(GetParam());
    StartFile(*writer, out.fp, 2);
    OneByteGroup(*writer, out.fp, 1, false);
    uint8_t record = 1;
    writer->WriteRecord(&record, 1, out.fp);
    writer->WriteRecord(&record, 1, out.fp);
    // Even without FinishWritingData the next group sees where the stream is.
    OneByteGroup(*writer, out.fp, 1, true);
    EXPECT_TRUE(writer->HasFailed());
}

TEST_P(BothVersions, HeaderMustStartTheStream)
{
    Output out;
    std::fputs("x", out.fp);
    auto writer = MakeWriter(GetParam());
    MdfHeaderInfo info("", "", "");
    writer->WriteHeader(info, 1, nullptr);
    writer->WriteHeaderToFile(out.fp);
    EXPECT_TRUE(writer->HasFailed());
    EXPECT_EQ(out.Bytes().size(), 1u);
}

// ---- Protocol order ---------------------------------------------------------

TEST_P(BothVersions, CallsOutOfOrderFail)
{
    Output out;
    MdfHeaderInfo info("", "", "");
    MdfChannelInfo ci = ByteChannel("b", 0);
    {
        auto writer = MakeWriter(GetParam());
        writer->PrepareDataGroup(1, 1, 1, nullptr);  // before the header
        EXPECT_TRUE(writer->HasFailed());
    }
    {
        auto writer = MakeWriter(GetParam());
        writer->WriteHeader(info, 1, nullptr);
        EXPECT_EQ(writer->WriteHeader(info, 1, nullptr), -1);
        EXPECT_TRUE(writer->HasFailed());
    }
    {
        auto writer = MakeWriter(GetParam());
        writer->AddChannelToPreparedGroup(ci);
        EXPECT_TRUE(writer->HasFailed());
    }
    {
        Output file;
        auto writer = MakeWriter(GetParam());
        StartFile(*writer, file.fp, 1);
        writer->FlushPreparedGroup(file.fp, true);
        EXPECT_TRUE(writer->HasFailed());
    }
    {
        Output file;
        auto writer = MakeWriter(GetParam());
        StartFile(*writer, file.fp, 2);
        OneByteGroup(*writer, file.fp, 0, true);
        writer->FinishWritingData(file.fp);
        EXPECT_EQ(writer->GetMdfVersion() == 3, writer->HasFailed());  // 3.30 counts its groups
        writer->PrepareDataGroup(1, 1, 1, nullptr);  // after the last group
        EXPECT_TRUE(writer->HasFailed());
    }
    {
        // The header declares none: 3.30 wrote that count, 4.00 links the
        // group into the header all the same.
        Output file;
        auto writer = MakeWriter(GetParam());
        StartFile(*writer, file.fp, 0);
        uint64_t const dg = file.Bytes().size();
        OneByteGroup(*writer, file.fp, 0, true);
        EXPECT_EQ(writer->GetMdfVersion() == 3, writer->HasFailed());
        if (writer->GetMdfVersion() == 4) {
            EXPECT_EQ(LE(file.Bytes(), 64 + 24, 8), dg);
        }
    }
    {
        Output file;
        auto writer = MakeWriter(GetParam());
        StartFile(*writer, file.fp, 1);
        writer->PrepareDataGroup(1, 1, 1, nullptr);
        writer->FinishWritingData(file.fp);  // never flushed
        EXPECT_TRUE(writer->HasFailed());
    }
}

TEST_P(BothVersions, WholeFileRoadIsRefused)
{
    Output out;
    auto writer = MakeWriter(GetParam());
    EXPECT_EQ(writer->AddChannelGroup(1, "g"), nullptr);
    EXPECT_FALSE(writer->FlushDataGroups(out.fp));
    EXPECT_TRUE(writer->HasFailed());
    EXPECT_EQ(out.Bytes().size(), 0u);
}

TEST_P(BothVersions, DestroyingWithAPreparedGroupReleasesIt)
{
    Output out;
    auto writer = MakeWriter(GetParam());
    StartFile(*writer, out.fp, 1);
    size_t const header = out.Bytes().size();
    writer->PrepareDataGroup(8, 1, 1, "kept");
    MdfChannelInfo ci = ByteChannel("b", 0);
    writer->AddChannelToPreparedGroup(ci);
    writer.reset();  // the leak checker would report a group left behind
    EXPECT_EQ(out.Bytes().size(), header);  // a group never flushed is never written
}

INSTANTIATE_TEST_SUITE_P(MdfWriter, BothVersions, ::testing::Values(3, 4));

// ---- MDF 3.30 ---------------------------------------------------------------

TEST(Mdf3Writer, GroupPastFourGiBStopsTheFile)
{
    Output out;
    MDFFile writer;
    StartFile(writer, out.fp, 2);
    // Records end exactly at 4 GiB: the next DG's link cannot hold it.
    OneByteGroup(writer, out.fp, static_cast<unsigned>((1ULL << 32) - 554), false);
    EXPECT_TRUE(writer.HasFailed());
    EXPECT_EQ(out.Bytes().size(), 272u);  // nothing of the group written
}

TEST(Mdf3Writer, RecordSizeTimesCountIsSixtyFourBits)
{
    Output out;
    MDFFile writer;
    StartFile(writer, out.fp, 2);
    // 2 * 0x80000010 wraps to 0x20 in 32 bits.
    writer.PrepareDataGroup(2, 0x80000010u, 1, nullptr);
    MdfChannelInfo ci = ByteChannel("b", 0);
    writer.AddChannelToPreparedGroup(ci);
    writer.FlushPreparedGroup(out.fp, false);
    EXPECT_TRUE(writer.HasFailed());
    EXPECT_EQ(out.Bytes().size(), 272u);
}

TEST(Mdf3Writer, LastLinkBelowFourGiBAndTheNextBlockBeyond)
{
    Output out;
    MDFFile writer;
    StartFile(writer, out.fp, 2);
    OneByteGroup(writer, out.fp, static_cast<unsigned>(0xFFFFFFFFULL - 554), false);
    ASSERT_FALSE(writer.HasFailed());
    std::vector<uint8_t> bytes = out.Bytes();
    ASSERT_EQ(bytes.size(), 554u);
    EXPECT_EQ(LE(bytes, 272 + 4, 4), 0xFFFFFFFFu);  // next DG
    EXPECT_EQ(LE(bytes, 272 + 16, 4), 554u);        // records
    EXPECT_EQ(LE(bytes, 300 + 22, 4), 0xFFFFFFFFULL - 554);
    // Stand in for the 4 GiB of records: the stream is where they end.
    ASSERT_EQ(fseeko(out.fp, 0xFFFFFFFFLL, SEEK_SET), 0);
    writer.FinishWritingData(out.fp);
    ASSERT_FALSE(writer.HasFailed());
    // The next group's DG fits at 2^32 - 1, its CG does not.
    OneByteGroup(writer, out.fp, 1, true);
    EXPECT_TRUE(writer.HasFailed());
    EXPECT_EQ(out.Bytes().size(), 554u);
}

TEST(Mdf3Writer, ChannelImage)
{
    Output out;
    MDFFile writer;
    StartFile(writer, out.fp, 1);
    writer.PrepareDataGroup(10000, 0, 9, "Engine");
    MdfChannelInfo bits = ByteChannel("bits", 2);
    bits.bitOffset = 11;  // only its value modulo 8 counts
    bits.bitCount = 4;
    bits.unit = "V";
    writer.AddChannelToPreparedGroup(bits);
    MdfChannelInfo far = ByteChannel("far", 9000);
    far.bitOffset = 2;
    far.dataType = 1;
    far.minValue = 5.0;
    far.maxValue = 1.0;  // an empty range is not written
    writer.AddChannelToPreparedGroup(far);
    MdfChannelInfo nan = ByteChannel("nan", 3);
    nan.factor = std::nan("");
    writer.AddChannelToPreparedGroup(nan);
    writer.FlushPreparedGroup(out.fp, true);
    ASSERT_FALSE(writer.HasFailed());
    std::vector<uint8_t> b = out.Bytes();
    size_t const dg = 272, tx = dg + 28, cg = tx + 11, cn1 = cg + 26;
    EXPECT_EQ(LE(b, tx + 2, 2), 11u);
    EXPECT_EQ(LE(b, dg + 8, 4), cg);
    EXPECT_EQ(LE(b, cg + 12, 4), tx);
    EXPECT_EQ(LE(b, cg + 18, 2), 3u);  // the channels added, not the 9 declared
    EXPECT_EQ(LE(b, cn1 + 186, 2), 19u);  // byte 2, bit 3
    EXPECT_EQ(LE(b, cn1 + 226, 2), 0u);
    size_t cc1 = LE(b, cn1 + 8, 4);
    EXPECT_EQ(cc1, cn1 + 228);
    EXPECT_EQ(LE(b, cc1 + 2, 2), 62u);  // a unit alone gives the linear form
    EXPECT_EQ(std::string(reinterpret_cast<char const*>(&b[cc1 + 22])), "V");
    size_t cn2 = LE(b, cn1 + 4, 4);
    EXPECT_EQ(cn2, cc1 + 62);
    EXPECT_EQ(LE(b, cn2 + 186, 2), 2u);
    EXPECT_EQ(LE(b, cn2 + 226, 2), 9000u);
    EXPECT_EQ(LE(b, cn2 + 192, 2), 0u);
    EXPECT_EQ(LE(b, cn2 + 8, 4), 0u);
    size_t cn3 = LE(b, cn2 + 4, 4);
    EXPECT_EQ(cn3, cn2 + 228);
    size_t cc3 = LE(b, cn3 + 8, 4);
    ASSERT_NE(cc3, 0u);  // a NaN factor differs from the identity
    EXPECT_EQ(std::string(reinterpret_cast<char const*>(&b[cc3 + 22])), "-");
    EXPECT_EQ(LE(b, cn3 + 4, 4), 0u);
}

TEST(Mdf3Writer, ChannelOutsideItsRecordFails)
{
    Output out;
    MDFFile writer;
    StartFile(writer, out.fp, 1);
    writer.PrepareDataGroup(8, 1, 1, nullptr);
    MdfChannelInfo ci = ByteChannel("wide", 4);
    ci.bitCount = 64;
    writer.AddChannelToPreparedGroup(ci);
    EXPECT_TRUE(writer.HasFailed());
    EXPECT_EQ(ci.byteOffset, 4);
}

TEST(Mdf3Writer, ChannelCountStaysWithinSixteenBits)
{
    Output out;
    MDFFile writer;
    StartFile(writer, out.fp, 1);
    writer.PrepareDataGroup(65535, 1, 65535, nullptr);
    MdfChannelInfo ci = ByteChannel("", 0);
    ci.bitCount = 1;
    for (int i = 0; i < 65535; ++i)
        writer.AddChannelToPreparedGroup(ci);
    EXPECT_FALSE(writer.HasFailed());
    writer.AddChannelToPreparedGroup(ci);
    EXPECT_TRUE(writer.HasFailed());
}

TEST(Mdf3Writer, HeaderDateLeavesTheCallersTimeAlone)
{
    Output out;
    MDFFile writer;
    MdfHeaderInfo info("", "", "");
    tm start{};
    start.tm_year = 121;
    start.tm_mon = 2;
    start.tm_mday = 5;
    start.tm_hour = 14;
    start.tm_min = 7;
    start.tm_sec = 69;  // normalised to 14:08:09
    tm const copy = start;
    writer.WriteHeader(info, 0, &start);
    writer.WriteHeaderToFile(out.fp);
    EXPECT_EQ(std::memcmp(&start, &copy, sizeof start), 0);
    std::vector<uint8_t> b = out.Bytes();
    ASSERT_EQ(b.size(), 272u);
    EXPECT_EQ(std::string(reinterpret_cast<char const*>(&b[82]), 18), "05:03:202114:08:09");
    EXPECT_EQ(LE(b, 228, 8), 1614953289ULL * 1000000000ULL);
    EXPECT_EQ(LE(b, 68, 4), 0u);  // no group declared, none linked
}

TEST(Mdf3Writer, StartTimeBefore1970IsZero)
{
    Output out;
    MDFFile writer;
    MdfHeaderInfo info("", "", "");
    tm start{};
    start.tm_year = 60;
    start.tm_mday = 1;
    writer.WriteHeader(info, 0, &start);
    writer.WriteHeaderToFile(out.fp);
    std::vector<uint8_t> b = out.Bytes();
    EXPECT_EQ(LE(b, 228, 8), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<char const*>(&b[82]), 10), "01:01:1960");
}

// ---- MDF 4.00 ---------------------------------------------------------------

TEST(Mdf4Writer, HugeGroupLinksPastFourGiB)
{
    Output out;
    MDFFile_V4 writer;
    StartFile(writer, out.fp, 2);
    uint64_t const dg = out.Bytes().size();
    writer.PrepareDataGroup(65535, 0xFFFFFFFFu, 1, nullptr);
    MdfChannelInfo ci = ByteChannel("b", 0);
    writer.AddChannelToPreparedGroup(ci);
    writer.FlushPreparedGroup(out.fp, false);
    ASSERT_FALSE(writer.HasFailed());
    std::vector<uint8_t> b = out.Bytes();
    uint64_t const records = 65535ULL * 0xFFFFFFFFULL;
    uint64_t const dt = LE(b, dg + 40, 8);
    ASSERT_EQ(dt + 24, b.size());
    EXPECT_EQ(std::string(reinterpret_cast<char const*>(&b[dt]), 4), "##DT");
    EXPECT_EQ(LE(b, dt + 8, 8), records + 24);
    EXPECT_EQ(LE(b, dg + 24, 8), (dt + records + 24 + 7) / 8 * 8);
    uint64_t const cg = LE(b, dg + 32, 8);
    EXPECT_EQ(LE(b, cg + 80, 8), 0xFFFFFFFFu);
    EXPECT_EQ(LE(b, cg + 96, 4), 65535u);
}

TEST(Mdf4Writer, FittingLowersTheCallersOffsetOnly)
{
    Output out;
    MDFFile_V4 writer;
    StartFile(writer, out.fp, 1);
    writer.PrepareDataGroup(8, 1, 2, nullptr);
    MdfChannelInfo moved = ByteChannel("moved", 4);
    moved.dataType = 4;
    moved.bitCount = 64;
    writer.AddChannelToPreparedGroup(moved);
    EXPECT_EQ(moved.byteOffset, 0);
    EXPECT_FALSE(writer.HasFailed());
    MdfChannelInfo wide = ByteChannel("wide", 1);
    wide.bitCount = 72;  // cannot fit even at byte 0
    writer.AddChannelToPreparedGroup(wide);
    EXPECT_TRUE(writer.HasFailed());
    EXPECT_EQ(wide.byteOffset, 1);
}

TEST(Mdf4Writer, MarkersAfterTheHeaderAreRefused)
{
    MDFFile_V4 writer;
    writer.AddMarker(MdfMarker("before", "", 0.0));
    MdfHeaderInfo info("", "", "");
    writer.WriteHeader(info, 1, nullptr);
    EXPECT_FALSE(writer.HasFailed());
    writer.AddMarker(MdfMarker("after", "", 1.0));
    EXPECT_TRUE(writer.HasFailed());
}

TEST(Mdf4Writer, ChannelImage)
{
    Output out;
    MDFFile_V4 writer;
    StartFile(writer, out.fp, 1);
    uint64_t const dg = out.Bytes().size();
    writer.PrepareDataGroup(4, 0, 1, "");  // an empty name is no name
    MdfChannelInfo ci = ByteChannel("c", 1);
    ci.bitOffset = 13;
    ci.bitCount = 3;
    ci.precision = -1;
    ci.states = {{1.0, "on"}, {0.0, "off"}};
    ci.unit = "";
    writer.AddChannelToPreparedGroup(ci);
    writer.FlushPreparedGroup(out.fp, true);
    writer.FinishWritingData(out.fp);
    ASSERT_FALSE(writer.HasFailed());
    std::vector<uint8_t> b = out.Bytes();
    uint64_t const cg = dg + 64;
    EXPECT_EQ(LE(b, dg + 32, 8), cg);
    EXPECT_EQ(LE(b, cg + 40, 8), 0u);
    uint64_t const cn = LE(b, cg + 32, 8);
    EXPECT_EQ(cn, cg + 104);
    EXPECT_EQ(LE(b, cn + 40, 8), cn + 160);  // name TX
    EXPECT_EQ(LE(b, cn + 72, 8), 0u);        // no unit
    EXPECT_EQ(b[cn + 91], 5u);
    EXPECT_EQ(LE(b, cn + 92, 4), 1u);
    EXPECT_EQ(LE(b, cn + 100, 4), 0u);  // no precision, no range
    uint64_t const cc = LE(b, cn + 56, 8);
    EXPECT_EQ(cc, cn + 160 + 32);
    EXPECT_EQ(LE(b, cc + 8, 8), 120u);
    EXPECT_EQ(LE(b, cc + 16, 8), 7u);
    EXPECT_EQ(LE(b, cc + 32, 8), 0u);  // unit link
    EXPECT_EQ(LE(b, cc + 56, 8), cc + 120);
    EXPECT_EQ(LE(b, cc + 64, 8), cc + 152);
    EXPECT_EQ(LE(b, cc + 72, 8), 0u);
    EXPECT_EQ(LE(b, dg + 40, 8), cc + 120 + 64);  // DT right behind the texts
    EXPECT_EQ(LE(b, dg + 40, 8) + 24, b.size());  // no records, no padding
}

}  // namespace
