// The builder end to end through the exported functions: the stored format,
// table parts, channel numbering, statistics (checked by python), signal
// selections, file safety and damaged input.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "DbTestSupport.h"
#include "MdfBuilder.h"
#include "MdfGen.h"
#include "testlib/TestSupport.h"
#include "dbbuild/MdfKvxDb.h"
#include "support/LibUtils.h"

namespace {

using dbtest::Build;
using dbtest::BuildSelection;
using dbtest::Column;
using dbtest::GenChannel;
using dbtest::GenGroup;
using dbtest::Query;
using dbtest::Rows;
using dbtest::Scalar;

constexpr double kStart = dbtest::kGenStartTime;

std::vector<double> Times(size_t records, double step = 0.01)
{
    std::vector<double> times;
    for (size_t i = 0; i < records; ++i)
        times.push_back(step * static_cast<double>(i));
    return times;
}

GenChannel Channel(std::string const& name, int type, int bits, std::vector<double> values,
                   std::string const& description = "")
{
    GenChannel c;
    c.name = name;
    c.dataType = type;
    c.bits = bits;
    c.values = std::move(values);
    c.description = description;
    return c;
}

// A group of `signals` 8-bit counters: signal k holds (k + record) % 256.
GenGroup Counters(size_t signals, size_t records, std::string const& prefix = "s")
{
    GenGroup group;
    group.times = Times(records);
    for (size_t k = 1; k <= signals; ++k)
        group.channels.push_back(dbtest::CounterChannel(prefix + std::to_string(k), static_cast<int>(k), records));
    return group;
}

std::string Write(testlib::TempDir const& dir, std::string const& name, std::vector<GenGroup> const& groups)
{
    const std::string path = dir.file(name);
    EXPECT_TRUE(dbtest::WriteMdf4(path, groups));
    return path;
}

std::string Fixture(char const* name) { return testlib::fixture(std::string("mdf/") + name); }

// A database left behind must be complete: statistics rows and the
// CollectionMask column.
bool Complete(std::string const& db)
{
    return Scalar(db, "SELECT COUNT(*) FROM Network_Statistics") != "0" &&
           Scalar(db, "SELECT COUNT(*) FROM sqlite_master WHERE sql LIKE '%CollectionMask%'") == "1";
}

bool Contains(std::string const& text, std::string const& part) { return text.find(part) != std::string::npos; }

// ---- The stored format --------------------------------------------------------

TEST(DatabaseFormat, SchemaTextsAreExact)
{
    testlib::TempDir dir;
    GenGroup group;
    group.times = Times(3);
    group.timeDescription = "EngineData | HS CAN 2";
    group.channels.push_back(Channel("raw_u8", 0, 8, {1, 2, 3}));
    group.channels.push_back(Channel("float64", 4, 64, {0.5, 1.5, 2.5}));
    GenChannel scaled = Channel("scaled", 0, 16, {10, 20, 30});
    scaled.factor = 0.5;
    scaled.offset = 1;
    group.channels.push_back(scaled);
    GenChannel gear = Channel("gear", 0, 8, {0, 1, 2});
    gear.states = {{0, "P"}, {1, "D"}};
    group.channels.push_back(gear);
    const std::string mdf = Write(dir, "format.mf4", {group});
    const std::string db = dir.file("format.db");
    ASSERT_EQ(Build(mdf.c_str(), db.c_str()).result, 1);

    Rows schema = Query(db, "SELECT type, name, sql FROM sqlite_master ORDER BY rowid");
    Rows want = {
        {"table", "Messages",
         "CREATE TABLE Messages (ID INTEGER PRIMARY KEY, Name TEXT, ArbId TEXT, SignalCount INTEGER, DataTableName "
         "TEXT, Network TEXT, MinTime DOUBLE, MaxTime DOUBLE, MinDelta DOUBLE, MaxDelta DOUBLE, MessageCount "
         "INTEGER, Rate DOUBLE, MessageChanges INTEGER, DataBytes INTEGER)"},
        {"table", "UnmatchedMessages",
         "CREATE TABLE UnmatchedMessages (ID INTEGER PRIMARY KEY, Name TEXT, ArbId TEXT, Network TEXT, MinTime "
         "DOUBLE, MaxTime DOUBLE, MinDelta DOUBLE, MaxDelta DOUBLE, MessageCount INTEGER, Rate DOUBLE)"},
        {"table", "Channels",
         "CREATE TABLE Channels (ID INTEGER PRIMARY KEY, MessageId INTEGER, MessageChannel INTEGER, Name TEXT, "
         "SignalType TEXT, MinVal DOUBLE, MaxVal DOUBLE, AvgVal DOUBLE, Median DOUBLE, StdDev DOUBLE, Network TEXT, "
         "Units TEXT, DAQRate TEXT, Decimals INTEGER, NumChanges INTEGER, Formula TEXT, Slope DOUBLE, Offset DOUBLE, "
         "DataType INTEGER, StartByte INTEGER, BitLength INTEGER, StartBit INTEGER, BigEndian INTEGER, MUXValue "
         "INTEGER, Sequence INTEGER, CollectionMask INTEGER)"},
        {"table", "ErrorMessages",
         "CREATE TABLE ErrorMessages (TIME_VAL DOUBLE, ArbId TEXT, Description TEXT, ByteData TEXT, Network TEXT)"},
        {"table", "ChannelStates", "CREATE TABLE ChannelStates (ChannelId INTEGER, StateText TEXT, NumVal DOUBLE)"},
        {"table", "Network_Statistics",
         "CREATE TABLE Network_Statistics (Network TEXT, TotalMessages INTEGER, MatchedMessages INTEGER, "
         "UnmatchedMessages INTEGER, ErrorMessages INTEGER, LongMessageParts INTEGER, MinTime DOUBLE, MaxTime "
         "DOUBLE, Rate DOUBLE)"},
        {"table", "MessageData0001",
         "CREATE TABLE MessageData0001 (TIME_VAL DOUBLE , Signal1 INTEGER, Signal2 DOUBLE, Signal3 DOUBLE, "
         "Signal4 INTEGER)"},
    };
    EXPECT_EQ(schema, want);
    EXPECT_EQ(Scalar(db, "PRAGMA journal_mode"), "delete");

    EXPECT_EQ(Query(db, "SELECT * FROM Messages"),
              (Rows{{"1", "EngineData", "", "4", "MessageData0001", "HS CAN 2", std::to_string(kStart).substr(0, 9) +
                         ".0", std::to_string(kStart).substr(0, 9) + ".02", "0.0", "0.0", "3", "0.0", "0", "8"}}));
    EXPECT_EQ(Query(db, "SELECT * FROM Channels ORDER BY ID"),
              (Rows{{"0", "NULL", "NULL", "Collection Key", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL",
                     "NULL", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL", "NULL",
                     "NULL", "NULL", "1"},
                    {"1", "1", "1", "raw_u8", "RawValue", "1.0", "3.0", "2.0", "2.0", "0.816496580927726",
                     "HS CAN 2", "", "", "-1", "0", "", "1.0", "0.0", "0", "8", "8", "0", "1", "-1", "1", "1"},
                    {"2", "1", "2", "float64", "RawValue", "0.5", "2.5", "1.5", "1.5", "0.816496580927726",
                     "HS CAN 2", "", "", "-1", "0", "", "1.0", "0.0", "4", "9", "64", "0", "1", "-1", "2", "1"},
                    {"3", "1", "3", "scaled", "Double", "6.0", "16.0", "11.0", "11.0", "4.08248290463863",
                     "HS CAN 2", "", "", "-1", "0", "", "0.5", "1.0", "0", "17", "16", "0", "1", "-1", "3", "1"},
                    {"4", "1", "4", "gear", "State Encoded", "0.0", "2.0", "1.0", "1.0", "0.816496580927726",
                     "HS CAN 2", "", "", "-1", "0", "", "1.0", "0.0", "0", "19", "8", "0", "1", "-1", "4", "1"}}));
    EXPECT_EQ(Query(db, "SELECT * FROM ChannelStates ORDER BY rowid"),
              (Rows{{"4", "P", "0.0"}, {"4", "D", "1.0"}}));
    EXPECT_EQ(Query(db, "SELECT Signal1, typeof(Signal1), Signal2, Signal3, Signal4 FROM MessageData0001"),
              (Rows{{"1", "integer", "0.5", "6.0", "0"}, {"2", "integer", "1.5", "11.0", "1"},
                    {"3", "integer", "2.5", "16.0", "2"}}));
    EXPECT_EQ(Scalar(db, "SELECT COUNT(*) FROM UnmatchedMessages") + Scalar(db, "SELECT COUNT(*) FROM ErrorMessages"),
              "00");
    EXPECT_EQ(dbtest::FilesIn(dir.path()), (std::vector<std::string>{"format.db", "format.mf4"}));
}

// Parts of 500 signal columns, every part with its own TIME_VAL and one row
// per record.
TEST(DatabaseFormat, TablePartsOf500Signals)
{
    testlib::TempDir dir;
    for (size_t signals : {500u, 501u, 1000u, 1200u}) {
        SCOPED_TRACE(signals);
        const std::string mdf = Write(dir, "wide.mf4", {Counters(signals, 3)});
        const std::string db = dir.file("wide" + std::to_string(signals) + ".db");
        ASSERT_EQ(Build(mdf.c_str(), db.c_str()).result, 1);
        const size_t parts = (signals + 499) / 500;
        Rows tables = Query(db, "SELECT name FROM sqlite_master WHERE name LIKE 'MessageData%' ORDER BY rowid");
        ASSERT_EQ(tables.size(), parts);
        for (size_t p = 1; p <= parts; ++p) {
            char name[32];
            std::snprintf(name, sizeof name, p == 1 ? "MessageData0001" : "MessageData0001_%04zu", p);
            EXPECT_EQ(tables[p - 1][0], name);
            const size_t first = (p - 1) * 500 + 1, last = std::min(signals, p * 500);
            Rows columns = Query(db, std::string("PRAGMA table_info(") + name + ")");
            ASSERT_EQ(columns.size(), last - first + 2);
            EXPECT_EQ(columns.front()[1], "TIME_VAL");
            EXPECT_EQ(columns[1][1], "Signal" + std::to_string(first));
            EXPECT_EQ(columns.back()[1], "Signal" + std::to_string(last));
            EXPECT_EQ(Column(db, std::string("SELECT TIME_VAL FROM ") + name),
                      Column(db, "SELECT TIME_VAL FROM MessageData0001"));
            for (size_t k : {first, last})
                EXPECT_EQ(Column(db, "SELECT Signal" + std::to_string(k) + " FROM " + name),
                          (std::vector<double>{double(k % 256), double((k + 1) % 256), double((k + 2) % 256)}));
        }
        EXPECT_EQ(Scalar(db, "SELECT SignalCount || DataTableName FROM Messages"),
                  std::to_string(signals) + "MessageData0001");
        EXPECT_EQ(Scalar(db, "SELECT COUNT(*) FROM Channels WHERE MessageChannel = ID"), std::to_string(signals));
    }
}

// One running counter numbers the channels across the database, also past
// a message without data signals; message 12 has table MessageData0012.
TEST(DatabaseFormat, ChannelIdsRunAcrossTimeOnlyGroups)
{
    testlib::TempDir dir;
    std::vector<GenGroup> groups = {Counters(2, 4, "a"), Counters(0, 3), Counters(2, 5, "c")};
    groups[2].channels[1].states = {{3, "three"}};
    for (int i = 0; i < 9; ++i)
        groups.push_back(Counters(1, 1, "x" + std::to_string(i) + "_"));
    const std::string mdf = Write(dir, "ids.mf4", groups);
    const std::string db = dir.file("ids.db");
    ASSERT_EQ(Build(mdf.c_str(), db.c_str()).result, 1);
    EXPECT_EQ(Query(db, "SELECT ID, MessageId, MessageChannel, Sequence, Name FROM Channels WHERE ID BETWEEN 1 AND 5"),
              (Rows{{"1", "1", "1", "1", "a1"},
                    {"2", "1", "2", "2", "a2"},
                    {"3", "3", "1", "3", "c1"},
                    {"4", "3", "2", "4", "c2"},
                    {"5", "4", "1", "5", "x0_1"}}));
    EXPECT_EQ(Query(db, "SELECT ChannelId, StateText FROM ChannelStates"), (Rows{{"4", "three"}}));
    EXPECT_EQ(Query(db, "SELECT Name, SignalCount, MessageCount FROM Messages WHERE ID = 2"),
              (Rows{{"Group0002", "0", "3"}}));
    EXPECT_EQ(Scalar(db, "SELECT sql FROM sqlite_master WHERE name = 'MessageData0002'"),
              "CREATE TABLE MessageData0002 (TIME_VAL DOUBLE )");
    EXPECT_EQ(Scalar(db, "SELECT COUNT(*) FROM MessageData0002"), "3");
    EXPECT_EQ(Query(db, "SELECT ID, Name, DataTableName FROM Messages WHERE ID = 12"),
              (Rows{{"12", "Group0012", "MessageData0012"}}));
    EXPECT_EQ(Scalar(db, "SELECT MAX(ID) || '/' || COUNT(*) FROM Channels"), "13/14");
}

// ---- Values and statistics ---------------------------------------------------

TEST(DatabaseValues, StatisticsAgreeWithPython)
{
    testlib::TempDir dir;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    GenGroup values;
    values.times = Times(10);
    values.channels.push_back(Channel("constant", 4, 64, std::vector<double>(10, 7.5)));
    std::vector<double> offset;
    for (int i = 0; i < 10; ++i)
        offset.push_back(1e8 + 0.01 * i);
    values.channels.push_back(Channel("offset_1e8", 4, 64, offset));
    values.channels.push_back(Channel("gaps", 4, 64, {1, nan, 3, inf, -inf, 2, 2, nan, 5, 0}));
    values.channels.push_back(Channel("signed", 1, 32, {-5, 7, -2147483648.0, 2147483647, 0, 1, 2, 3, 4, -1}));
    values.channels.push_back(Channel("u64", 0, 64, {0, 1, 18446744073709549568.0, 4, 5, 6, 7, 8, 9, 10}));
    GenGroup empty;
    empty.channels.push_back(Channel("never", 4, 64, {}));
    empty.channels.push_back(Channel("never_int", 0, 16, {}));
    GenGroup badTime;
    badTime.times = {0.0, nan, inf, 0.5};
    badTime.channels.push_back(Channel("v", 0, 8, {1, 2, 3, 4}));
    const std::string mdf = Write(dir, "stats.mf4", {values, empty, badTime});
    const std::string db = dir.file("stats.db");
    ASSERT_EQ(Build(mdf.c_str(), db.c_str()).result, 1);

    EXPECT_EQ(dbtest::PythonStatisticsDifferences(db), "");
    EXPECT_EQ(Query(db, "SELECT MinVal, MaxVal, AvgVal, StdDev FROM Channels WHERE Name = 'constant'"),
              (Rows{{"7.5", "7.5", "7.5", "0.0"}}));
    // The stored values are 1e8 + 0.01 i rounded to doubles: python above
    // holds the exact figure, this is the order of magnitude.
    EXPECT_NEAR(Column(db, "SELECT StdDev FROM Channels WHERE Name = 'offset_1e8'")[0], 0.0287228132326901, 1e-6);
    // NaN stored as NULL, infinities as they are; both count as 0.
    EXPECT_EQ(Scalar(db, "SELECT COUNT(*) FROM MessageData0001 WHERE Signal3 IS NULL"), "2");
    EXPECT_EQ(Query(db, "SELECT MinVal, MaxVal FROM Channels WHERE Name = 'gaps'"), (Rows{{"0.0", "5.0"}}));
    // Unsigned 64-bit values are stored as their 64-bit pattern.
    EXPECT_EQ(Scalar(db, "SELECT Signal5 FROM MessageData0001 WHERE rowid = 3"), "-2048");

    // A group without records: its rows and bounds.
    EXPECT_EQ(Scalar(db, "SELECT COUNT(*) FROM MessageData0002"), "0");
    EXPECT_EQ(Column(db, "SELECT MinTime FROM Messages WHERE ID = 2"), (std::vector<double>{DBL_MAX}));
    EXPECT_EQ(Column(db, "SELECT MaxTime FROM Messages WHERE ID = 2"), (std::vector<double>{-DBL_MAX}));
    EXPECT_EQ(Column(db, "SELECT MinVal FROM Channels WHERE Name = 'never'"), (std::vector<double>{DBL_MAX}));
    EXPECT_EQ(Query(db, "SELECT MessageCount, AvgVal, StdDev FROM Messages, Channels WHERE Messages.ID = 2 AND "
                        "Channels.Name = 'never_int'"),
              (Rows{{"0", "0.0", "0.0"}}));

    // Infinite and NaN times are stored as 0.
    EXPECT_EQ(Column(db, "SELECT TIME_VAL FROM MessageData0003"),
              (std::vector<double>{kStart, 0.0, 0.0, kStart + 0.5}));
    EXPECT_EQ(Column(db, "SELECT MinTime FROM Messages WHERE ID = 3"), (std::vector<double>{0.0}));
}

TEST(DatabaseValues, MessageNamesAndNetworksFromComments)
{
    testlib::TempDir dir;
    GenGroup named = Counters(1, 2);
    named.timeDescription = "Body | Driver's CAN";
    GenGroup plain = Counters(1, 3);
    GenGroup split = Counters(1, 1);
    split.timeDescription = "A | B | C";
    const std::string mdf = Write(dir, "names.mf4", {named, plain, split});
    const std::string db = dir.file("names.db");
    ASSERT_EQ(Build(mdf.c_str(), db.c_str()).result, 1);
    EXPECT_EQ(Query(db, "SELECT Name, Network FROM Messages ORDER BY ID"),
              (Rows{{"Body", "Driver's CAN"}, {"Group0002", "HS CAN"}, {"A", "B | C"}}));
    EXPECT_EQ(Query(db, "SELECT Network, TotalMessages, MatchedMessages FROM Network_Statistics ORDER BY Network"),
              (Rows{{"B | C", "1", "1"}, {"Driver's CAN", "2", "2"}, {"HS CAN", "3", "3"}}));
    EXPECT_EQ(Scalar(db, "SELECT Network FROM Channels WHERE ID = 1"), "Driver's CAN");
}

// ---- Signal selections ------------------------------------------------------

class Selection : public ::testing::Test {
protected:
    void SetUp() override
    {
        GenGroup engine = Counters(0, 4);
        engine.channels.push_back(Channel("Speed", 0, 8, {1, 2, 3, 4}, "Engine | HS CAN"));
        engine.channels.push_back(Channel("Rpm", 0, 16, {5, 6, 7, 8}, "Engine | HS CAN"));
        GenGroup plain = Counters(0, 2);
        plain.channels.push_back(Channel("Speed", 0, 8, {9, 10}));
        plain.channels.push_back(Channel("Temp", 0, 8, {11, 12}));
        GenGroup battery = Counters(0, 1);
        battery.channels.push_back(Channel("Volts", 4, 64, {12.5}, "Battery | Body"));
        mdf = Write(dir, "select.mf4", {engine, plain, battery});
        db = dir.file("select.db");
    }

