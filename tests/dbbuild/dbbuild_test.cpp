// The builder and the channel lists on files made for what the fixtures
// (swept by check_fixture_databases.py) do not hold. Stored rows are read
// with the sqlite3 command, statistics checked by python (db_checks.py).
#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "MdfBuilder.h"
#include "dbbuild/DumpSignals.h"
#include "dbbuild/NetworkStatistics.h"
#include "mdfread/MDFFileOp.h"
#include "support/CppSQLite3U.h"
#include "support/LibUtils.h"
#include "support/MeasurementDb.h"
#include "testlib/TestSupport.h"
#include "vantrel.h"

namespace {

using namespace mdftest;

// ---- Files of channel groups with given values ----------------------------------------

struct Channel {
    std::string name;
    unsigned type = 0, bits = 8;  // MDF 4 data type: 0 unsigned, 2 signed, 4 float
    std::vector<double> values = {};  // raw, one per record
    std::vector<double> linear = {};  // {offset, factor} of a linear conversion
    uint32_t byteOffset = 0;      // 0: behind the channel before; else there, taking no room
};

struct Group {
    std::vector<double> times = {};
    std::vector<Channel> channels = {};
    std::string timeComment = "";  // "message | network" names the group's message
    bool timed = true;
};

// An MDF 4 file starting at time 0, a data group per group: its blocks, then
// its records of a float64 time (when timed) and the channels back to back.
std::string Write(const testlib::TempDir& dir, const std::string& name, const std::vector<Group>& groups)
{
    MdfBuilder b(true);
    uint64_t previous = b.Hd4(0);
    for (const Group& group : groups) {
        std::vector<uint64_t> channels;
        uint32_t size = group.timed ? 8 : 0;
        if (group.timed)
            channels.push_back(b.Cn4(b.Tx4("t"), 2, 1, 4, 0, 0, 64, 0, b.Tx4(group.timeComment)));
        for (const Channel& c : group.channels) {
            const uint64_t cc = c.linear.empty() ? 0 : b.Cc4(1, {}, c.linear);
            channels.push_back(b.Cn4(b.Tx4(c.name), 0, 0, c.type, 0, c.byteOffset ? c.byteOffset : size, c.bits, cc));
            size += c.byteOffset ? 0 : (c.bits + 7) / 8;
        }
        for (size_t k = 1; k < channels.size(); ++k)
            b.Link4(channels[k - 1], 0, channels[k]);
        const uint64_t dg = b.Dg4(b.Cg4(channels.empty() ? 0 : channels[0], 0, group.times.size(), size), 0);
        b.Link4(previous, 0, dg);
        previous = dg;
        Bytes data;
        for (size_t i = 0; i < group.times.size(); ++i) {
            Add(data, {group.timed ? LEF64(group.times[i]) : Bytes()});
            for (const Channel& c : group.channels) {
                const double v = c.byteOffset ? 0 : c.values.at(i);
                const float single = c.bits == 32 ? float(v) : 0.0f;
                uint64_t raw = c.type == 2 ? uint64_t(int64_t(v)) : c.type == 4 ? 0 : uint64_t(v);
                if (c.type == 4)
                    std::memcpy(&raw, c.bits == 32 ? static_cast<const void*>(&single) : &v, c.bits / 8);
                Add(data, {c.byteOffset ? Bytes() : LE(raw, int(c.bits + 7) / 8)});
            }
        }
        b.Link4(dg, 2, b.Dt4(data));  // records behind the blocks that describe them
    }
    b.Save(dir.file(name));
    return dir.file(name);
}

// 8-bit counters, signal k holding (k + record) % 256, records 0.01 s apart.
Group Counters(size_t signals, size_t records, const std::string& prefix = "s", const std::string& comment = "")
{
    Group group{{}, {}, comment};
    for (size_t r = 0; r < records; ++r)
        group.times.push_back(0.01 * double(r));
    for (size_t k = 1; k <= signals; ++k) {
        group.channels.push_back({prefix + std::to_string(k)});
        for (size_t r = 0; r < records; ++r)
            group.channels.back().values.push_back(double((k + r) % 256));
    }
    return group;
}

// One data group of two channel groups with record ids, a time and an 8-bit
// value each: "a" (id 1, 3 records) and "c" (id 2, 1 record). The third
// record carries the unknown id 9: of "a" only the first (t 0, a 10) can be read.
std::string WriteStrayRecord(const testlib::TempDir& dir)
{
    MdfBuilder b(true);
    const uint64_t hd = b.Hd4(0);
    auto group = [&](const char* name, uint64_t id, uint64_t records) {
        const uint64_t time = b.Cn4(b.Tx4("t"), 2, 1, 4, 0, 0, 64);
        b.Link4(time, 0, b.Cn4(b.Tx4(name), 0, 0, 0, 0, 8, 8));
        return b.Cg4(time, id, records, 9);
    };
    const uint64_t a = group("a", 1, 3);
    b.Link4(a, 0, group("c", 2, 1));
    Bytes data;
    for (auto [id, t, v] : {std::tuple<int, double, int>{1, 0.0, 10}, {2, 0.5, 20}, {9, 0.7, 30}, {1, 1.0, 11}})
        Add(data, {LE(id, 1), LEF64(t), LE(v, 1)});
    b.Link4(hd, 0, b.Dg4(a, b.Dt4(data), 1));
    b.Save(dir.file("stray.mf4"));
    return dir.file("stray.mf4");
}

struct Call {
    int result;
    std::string output;
};

template <typename Function>
Call Captured(Function call)
{
    testlib::StdoutCapture capture;
    const int result = call();
    return {result, capture.text()};
}

Call Build(const std::string& mdf, const std::string& db)
{
    return Captured([&] { return CreateDatabase(mdf.c_str(), db.c_str()); });
}

std::string Sql(const std::string& db, const std::string& sql) { return testlib::sqlite3(db, sql).output; }

// db_checks.py: every statistic of every Channels row against python's, and
// a statistics list of the same file against the Channels rows.
std::string PythonStatistics(const std::string& db, const std::string& list = "")
{
    testlib::CommandResult run = testlib::run(testlib::python() + " " +
                                              testlib::shellQuote(testlib::sourcePath("tests/dbbuild/db_checks.py")) +
                                              " " + testlib::shellQuote(db) + " " + testlib::shellQuote(list));
    return run.exitCode == 0 ? "" : run.output + "!";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// ---- The stored database ------------------------------------------------------------

TEST(Builder, StatisticsOfHardValuesAgreeWithPython)
{
    testlib::TempDir dir;
    Group values = Counters(0, 10), empty = Counters(0, 0), badTimes = Counters(1, 4);
    values.channels = {
        {"constant", 4, 64, std::vector<double>(10, 7.5)},
        {"offset_1e8", 4, 64, {1e8, 1e8 + .01, 1e8 + .02, 1e8 + .03, 1e8 + .04, 1e8 + .05, 1e8 + .06, 1e8 + .07,
                               1e8 + .08, 1e8 + .09}},
        {"gaps", 4, 64, {1, NAN, 3, INFINITY, -INFINITY, 2, 2, NAN, 5, 0}},
        {"signed", 2, 32, {-5, 7, -2147483648.0, 2147483647, 0, 1, 2, 3, 4, -1}},
        {"u64", 0, 64, {0, 1, 18446744073709549568.0, 4, 5, 6, 7, 8, 9, 10}},
        {"huge", 4, 64, {1.7e308, -1.7e308, 0, 1.7e308, 1e300, -1e300, 3, 3, -1.7e308, 1e200}},
        {"scaled", 0, 16, {10, 20, 30, 40, 50, 60, 70, 80, 90, 100}, {1, 0.5}},
        {"float32", 4, 32, {0.5, -0.25, 1e30, 3, 3, 3, 0, 1, 2, 3}},
        // Also past the rows of four fed at once.
        {"huge_last", 4, 64, {-1e300, 1.7e308, 0, -1.7e308, 1e300, 0, 3, 1.7e308, -1.7e308, 1}},
        {"tenth", 4, 64, std::vector<double>(10, 0.1)},  // the sum over the count would not be 0.1
    };
    empty.channels = {{"never", 4, 64}, {"never_int", 0, 16}};
    badTimes.times = {0.0, NAN, INFINITY, 0.5};
    const std::string db = dir.file("stats.db"), mdf = Write(dir, "stats.mf4", {values, empty, badTimes});
    const std::string json = dir.file("stats.json");
    ASSERT_EQ(Build(mdf, db).result, 1);
    ASSERT_EQ(Captured([&] { return GetChannelStatistics(mdf.c_str(), json.c_str()); }).result, 1);
    EXPECT_EQ(PythonStatistics(db, json), "");
    // NaN is stored as NULL and an unsigned 64-bit value as its bit pattern; a
    // message without records has the widest bounds; infinite and NaN times
    // are stored as 0.
    EXPECT_EQ(Sql(db, "SELECT COUNT(*) FROM MessageData0001 WHERE Signal3 IS NULL; "
                      "SELECT Signal5 FROM MessageData0001 WHERE rowid = 3; "
                      "SELECT MinTime = 1.7976931348623157e308, MaxTime = -1.7976931348623157e308, MessageCount "
                      "FROM Messages WHERE ID = 2; SELECT group_concat(TIME_VAL) FROM MessageData0003"),
              "2\n-2048\n1|1|0\n0.0,0.0,0.0,0.5\n");
}

// Parts of 500 signal columns; one running counter numbers the channels
// across the database, also past a message without data signals; messages
// take name and network from their first channel's comment, which is data,
// never SQL.
TEST(Builder, TablePartsChannelNumbersAndNetworks)
{
    testlib::TempDir dir;
    for (size_t signals : {500u, 1000u}) {
        const std::string db = dir.file(std::to_string(signals) + ".db");
        ASSERT_EQ(Build(Write(dir, "wide.mf4", {Counters(signals, 3)}), db).result, 1);
        EXPECT_EQ(Sql(db, "SELECT group_concat(name) FROM sqlite_master WHERE name LIKE 'MessageData%'"),
                  signals == 500 ? "MessageData0001\n" : "MessageData0001,MessageData0001_0002\n");
        EXPECT_EQ(PythonStatistics(db), "");
    }
    std::vector<Group> groups = {Counters(2, 4, "a", "Body | Driver's CAN"), Counters(0, 3),
                                 Counters(2, 5, "c", "A | B | C")};
    for (int i = 0; i < 9; ++i)
        groups.push_back(Counters(1, 1, "x" + std::to_string(i) + "_", "x'); DROP TABLE Messages; -- | HS CAN"));
    const std::string db = dir.file("ids.db");
    ASSERT_EQ(Build(Write(dir, "ids.mf4", groups), db).result, 1);
    EXPECT_EQ(Sql(db, "SELECT ID, MessageId, MessageChannel, Sequence, Name FROM Channels WHERE ID BETWEEN 1 AND 5; "
                      "SELECT MAX(ID), COUNT(*) FROM Channels"),
              "1|1|1|1|a1\n2|1|2|2|a2\n3|3|1|3|c1\n4|3|2|4|c2\n5|4|1|5|x0_1\n13|14\n");
    EXPECT_EQ(Sql(db, "SELECT ID, Name, Network, SignalCount, MessageCount, DataTableName FROM Messages WHERE ID < 4 "
                      "OR ID = 12; SELECT sql FROM sqlite_master WHERE name = 'MessageData0002'"),
              "1|Body|Driver's CAN|2|4|MessageData0001\n2|Group0002|HS CAN|0|3|MessageData0002\n"
              "3|A|B | C|2|5|MessageData0003\n12|x'); DROP TABLE Messages; --|HS CAN|1|1|MessageData0012\n"
              "CREATE TABLE MessageData0002 (TIME_VAL DOUBLE )\n");
    EXPECT_EQ(Sql(db, "SELECT Network, TotalMessages FROM Network_Statistics ORDER BY Network"),
              "B | C|5\nDriver's CAN|4\nHS CAN|12\n");
}

// Network statistics sum beyond 32 bits and hold exact numbers in any locale;
// a database is complete only with statistics rows in a table and a
// CollectionMask column.
TEST(Builder, NetworkStatisticsAndCompleteness)
{
    testlib::TempDir dir;
    const std::string path = dir.file("n.db");
    auto open = [&](bool check) {
        bool rejected = false;
        std::unique_ptr<CppSQLite3DB> db(OpenDbIfValid(widestring(path).c_str(), check, rejected));
        EXPECT_EQ(rejected, check && !db);
        return db;
    };
    std::unique_ptr<CppSQLite3DB> db = open(false);
    ASSERT_TRUE(db);
    EXPECT_FALSE(open(true));  // no Network_Statistics
    for (wchar_t const* table : MeasurementDb::kSchemaTables)
        db->execQuery(table);
    db->execQuery(L"INSERT INTO Messages (Network, MessageCount, MaxTime) VALUES ('HS CAN', 3000000000, 0.25), "
                  L"('HS CAN', 2000000000, 1.0 / 3), ('', 7, 9), (NULL, 7, 9)");
    EXPECT_FALSE(open(true));  // no statistics rows
    {
        const std::string comma = testlib::commaDecimalLocale();
        testlib::ScopedLocale locale(comma.empty() ? "C" : comma.c_str());
        UpdateNetworkStatistics(db.get(), 1e-7);
    }
    EXPECT_TRUE(open(true));
    EXPECT_EQ(Sql(path, "SELECT Network, TotalMessages, MatchedMessages, MinTime = 1e-7, MaxTime = 1.0 / 3, "
                        "Rate = 5000000000 / (1.0 / 3 - 1e-7) FROM Network_Statistics"),
              "HS CAN|5000000000|5000000000|1|1|1\n");
    db->execQuery(L"ALTER TABLE Channels RENAME COLUMN CollectionMask TO Mask");
    EXPECT_FALSE(open(true));  // statistics rows, but no CollectionMask column
    db->execQuery(L"DROP TABLE Network_Statistics");
    db->execQuery(L"CREATE VIEW Network_Statistics AS WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r) "
                  L"SELECT i FROM r");
    EXPECT_FALSE(open(true));  // a view that recurses without end is no table
}

// ---- Damaged and unusual input --------------------------------------------------------

// Every cut through a file either fails cleanly or builds a complete database
// of the records that are there; a file with nothing to build leaves no file.
TEST(Builder, DamagedInput)
{
    testlib::TempDir dir;
    const std::vector<uint8_t> bytes = testlib::readBytes(Write(dir, "groups.mf4", {Counters(3, 40), Counters(4, 50)}));
    const std::string cut = dir.file("cut.mdf"), db = dir.file("cut.db");
    int built = 0;
    for (size_t length = 0; length < bytes.size(); length += bytes.size() / 37 + 1) {
        testlib::writeBytes(cut, std::vector<uint8_t>(bytes.begin(), bytes.begin() + length));
        Call build = Build(cut, db);
        EXPECT_EQ(build.result == 1, testlib::fileExists(db) && PythonStatistics(db).empty() &&
                                         Sql(db, "SELECT COUNT(*) FROM Network_Statistics") != "0\n") << length;
        EXPECT_FALSE(build.output.empty() && !build.result) << length;
        built += build.result;
        ::unlink(db.c_str());
    }
    EXPECT_GT(built, 0);
    Group timeless = Counters(2, 3);
    timeless.timed = false;
    for (const Group& group : {timeless, Group{{}, {}, "", false}}) {
        Call build = Build(Write(dir, "none.mf4", {group}), db);
        EXPECT_EQ(build.result, 0);
        EXPECT_FALSE(testlib::fileExists(db));
        const char* why = group.channels.empty() ? "The MDF file has no channels" : "it has no time channel";
        EXPECT_TRUE(Contains(build.output, why)) << build.output;
    }
}

// The texts of a key in a JSON document as the library writes it.
std::string Texts(const std::string& json, const std::string& key)
{
    std::string texts;
    const std::string mark = "\"" + key + "\": \"";
    for (size_t at = json.find(mark); at != std::string::npos; at = json.find(mark, at + 1))
        texts += (texts.empty() ? "" : ",") +
                 json.substr(at + mark.size(), json.find('"', at + mark.size()) - at - mark.size());
    return texts;
}

// Files the builder and the lists read around: groups whose time channel
// comes last, one without records; a group without a time channel (left
// out, the numbering kept) and a channel outside its record (left out); a
// record that cannot be read (the message ends there, nothing more is
// decoded). The lists name every channel, their statistics are those of the
// database built from the same file.
TEST(Builder, GroupsOfEveryShape)
{
    testlib::TempDir dir;
    MdfBuilder b(true);
    uint64_t previous = b.Hd4(0);
    for (const char* name : {"v", "w"}) {
        const uint64_t value = b.Cn4(b.Tx4(name), 0, 0, 0, 0, 8, 8);
        b.Link4(value, 0, b.Cn4(b.Tx4("t"), 2, 1, 4, 0, 0, 64));
        Bytes data;
        if (name == std::string("v"))
            Add(data, {LEF64(0), LE(7, 1), LEF64(1), LE(3, 1), LEF64(2), LE(7, 1)});
        const uint64_t dg = b.Dg4(b.Cg4(value, 0, data.size() / 9, 9), b.Dt4(data));
        b.Link4(previous, 0, dg);
        previous = dg;
    }
    b.Save(dir.file("first.mf4"));
    Group timeless = Counters(2, 3), counters = Counters(4, 5);
    timeless.timed = false;
    counters.channels[1].byteOffset = 1000;  // s2, far beyond the record
    struct Case {
        std::string mdf;
        const char *names, *listed, *messages, *diagnostic, *sql, *rows;
    } const cases[] = {
        {dir.file("first.mf4"), "v,w", "v,w", "Group0001,Group0002", "",
         "SELECT group_concat(MessageCount) FROM Messages", "3,0\n"},
        {Write(dir, "odd.mf4", {timeless, counters}), "s1,s2,s1,s3,s4", "s1,s3,s4", "Group0002,Group0002,Group0002",
         "Channel group 1 is left out: it has no time channel",
         "SELECT ID, Name FROM Messages; SELECT group_concat(Name || MessageChannel || '@' || StartByte) FROM Channels "
         "WHERE ID > 0; SELECT group_concat(Signal2) FROM MessageData0001",
         "1|Group0002\ns11@8,s32@9,s43@10\n3,4,5,6,7\n"},
        {WriteStrayRecord(dir), "a,c", "a,c", "Group0001,Group0002",
         "ends after 1 of 3 records: record 1 cannot be read",
         "SELECT group_concat(MessageCount) FROM Messages; SELECT * FROM MessageData0001", "1,1\n0.0|10\n"},
    };
    const std::string json = dir.file("list.json"), db = dir.file("list.db");
    for (const Case& c : cases) {
        ASSERT_EQ(Captured([&] { return GetChannels(c.mdf.c_str(), json.c_str()); }).result, 1);
        EXPECT_EQ(Texts(testlib::readText(json), "name"), c.names);
        Call list = Captured([&] { return GetChannelStatistics(c.mdf.c_str(), json.c_str()); });
        Call build = Build(c.mdf, db);
        EXPECT_TRUE(list.result == 1 && Contains(list.output, c.diagnostic)) << list.output;
        EXPECT_TRUE(build.result == 1 && Contains(build.output, c.diagnostic)) << build.output;
        // The list names the group whose records end early.
        EXPECT_EQ(Contains(list.output, "Channel group 1 ends after"), Contains(c.diagnostic, "ends after"));
        EXPECT_EQ(Texts(testlib::readText(json), "name") + " " + Texts(testlib::readText(json), "message_name"),
                  std::string(c.listed) + " " + c.messages);
        EXPECT_EQ(Sql(db, c.sql), c.rows);
        EXPECT_EQ(PythonStatistics(db, json), "") << c.mdf;
    }
}

// A channel read raw is reported through its linear formula; its spread
// grows with the slope's size, whatever the slope's sign. No conversion of
// the reader gives such a channel a slope, so the signal is set by hand.
TEST(ChannelLists, RawValuesThroughANegativeSlope)
{
    testlib::TempDir dir;
    CMDFFileOp file;
    ASSERT_TRUE(file.ReadFile(Write(dir, "raw.mf4", {Counters(1, 3)})));
    CCNBlockOp* time = file.GetNextChannel(true);
    CCNBlockOp* channel = file.GetNextChannel(false);
    ASSERT_TRUE(time && channel && time->IsTimeChannel() && !channel->IsTimeChannel());
    DbSignal t(time), s(channel);
    s.scalingKind = DbSignal::LinearWithStates;
    s.slope = -2.0;
    s.offset = 1.0;
    const double raw[] = {1, 3, 2};
    for (long long i = 0; i < 3; ++i) {
        t.ProcessValue(i, 0.1 * double(i), 0.1 * double(i), false);
        s.ProcessValue(i, 0.1 * double(i), raw[i], true);
    }
    const jsonxx::Object entry = StatisticsEntry(s, t, 3, "Group0001");
    auto number = [&](const char* key) { return double(entry.get<jsonxx::Number>(key)); };
    EXPECT_DOUBLE_EQ(number("std_dev"), 2.0 * std::sqrt(2.0 / 3.0));
    EXPECT_DOUBLE_EQ(number("avg"), -3.0);
    EXPECT_EQ(number("first_value"), -1.0);
    EXPECT_EQ(number("slope"), -2.0);
    EXPECT_EQ(number("offset"), 1.0);
    EXPECT_EQ(number("num_records"), 3.0);
    EXPECT_EQ(entry.get<jsonxx::String>("message_name"), "Group0001");
}

}  // namespace