    // Name, network, signal count and channel names of every message.
    Rows Layout()
    {
        return Query(db, "SELECT Name, Network, SignalCount, (SELECT group_concat(Name) FROM (SELECT Name FROM "
                         "Channels WHERE MessageId = Messages.ID ORDER BY ID)) FROM Messages ORDER BY ID");
    }

    testlib::TempDir dir;
    std::string mdf, db;
};

TEST_F(Selection, InlineJsonAndFile)
{
    const std::string json =
        R"({"Channels": [{"name": "Rpm", "message_name": "Engine", "network_name": "HS CAN"},
                         {"name": "Volts", "message_name": "Battery", "network_name": "Body"},
                         {"name": "Volts", "message_name": "Battery", "network_name": "Body"}]})";
    ASSERT_EQ(BuildSelection(mdf.c_str(), json.c_str(), db.c_str()).result, 1);
    EXPECT_EQ(Layout(), (Rows{{"Engine", "HS CAN", "1", "Rpm"}, {"Battery", "Body", "1", "Volts"}}));
    EXPECT_EQ(Column(db, "SELECT Signal1 FROM MessageData0001"), (std::vector<double>{5, 6, 7, 8}));
    EXPECT_EQ(Scalar(db, "SELECT group_concat(ID) FROM Channels"), "0,1,2");

    const std::string file = dir.file("selection.json");
    testlib::writeText(file, R"({"Channels": [{"name": "Speed", "message_name": "Engine", "network_name": "HS CAN"}]})");
    ASSERT_EQ(BuildSelection(mdf.c_str(), file.c_str(), db.c_str()).result, 1);
    EXPECT_EQ(Layout(), (Rows{{"Engine", "HS CAN", "1", "Speed"}}));
    EXPECT_TRUE(Complete(db));
}

TEST_F(Selection, GroupPrefixStandsForAChannelWithoutMessage)
{
    const std::string json = R"({"Channels": [{"name": "Temp", "message_name": "Group0002"},
                                              {"name": "Speed", "message_name": "Group0009", "network_name": ""}]})";
    ASSERT_EQ(BuildSelection(mdf.c_str(), json.c_str(), db.c_str()).result, 1);
    // Only the Speed of the group without comments; the group keeps its number.
    EXPECT_EQ(Layout(), (Rows{{"Group0002", "HS CAN", "2", "Speed,Temp"}}));
    EXPECT_EQ(Column(db, "SELECT Signal1 FROM MessageData0001"), (std::vector<double>{9, 10}));
    // With a network the message name is taken as it is.
    const std::string named = R"({"Channels": [{"name": "Temp", "message_name": "Group0002", "network_name": "HS CAN"}]})";
    EXPECT_EQ(BuildSelection(mdf.c_str(), named.c_str(), db.c_str()).result, 0);
}

TEST_F(Selection, EmptyArraySelectsEverything)
{
    ASSERT_EQ(BuildSelection(mdf.c_str(), R"({"Channels": []})", db.c_str()).result, 1);
    EXPECT_EQ(Layout(), (Rows{{"Group0001", "HS CAN", "2", "Speed,Rpm"},
                              {"Group0002", "HS CAN", "2", "Speed,Temp"},
                              {"Group0003", "HS CAN", "1", "Volts"}}));
    ASSERT_EQ(BuildSelection(mdf.c_str(), nullptr, db.c_str()).result, 1);
    EXPECT_EQ(Layout().size(), 3u);
}

TEST_F(Selection, NonAsciiNamesMatchWhateverTheFileEncoding)
{
    // The MDF 3 fixture stores the name in Latin-1; the selection is UTF-8,
    // or holds JSON escapes (as python's json.dumps writes by default).
    for (char const* name : {"\xC3\x9C" "bersetzung", "\\u00dcbersetzung"}) {
        const std::string json = std::string("{\"Channels\": [{\"name\": \"") + name + "\"}]}";
        ASSERT_EQ(BuildSelection(Fixture("names_v330.mdf").c_str(), json.c_str(), db.c_str()).result, 1) << name;
        EXPECT_EQ(Layout(), (Rows{{"Group0001", "HS CAN", "1", "\xC3\x9C" "bersetzung"}}));
    }
}

TEST_F(Selection, UnusableSelectionsFailBeforeAnythingIsTouched)
{
    ASSERT_EQ(Build(mdf.c_str(), db.c_str()).result, 1);
    const std::vector<uint8_t> previous = testlib::readBytes(db);
    testlib::TempDir other;
    ASSERT_EQ(::mkfifo(other.file("fifo.json").c_str(), 0600), 0);
    struct Case {
        std::string selection, diagnostic;
    } cases[] = {
        {dir.file("missing.json"), "Could not open file " + dir.file("missing.json")},
        {R"({"Channel": []})", "Invalid JSON file"},
        {R"({"Channels": [{"name": "Rpm"})", "Invalid JSON file"},
        {R"({"Channels": {"name": "Rpm"}})", "Invalid JSON file"},
        {R"({"Channels": [{"message_name": "Engine"}]})", "needs a \"name\""},
        {R"({"Channels": ["Rpm"]})", "needs a \"name\""},
        {R"({"Channels": [{"name": "Rpm", "network_name": 5}]})", "needs a \"name\""},
        {R"({"Channels": [{"name": "Nothing"}]})", "No channel of the signal selection"},
        {R"({"Channels": [{"name": "Rpm\u0000XYZ"}]})", "No channel of the signal selection"},
        {other.file("fifo.json"), "Invalid JSON file " + other.file("fifo.json")},
        {"", "Could not open file"},
    };
    for (Case const& c : cases) {
        SCOPED_TRACE(c.selection);
        dbtest::BuildResult build = BuildSelection(mdf.c_str(), c.selection.c_str(), db.c_str());
        EXPECT_EQ(build.result, 0);
        EXPECT_TRUE(Contains(build.output, c.diagnostic)) << build.output;
        EXPECT_EQ(testlib::readBytes(db), previous);
        EXPECT_EQ(dbtest::FilesIn(dir.path()), (std::vector<std::string>{"select.db", "select.mf4"}));
    }
}

// ---- The user's files ----------------------------------------------------------

TEST(FileSafety, DefaultTargetReplacesOnlyTheFileNamesExtension)
{
    testlib::TempDir dir;
    const std::string folder = dir.file("rev2.5");
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    const std::vector<uint8_t> bytes = testlib::readBytes(Fixture("names_v400.mf4"));
    struct Case {
        char const* mdf;
        char const* db;
    } cases[] = {{"run1.mf4", "run1.db"}, {"run", "run.db"}, {"run.x.mdf", "run.x.db"}, {".hidden", ".hidden.db"}};
    for (Case const& c : cases) {
        const std::string mdf = folder + "/" + c.mdf;
        testlib::writeBytes(mdf, bytes);
        ASSERT_EQ(Build(mdf.c_str(), nullptr).result, 1) << c.mdf;
        EXPECT_TRUE(Complete(folder + "/" + c.db)) << c.mdf;
        ASSERT_EQ(Build(mdf.c_str(), "").result, 1) << c.mdf;  // an empty target counts as none
        EXPECT_EQ(::unlink((folder + "/" + c.db).c_str()), 0);
        ::unlink(mdf.c_str());
    }
    EXPECT_TRUE(dbtest::FilesIn(folder).empty());
    EXPECT_EQ(DefaultDatabasePath(L"/data/rev2.5/run"), L"/data/rev2.5/run.db");
    EXPECT_EQ(DefaultDatabasePath(L"/data/run1.mf4"), L"/data/run1.db");
    EXPECT_EQ(DefaultDatabasePath(L"run"), L"run.db");

    // The wide form, without a target.
    const std::string mdf = folder + "/wide.mf4";
    testlib::writeBytes(mdf, bytes);
    EXPECT_EQ(dbtest::BuildW(widestring(mdf).c_str(), nullptr).result, 1);
    EXPECT_TRUE(Complete(folder + "/wide.db"));
}

// A narrow path is the file's bytes; in a wide one, U+DC80..U+DCFF stand for
// the bytes 0x80..0xFF. A wide path with no byte form names no file.
TEST(FileSafety, PathsNameTheFilesTheirBytesName)
{
    testlib::TempDir dir;
    const std::string mdf = dir.file("m\xE9.mf4");
    testlib::writeBytes(mdf, testlib::readBytes(Fixture("types_v410.mf4")));
    ASSERT_EQ(Build(mdf.c_str(), dir.file("t\xFF.db").c_str()).result, 1);
    EXPECT_TRUE(Complete(dir.file("t\xFF.db")));
    const std::wstring folder = widestring(dir.path()), wideMdf = folder + L"/m\xDCE9.mf4";
    ASSERT_EQ(dbtest::BuildW(wideMdf.c_str(), (folder + L"/w\xDCFF.db").c_str()).result, 1);
    EXPECT_TRUE(Complete(dir.file("w\xFF.db")));
    for (wchar_t const* name : {L"/\xD800.db", L"/\xDC41.db", L"/\x110000.db"}) {
        dbtest::BuildResult build = dbtest::BuildW(wideMdf.c_str(), (folder + name).c_str());
        EXPECT_EQ(build.result, 0);
        EXPECT_TRUE(Contains(build.output, "cannot be named exactly in the current locale")) << build.output;
    }
    EXPECT_EQ(dbtest::FilesIn(dir.path()), (std::vector<std::string>{"m\xE9.mf4", "t\xFF.db", "w\xFF.db"}));
}

TEST(FileSafety, TheMdfFileIsNeverTheTarget)
{
    testlib::TempDir dir;
    const std::vector<uint8_t> bytes = testlib::readBytes(Fixture("types_v400.mf4"));
    const std::string mdf = dir.file("run.mf4"), named = dir.file("named.db"), link = dir.file("hard.link");
    testlib::writeBytes(mdf, bytes);
    testlib::writeBytes(named, bytes);
    ASSERT_EQ(::link(mdf.c_str(), link.c_str()), 0);
    const std::string viaDot = dir.path() + "/./run.mf4";
    struct Case {
        std::string mdf;
        char const* db;
    } cases[] = {{mdf, mdf.c_str()}, {mdf, viaDot.c_str()}, {mdf, link.c_str()}, {link, mdf.c_str()}, {named, nullptr}};
    for (Case const& c : cases) {
        dbtest::BuildResult build = Build(c.mdf.c_str(), c.db);
        EXPECT_EQ(build.result, 0) << c.mdf;
        EXPECT_TRUE(Contains(build.output, "would replace the MDF file it is built from")) << build.output;
    }
    EXPECT_EQ(testlib::readBytes(mdf), bytes);
    EXPECT_EQ(testlib::readBytes(named), bytes);
    EXPECT_EQ(dbtest::FilesIn(dir.path()), (std::vector<std::string>{"hard.link", "named.db", "run.mf4"}));
}

TEST(FileSafety, ExistingTargetIsReplacedOnlyByACompleteDatabase)
{
    testlib::TempDir dir;
    const std::string types = Fixture("types_v410.mf4"), db = dir.file("out.db");
    // An empty file and an earlier measurement database are replaced.
    testlib::writeText(db, "");
    ASSERT_EQ(Build(types.c_str(), db.c_str()).result, 1);
    ASSERT_EQ(Build(types.c_str(), db.c_str()).result, 1);
    EXPECT_TRUE(Complete(db));
    EXPECT_EQ(Scalar(db, "SELECT COUNT(*) FROM Messages"), "1");
    // A failed build (no readable group) leaves the earlier database alone.
    const std::vector<uint8_t> before = testlib::readBytes(db);
    dbtest::BuildResult build = Build(Fixture("long1m_v410_transposed.mf4").c_str(), db.c_str());
    EXPECT_EQ(build.result, 0);
    EXPECT_TRUE(Contains(build.output, "Channel group 1 is left out: its records cannot be read")) << build.output;
    EXPECT_TRUE(Contains(build.output, "The database " + db + " was not built")) << build.output;
    EXPECT_EQ(testlib::readBytes(db), before);
    EXPECT_EQ(dbtest::FilesIn(dir.path()), (std::vector<std::string>{"out.db"}));
    // A target in a folder that does not exist.
    build = Build(types.c_str(), dir.file("none/out.db").c_str());
    EXPECT_EQ(build.result, 0);
    EXPECT_TRUE(Contains(build.output, "SQLITE_CANTOPEN error from: ")) << build.output;
    EXPECT_EQ(dbtest::FilesIn(dir.path()), (std::vector<std::string>{"out.db"}));
    // A name at the file system's limit still builds beside itself.
    const std::string longName = dir.file(std::string(250, 'n') + ".db");
    EXPECT_EQ(Build(types.c_str(), longName.c_str()).result, 1);
    EXPECT_TRUE(Complete(longName));
}

TEST(FileSafety, WhatIsNoMeasurementDatabaseIsLeftUntouched)
{
    testlib::TempDir dir;
    const std::string types = Fixture("types_v410.mf4");
    const std::string selection = dir.file("selection.json");
    testlib::writeText(selection, R"({"Channels": [{"name": "u8"}]})");
    testlib::writeText(dir.file("text.db"), "not a database");
    ASSERT_EQ(testlib::sqlite3(dir.file("other.db"), "CREATE TABLE t (x)").exitCode, 0);
    ASSERT_EQ(::mkdir(dir.file("folder.db").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo(dir.file("fifo.db").c_str(), 0644), 0);
    struct Case {
        std::string target;
        char const* line;
    } cases[] = {{dir.file("text.db"), "is not a measurement database"},
                 {dir.file("other.db"), "is not a measurement database"},
                 {dir.file("folder.db"), "not a regular file"},
                 {dir.file("fifo.db"), "not a regular file"},
                 {"/dev/null", "not a regular file"},
                 {selection, "would replace the signal selection"}};
    for (Case const& c : cases) {
        const std::vector<uint8_t> before = c.target == "/dev/null" || c.target == dir.file("folder.db") ||
                                                    c.target == dir.file("fifo.db")
                                                ? std::vector<uint8_t>()
                                                : testlib::readBytes(c.target);
        dbtest::BuildResult build = BuildSelection(types.c_str(), selection.c_str(), c.target.c_str());
        EXPECT_EQ(build.result, 0) << c.target;
        EXPECT_TRUE(Contains(build.output, c.line)) << c.target << ": " << build.output;
        if (!before.empty()) {
            EXPECT_EQ(testlib::readBytes(c.target), before) << c.target;
        }
    }
    EXPECT_EQ(dbtest::FilesIn(dir.path()), (std::vector<std::string>{"fifo.db", "folder.db", "other.db",
                                                                      "selection.json", "text.db"}));
}

TEST(FileSafety, UnreadableMdfFiles)
{
    testlib::TempDir dir;
    const std::string missing = dir.file("missing.mf4");
    dbtest::BuildResult build = Build(missing.c_str(), nullptr);
    EXPECT_EQ(build.result, 0);
    EXPECT_EQ(build.output, "Could not open MDF file!\n" + missing + "\n");
    // A FIFO is refused at once, not waited for.
    const std::string fifo = dir.file("fifo.mf4");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    build = Build(fifo.c_str(), dir.file("x.db").c_str());
    EXPECT_EQ(build.result, 0);
    EXPECT_EQ(build.output, "Could not open MDF file!\n" + fifo + "\n");
    ::unlink(fifo.c_str());
    build = Build(nullptr, dir.file("x.db").c_str());
    EXPECT_EQ(build.result, 0);
    EXPECT_EQ(build.output, "Could not open MDF file!\n\n");
    EXPECT_EQ(BuildSelection(nullptr, nullptr, nullptr).result, 0);
    // A file that opens but has no channel builds nothing.
    mdftest::MdfBuilder b(true);
    uint64_t hd = b.Hd4(0, 0);
    uint64_t cg = b.Cg4(b.Cn4(b.Tx4("t"), 2, 1, 4, 0, 0, 64), 0, 1, 8);
    b.Link4(hd, 0, b.Dg4(cg, 0));  // no data: the group has no channel groups
    const std::string empty = dir.file("empty.mf4");
    b.Save(empty);
    build = Build(empty.c_str(), nullptr);
    EXPECT_EQ(build.result, 0);
    EXPECT_TRUE(Contains(build.output, "The MDF file has no channels")) << build.output;
    ::unlink(empty.c_str());
    EXPECT_EQ(dbtest::BuildW(nullptr, nullptr).result, 0);
    EXPECT_TRUE(dbtest::FilesIn(dir.path()).empty());
}

// ---- Damaged and unusual input --------------------------------------------------

// Every cut through an MDF file either fails cleanly or builds a complete
// database of the records that are there.
TEST(DamagedInput, TruncatedFiles)
{
    testlib::TempDir dir;
    testlib::ScopedEnv tz("TZ", "UTC");
    // The fixtures keep blocks behind their records, so every cut fails
    // their open; the generated file has its groups one after the other.
    const std::string generated = Write(dir, "groups.mf4", {Counters(3, 40), Counters(2, 30), Counters(4, 50)});
    for (std::string const& name : {Fixture("types_v330.mdf"), Fixture("multirate_v400.mf4"), generated}) {
        const std::vector<uint8_t> bytes = testlib::readBytes(name);
        const std::string mdf = dir.file("cuts.mdf"), db = dir.file("cuts.db");
        int built = 0;
        for (size_t cut = 0; cut < bytes.size(); cut += bytes.size() / 37 + 1) {
            SCOPED_TRACE(name + " cut at " + std::to_string(cut));
            testlib::writeBytes(mdf, std::vector<uint8_t>(bytes.begin(), bytes.begin() + cut));
            dbtest::BuildResult build = Build(mdf.c_str(), db.c_str());
            if (build.result == 0) {
                EXPECT_FALSE(testlib::fileExists(db));
                EXPECT_FALSE(build.output.empty());
                continue;
            }
            ++built;
            EXPECT_TRUE(Complete(db));
            for (auto const& row : Query(db, "SELECT DataTableName, MessageCount FROM Messages"))
                EXPECT_EQ(Scalar(db, "SELECT COUNT(*) FROM " + row[0]), row[1]);
            ::unlink(db.c_str());
        }
        EXPECT_EQ(built > 0, name == generated) << name;
    }
    // An MDF 3 file whose records run to its end, cut inside them, keeps the
    // whole records before the cut.
    mdftest::MdfBuilder b(false);
    uint64_t hd = b.Hd3("15:03:2024", "12:30:45");
    uint64_t time = b.Cn3("t", true, 0, 64, 3);
    b.Link3(time, 4, b.Cn3("v", false, 64, 16, 0));
    uint64_t dg = b.Dg3(b.Cg3(time, 0, 10, 100), 0);
    b.Link3(hd, 4, dg);
    std::vector<uint8_t> data;
    for (int i = 0; i < 100; ++i) {
        std::vector<uint8_t> t = mdftest::LEF64(0.1 * i), v = mdftest::LE(1000 + i, 2);
        data.insert(data.end(), t.begin(), t.end());
        data.insert(data.end(), v.begin(), v.end());
    }
    uint64_t at = b.Append(data);
    b.Link3(dg, 16, at);
    b.bytes.resize(at + 37 * 10 + 3);
    const std::string mdf = dir.file("cut.mdf"), db = dir.file("cut.db");
    b.Save(mdf);
    dbtest::BuildResult build = Build(mdf.c_str(), db.c_str());
    ASSERT_EQ(build.result, 1) << build.output;
    EXPECT_EQ(Scalar(db, "SELECT MessageCount FROM Messages"), "37");
    EXPECT_EQ(Scalar(db, "SELECT COUNT(*) || ' ' || MAX(Signal1) FROM MessageData0001"), "37 1036");
    EXPECT_EQ(dbtest::PythonStatisticsDifferences(db), "");
}

// Patches field at of the n-th channel block ("##CN") of an MDF 4 image.
void PatchChannel(std::vector<uint8_t>& bytes, int n, size_t field, uint32_t value)
{
    size_t at = 0;
    for (int found = 0;; ++at) {
        ASSERT_LT(at + 4, bytes.size());
        if (std::memcmp(&bytes[at], "##CN", 4) == 0 && found++ == n)
            break;
    }
    uint64_t links;
    std::memcpy(&links, &bytes[at + 16], 8);
    std::memcpy(&bytes[at + 24 + 8 * links + field], &value, 4);
}

TEST(DamagedInput, ChannelsOutsideTheirRecordAreLeftOut)
{
    testlib::TempDir dir;
    const std::string mdf = Write(dir, "outside.mf4", {Counters(4, 5)});
    std::vector<uint8_t> bytes = testlib::readBytes(mdf);
    PatchChannel(bytes, 2, 4, 1000);     // s2: byte offset far beyond the 12-byte record
    PatchChannel(bytes, 4, 8, 1u << 30);  // s4: a bit count no record holds
    testlib::writeBytes(mdf, bytes);
    const std::string db = dir.file("outside.db");
    dbtest::BuildResult build = Build(mdf.c_str(), db.c_str());
    ASSERT_EQ(build.result, 1) << build.output;
    EXPECT_TRUE(Contains(build.output, "s2 lies outside its record")) << build.output;
    EXPECT_TRUE(Contains(build.output, "s4 lies outside its record")) << build.output;
    EXPECT_EQ(Query(db, "SELECT ID, MessageChannel, Name, StartByte FROM Channels WHERE ID > 0"),
              (Rows{{"1", "1", "s1", "8"}, {"2", "2", "s3", "10"}}));
    EXPECT_EQ(Column(db, "SELECT Signal2 FROM MessageData0001"), (std::vector<double>{3, 4, 5, 6, 7}));
}

TEST(DamagedInput, GroupsWithoutTimeChannelAreLeftOut)
{
    testlib::TempDir dir;
    GenGroup timeless = Counters(2, 3);
    timeless.withTime = false;
    const std::string mdf = Write(dir, "timeless.mf4", {timeless, Counters(1, 2)});
    const std::string db = dir.file("timeless.db");
    dbtest::BuildResult build = Build(mdf.c_str(), db.c_str());
    ASSERT_EQ(build.result, 1) << build.output;
    EXPECT_TRUE(Contains(build.output, "Channel group 1 is left out: it has no time channel")) << build.output;
    EXPECT_EQ(Query(db, "SELECT ID, Name, SignalCount FROM Messages"), (Rows{{"1", "Group0002", "1"}}));
    EXPECT_EQ(Query(db, "SELECT ID, Name FROM Channels WHERE ID > 0"), (Rows{{"1", "s1"}}));

    const std::string only = Write(dir, "only.mf4", {timeless});
    build = Build(only.c_str(), dir.file("only.db").c_str());
    EXPECT_EQ(build.result, 0);
    EXPECT_FALSE(testlib::fileExists(dir.file("only.db")));
}

// A record that cannot be read ends its message there: MessageCount is the
// number of rows written.
TEST(DamagedInput, UnreadableRecordEndsTheMessage)
{
    testlib::TempDir dir;
    const std::string mdf = dir.file("unsorted.mf4"), db = dir.file("unsorted.db");
    dbtest::WriteStrayRecordFile(mdf);
    dbtest::BuildResult build = Build(mdf.c_str(), db.c_str());
    ASSERT_EQ(build.result, 1) << build.output;
    EXPECT_TRUE(Contains(build.output, "Message 1 ends after 1 of 3 records: record 1 cannot be read"))
        << build.output;
    EXPECT_EQ(Query(db, "SELECT ID, MessageCount FROM Messages"), (Rows{{"1", "1"}, {"2", "1"}}));
    EXPECT_EQ(Query(db, "SELECT * FROM MessageData0001"), (Rows{{"0.0", "10"}}));
    EXPECT_EQ(Query(db, "SELECT * FROM MessageData0002"), (Rows{{"0.5", "20"}}));
    EXPECT_EQ(dbtest::PythonStatisticsDifferences(db), "");
}

}  // namespace
